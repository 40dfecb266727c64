#pragma once
// Real FUSE mounts for the filesystem tests. InProcessMount runs the mirror's
// operation table on a session inside the test process (so a test can pick the
// connection's capabilities and look at the inode table); ProgramMount runs the
// kov-orvane program itself in a mount point of its own. Both always unmount in
// their destructor.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fs/fuse_api.hpp"
#include "fs/mirror.hpp"
#include "fs/mirror_state.hpp"
#include "support/mount_harness.hpp"
#include "support/test_env.hpp"

namespace kov::test {

enum class PlusMode { library_default, always, never };

inline void PrintTo(PlusMode mode, std::ostream* os)
{
    *os << (mode == PlusMode::always ? "readdirplus" : mode == PlusMode::never ? "readdir" : "kernel's choice");
}

inline std::string plus_mode_name(const ::testing::TestParamInfo<PlusMode>& info)
{
    switch (info.param) {
    case PlusMode::always:
        return "WithAttributes";
    case PlusMode::never:
        return "WithoutAttributes";
    default:
        return "KernelChooses";
    }
}

struct InProcessOptions {
    bool writable = false;
    PlusMode plus = PlusMode::library_default;
    bool single_thread = false;
    // Leave out the kernel's read-only option on a read-only mirror, so write
    // requests reach the service and its own answers can be seen.
    bool rw_kernel_mount = false;
};

inline PlusMode& in_process_plus_mode()
{
    static PlusMode mode = PlusMode::library_default;
    return mode;
}

inline void in_process_init(void*, fuse_conn_info* conn)
{
    conn->want |= FUSE_CAP_AUTO_INVAL_DATA;
    conn->want |= conn->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
    if (in_process_plus_mode() == PlusMode::always)
        conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    if (in_process_plus_mode() == PlusMode::never)
        conn->want &= ~(FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO);
}

// Mounts the mirror of `source` (or, with an empty source, the shares root of
// `shares`) in a fresh folder, serving it from a thread of this process.
class InProcessMount {
public:
    InProcessMount(const std::string& source, InProcessOptions opts, ShareTable* shares = nullptr)
    {
        if (source.empty()) {
            set_mirror_shares(shares);
        } else {
            const int fd = ::open(source.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            struct stat st {};
            if (fd < 0 || ::fstatat(fd, "", &st, AT_EMPTY_PATH) < 0)
                return;
            set_mirror_root(UniqueFd(fd), st.st_dev, st.st_ino);
        }
        set_mirror_writable(opts.writable);
        in_process_plus_mode() = opts.plus;
        ops_ = mirror_operations();
        ops_.init = in_process_init;
        std::vector<const char*> argv{"kov-test"};
        if (!opts.writable && !opts.rw_kernel_mount)
            argv.push_back("-oro");
        fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
        session_ = fuse_session_new(&args, &ops_, sizeof ops_, nullptr);
        fuse_opt_free_args(&args);
        if (session_ == nullptr)
            return;
        if (fuse_session_mount(session_, dir_.path().c_str()) != 0) {
            fuse_session_destroy(session_);
            session_ = nullptr;
            return;
        }
        set_form_notices(session_);
        loop_ = std::thread([this, single = opts.single_thread] {
            if (single) {
                fuse_session_loop(session_);
                return;
            }
            fuse_loop_config* cfg = fuse_loop_cfg_create();
            fuse_session_loop_mt(session_, cfg);
            fuse_loop_cfg_destroy(cfg);
        });
    }
    InProcessMount(const InProcessMount&) = delete;
    InProcessMount& operator=(const InProcessMount&) = delete;
    ~InProcessMount()
    {
        if (session_ == nullptr)
            return;
        // The kernel sends the release of a closed file or folder in the
        // background; give it a moment to arrive so no handle is left behind,
        // then detach the mount, which ends the loop's reads with ENODEV.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        unmount_lazily(dir_.path());
        loop_.join();
        set_form_notices(nullptr);
        fuse_session_unmount(session_);
        fuse_session_destroy(session_);
        inode_table().clear();
        set_mirror_writable(false);
    }

    bool ok() const { return session_ != nullptr; }
    const std::string& path() const { return dir_.path(); }
    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    TempDir dir_;
    fuse_lowlevel_ops ops_{};
    fuse_session* session_ = nullptr;
    std::thread loop_;
};

// Runs `kov-orvane <args...> <mount point>` in the background and waits
// until the mount is there.
class ProgramMount {
public:
    // `args` go before the mount point; the mount point is appended last.
    // `nofile_soft` and `nofile_hard`, when not 0, lower the child's
    // descriptor limits.
    explicit ProgramMount(std::vector<std::string> args, const std::vector<std::string>& env = {},
                          rlim_t nofile_soft = 0, rlim_t nofile_hard = 0)
        : svc_(with_mount_point(std::move(args), dir_.path()), dir_.path(), env, nofile_soft, nofile_hard)
    {
        svc_.wait_for_mount(std::chrono::seconds(10));
    }
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
    int signal_and_wait(int sig, std::chrono::milliseconds limit)
    {
        svc_.signal(sig);
        return svc_.wait_exit(limit);
    }

    // Unmounts, then checks the program ended cleanly; under the sanitizer
    // build that includes no leak or undefined-behaviour report.
    void expect_clean_stop()
    {
        EXPECT_EQ(stop(), 0);
        const std::string err = stderr_text();
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
        EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
    }

private:
    static std::vector<std::string> with_mount_point(std::vector<std::string> args, const std::string& mount_point)
    {
        args.push_back(mount_point);
        return args;
    }

    TempDir dir_; // declared first: the mount point outlives the service
    ServiceProcess svc_;
};

} // namespace kov::test
