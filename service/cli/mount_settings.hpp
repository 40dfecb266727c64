#pragma once
// The parsed mount-mode command line. Owned by the main thread for the whole run.

#include <optional>
#include <string>
#include <vector>

#include "pcm/codec_set.hpp"
#include "shares/share.hpp"

namespace kov {

enum class MountMode { mirror, shares };

struct MountSettings {
    MountMode mode = MountMode::mirror;
    std::string source_dir;  // mirror mode only, exactly as given
    std::string mount_point; // exactly as given
    std::string config_path; // shares mode; may be empty
    std::vector<Share> shares; // one per --share, enabled, in command-line order
    bool shares_from_command_line = false;
    bool config_given = false;
    bool writable = false;
    CodecSet convert = default_conversions(); // --convert
    std::vector<std::string> fuse_options;
    std::vector<std::string> positional;
};

// The share list a mount reads without --config: under $XDG_CONFIG_HOME,
// else under $HOME/.config; empty when neither is set.
std::string default_config_path();

// Parses argv[first..argc). Returns nothing on a usage error (the caller prints
// the usage text, status 2). A --share without "=" prints its own message and
// exits with status 2 inside, as every other usage error does before any FUSE call;
// so does a --config naming anything but a regular file (a missing one is fine),
// and a --convert list naming a codec that is not converted.
std::optional<MountSettings> parse_mount_settings(int argc, char** argv, int first);

// The set a --convert list names; a list naming anything but a codec whose
// conversion is built prints why and exits with status 2.
CodecSet convert_option(const char* list);

// Invocation name, mount point, "-oro" unless writable, then the FUSE options,
// and "-odefault_permissions" when they allow other users without it.
std::vector<std::string> fuse_argument_list(const MountSettings& settings, const std::string& invocation);

} // namespace kov
