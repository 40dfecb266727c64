#pragma once
// Runs the mounting service from parsed settings until the FUSE loop ends.
// Called on the main thread; returns the process exit status.

#include <string>

#include "cli/mount_settings.hpp"
#include "cli/supervisor.hpp"

namespace kov {

// `link` hears when the mount is in place and when it is gone.
int run_mount(const MountSettings& settings, const std::string& invocation, const SupervisorLink& link);

} // namespace kov
