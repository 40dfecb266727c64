#pragma once
// `--status`: one line on standard output saying which decoder library the
// program binds, its version, whether used decoders are reset, and which
// converted codecs that library cannot decode. With `--scan` the line goes on
// with which of those codecs the enabled shares hold, found by a bounded walk.

#include <optional>
#include <string>

namespace kov {

struct StatusOptions {
    bool scan = false;       // --scan
    std::string config_path; // the share list the scan reads
};

// The words after "--status": --scan and --config FILE are read, anything
// else is ignored. Without --config the share list is the mount's default.
StatusOptions parse_status_options(int argc, char** argv, int first);

// Always returns 0.
int run_status(const StatusOptions& options);

} // namespace kov
