#pragma once
// Runs the mounting service from parsed settings until the FUSE loop ends.
// Called on the main thread; returns the process exit status.

#include <string>

#include "cli/mount_settings.hpp"

namespace kov {

int run_mount(const MountSettings& settings, const std::string& invocation);

} // namespace kov
