#pragma once
// Real FUSE mounts for tests. ServiceProcess starts the kov-orvane program
// with its standard error captured and waits for its mount; ProgramMount does
// the same in a mount point of its own. InProcessMount serves the mirror's
// operation table from a thread of the test process, so a test can pick the
// connection's capabilities and look at the inode table. Each of them always
// detaches its mount (and reaps its process) on destruction, even when a test
// failed half-way.

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fs/fuse_api.hpp"
#include "fs/mirror.hpp"
#include "fs/mirror_state.hpp"
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

// Whether the process `pid` has ended (gone, or a zombie not yet reaped).
bool process_ended(pid_t pid);

// The first child of `pid` (-1 when none): the serving process of a mount
// whose program is `pid`.
pid_t first_child(pid_t pid);

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

// Runs `kov-orvane <args...> <mount point>` in the background and waits
// until the mount is there.
class ProgramMount {
public:
    // `args` go before the mount point; the mount point is appended last.
    // `nofile_soft` and `nofile_hard`, when not 0, lower the child's
    // descriptor limits.
    explicit ProgramMount(std::vector<std::string> args, const std::vector<std::string>& env = {},
                          rlim_t nofile_soft = 0, rlim_t nofile_hard = 0);
    ProgramMount(const ProgramMount&) = delete;
    ProgramMount& operator=(const ProgramMount&) = delete;
    // A stop rather than a kill: the service gets to end as it would for a user.
    ~ProgramMount() { svc_.unmount_and_wait(); }

    bool ok() { return svc_.running() && mounted_at(dir_.path()); }
    pid_t pid() const { return svc_.pid(); }
    const std::string& path() const { return dir_.path(); }
    std::string file(const std::string& name) const { return dir_.file(name); }
    std::string stderr_text() const { return svc_.err(); }
    // Unmounts and waits for the program; returns its exit status.
    int stop() { return svc_.unmount_and_wait(); }
    // Signals the program and waits up to `limit` for it to end: its exit
    // status, or -1 when it is still running.
    int signal_and_wait(int sig, std::chrono::milliseconds limit);
    // Unmounts, then checks the program ended cleanly; under the sanitizer
    // build that includes no leak or undefined-behaviour report.
    void expect_clean_stop();

private:
    TempDir dir_; // declared first: the mount point outlives the service
    ServiceProcess svc_;
};

// How the in-process mount's connection lists folders.
enum class PlusMode { library_default, always, never };

void PrintTo(PlusMode mode, std::ostream* os);
std::string plus_mode_name(const ::testing::TestParamInfo<PlusMode>& info);

struct InProcessOptions {
    bool writable = false;
    PlusMode plus = PlusMode::library_default;
    bool single_thread = false;
    // Leave out the kernel's read-only option on a read-only mirror, so write
    // requests reach the service and its own answers can be seen.
    bool rw_kernel_mount = false;
};

// Mounts the mirror of `source` (or, with an empty source, the shares root of
// `shares`) in a fresh folder, serving it from a thread of this process.
class InProcessMount {
public:
    InProcessMount(const std::string& source, InProcessOptions opts, ShareTable* shares = nullptr);
    InProcessMount(const InProcessMount&) = delete;
    InProcessMount& operator=(const InProcessMount&) = delete;
    ~InProcessMount();

    bool ok() const { return session_ != nullptr; }
    const std::string& path() const { return dir_.path(); }
    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    TempDir dir_;
    fuse_lowlevel_ops ops_{};
    fuse_session* session_ = nullptr;
    std::thread loop_;
};

} // namespace kov::test
