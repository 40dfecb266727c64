#include "cli/mount_settings.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace kov {

std::string default_config_path()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg)
        return std::string(xdg) + "/kov-orvane/shares.conf";
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.config" + "/kov-orvane/shares.conf";
    return {};
}

namespace {

// The mode from the positional arguments: a source and a mount point
// mirror, a mount point alone serves shares. False on a usage error.
bool take_positional(MountSettings& s)
{
    const std::size_t count = s.positional.size();
    const bool shares = s.config_given || s.shares_from_command_line || count == 1;
    if (count != (shares ? 1U : 2U))
        return false;
    s.mode = shares ? MountMode::shares : MountMode::mirror;
    if (!shares)
        s.source_dir = s.positional[0];
    s.mount_point = s.positional.back();
    return true;
}

// A FIFO would block the read forever and a device might answer anything:
// only a regular file (or none yet) is a share list. stat opens nothing, so
// it cannot block. Exits with status 2 otherwise.
void check_config_file(const std::string& path)
{
    struct stat st {};
    const char* why = nullptr;
    if (::stat(path.c_str(), &st) != 0)
        why = errno == ENOENT ? nullptr : std::strerror(errno); // none yet: the panel writes it later
    else if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    if (why) {
        std::fprintf(stderr, "kov-orvane: --config %s: %s\n", path.c_str(), why);
        std::exit(2);
    }
}

} // namespace

CodecSet convert_option(const char* list)
{
    std::string error;
    const auto set = parse_codec_list(list, error);
    if (!set) {
        std::fprintf(stderr, "kov-orvane: --convert: %s\n", error.c_str());
        std::exit(2);
    }
    return *set;
}

std::optional<MountSettings> parse_mount_settings(int argc, char** argv, int first)
{
    MountSettings s;
    for (int i = first; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool has_next = i + 1 < argc;
        if (arg == "--config" && has_next) {
            s.config_path = argv[++i];
            s.config_given = true;
        } else if (arg == "--share" && has_next) {
            const std::string_view value = argv[++i];
            const auto eq = value.find('=');
            if (eq == std::string_view::npos) {
                std::fputs("kov-orvane: --share needs name=path\n", stderr);
                std::exit(2);
            }
            s.shares.push_back(Share{true, std::string(value.substr(0, eq)), std::string(value.substr(eq + 1))});
            s.shares_from_command_line = true;
        } else if (arg == "--convert" && has_next) {
            s.convert = convert_option(argv[++i]);
        } else if (arg == "--writable") {
            s.writable = true;
        } else if (arg == "-o" && has_next) {
            s.fuse_options.emplace_back(arg);
            s.fuse_options.emplace_back(argv[++i]);
        } else if (!arg.empty() && arg.front() == '-') {
            s.fuse_options.emplace_back(arg);
        } else {
            s.positional.emplace_back(arg);
        }
    }

    if (!take_positional(s))
        return std::nullopt;
    if (s.config_given)
        check_config_file(s.config_path);
    // Kept for the whole run: a reload always reads this file, also when the
    // first shares came from --share.
    if (s.mode == MountMode::shares && !s.config_given)
        s.config_path = default_config_path();
    return s;
}

namespace {

// Whether one of the -o option lists holds `name` as a whole option.
bool has_fuse_option(const std::vector<std::string>& options, std::string_view name)
{
    for (std::size_t i = 0; i < options.size(); ++i) {
        std::string_view list = options[i];
        if (list == "-o" && i + 1 < options.size())
            list = options[++i];
        else if (list.substr(0, 2) == "-o")
            list.remove_prefix(2);
        else
            continue;
        while (!list.empty()) {
            const auto comma = list.find(',');
            if (list.substr(0, comma) == name)
                return true;
            list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
        }
    }
    return false;
}

} // namespace

std::vector<std::string> fuse_argument_list(const MountSettings& settings, const std::string& invocation)
{
    std::vector<std::string> args{invocation, settings.mount_point};
    if (!settings.writable)
        args.emplace_back("-oro");
    args.insert(args.end(), settings.fuse_options.begin(), settings.fuse_options.end());
    // The service acts with its own user's rights for whoever asks; once
    // other users may ask, the kernel must check the source's modes for them.
    if (has_fuse_option(settings.fuse_options, "allow_other") &&
        !has_fuse_option(settings.fuse_options, "default_permissions"))
        args.emplace_back("-odefault_permissions");
    return args;
}

} // namespace kov
