#pragma once
// Real FUSE mounts of the kov-orvane program for tests: ServiceProcess starts
// it with its standard error captured, waits for the mount to appear, and on
// destruction always detaches the mount and reaps the process, even when a
// test failed half-way.

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_env.hpp"

namespace kov::test {

// Whether /dev/fuse can be opened, that is whether real mounts are possible.
bool fuse_available();

#define KOV_REQUIRE_FUSE()                                                                                             \
    do {                                                                                                               \
        if (!::kov::test::fuse_available())                                                                            \
            GTEST_SKIP() << "/dev/fuse cannot be opened here: real mounts are impossible";                             \
    } while (0)

// Whether something is mounted exactly at `path` (after resolving links), by
// /proc/self/mountinfo; `mount_id`, when given, receives the mount's id.
bool mounted_at(const std::string& path, std::string* mount_id = nullptr);

// Detaches whatever is mounted at `path`; never blocks on a hung service.
void unmount_lazily(const std::string& path);

// Names of a folder in the order the filesystem lists them, "." and ".." included.
std::vector<std::string> list_dir(const std::string& path);

// A temporary folder holding an empty mount point "mnt", and source folders
// made on request.
struct MountFolders {
    TempDir dir;
    std::string mnt = dir.file("mnt");

    MountFolders();
    // Makes the folder `name` holding the text file `file`; returns the folder's path.
    std::string add_source(const std::string& name, const std::string& file, const std::string& text) const;
};

class ServiceProcess {
public:
    // argv without the program; `env` entries ("NAME=value") replace or add to the environment,
    // an entry "NAME" alone removes NAME. `nofile_soft` and `nofile_hard`, when
    // not 0, lower the child's limits of open files (the service raises its
    // soft limit to the hard one).
    ServiceProcess(const std::vector<std::string>& args, std::string mount_point,
                   const std::vector<std::string>& env = {}, rlim_t nofile_soft = 0,
                   rlim_t nofile_hard = 0);
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    ~ServiceProcess();

    pid_t pid() const { return pid_; }
    // Not yet seen to exit.
    bool running() { return pid_ > 0 && wait_exit(std::chrono::milliseconds(0)) < 0; }

    // Everything the service printed on standard error so far.
    const std::string& err() const;

    // False when the mount is not there in time or the service exits first.
    bool wait_for_mount(std::chrono::milliseconds limit = std::chrono::seconds(20));

    // Waits until standard error holds `needle` at least `count` times.
    bool wait_for_err(const std::string& needle, std::size_t count = 1,
                      std::chrono::milliseconds limit = std::chrono::seconds(20));

    // The exit status (128 + signal when killed), or -1 when it did not end in time.
    int wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(30));

    // Detaches the mount and waits up to `limit` for the service to end, then
    // kills it; returns its exit status.
    int unmount_and_wait(std::chrono::milliseconds limit = std::chrono::seconds(5));

    void signal(int sig) const;

    static std::size_t occurrences(const std::string& hay, const std::string& needle);

private:
    template <class Pred>
    bool wait_until(Pred done, std::chrono::milliseconds limit);

    std::string mount_point_;
    pid_t pid_ = -1;
    int status_ = -1;
    int err_fd_ = -1;         // a memory file the service's standard error goes to: it never fills up
    mutable std::string err_; // what has been read of it so far
};

} // namespace kov::test
