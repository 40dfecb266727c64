#pragma once
// The mount command runs as two processes. The supervisor (the process that
// was started, the service manager's main process) does no work of its own:
// it forwards stop and reload signals to the serving child and ends with the
// child's status. A read of a source that is itself a hung FUSE mount cannot
// be interrupted, and a thread stuck in one keeps its whole process from
// exiting; the supervisor is what still ends within a bounded time after a
// stop signal, detaching the mount if the child could not, and leaving the
// stuck child to the kernel.

#include <string>

#include "cli/mount_settings.hpp"
#include "common/unique_fd.hpp"

namespace kov {

// The serving child's side of the pipe to its supervisor. Without a
// supervisor (the fork failed) every call does nothing.
class SupervisorLink {
public:
    SupervisorLink() = default;
    explicit SupervisorLink(UniqueFd fd) : fd_(std::move(fd)) {}

    // The mount is in place: from here on, a mount left behind is the
    // supervisor's to detach.
    void mounted() const { send('m'); }
    // The mount is gone.
    void unmounted() const { send('u'); }
    // Exiting now without the requests still waiting for their sources; an
    // exit that does not finish is stuck in one of them.
    void leaving() const { send('x'); }

private:
    void send(char what) const;
    UniqueFd fd_;
};

// Forks the serving child, which runs `run_mount` with its end of the link;
// the calling process supervises it and returns the exit status. Must be
// called before any thread exists.
int run_supervised_mount(const MountSettings& settings, const std::string& invocation);

} // namespace kov
