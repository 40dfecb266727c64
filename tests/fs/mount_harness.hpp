#pragma once
// Real FUSE mounts for the filesystem tests. InProcessMount runs the mirror's
// operation table on a session inside the test process (so a test can pick the
// connection's capabilities and look at the inode table); ProgramMount runs the
// kov-orvane program itself. Both always unmount in their destructor.

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
#include "support/test_env.hpp"

namespace kov::test {

inline bool can_open_fuse()
{
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

#define KOV_REQUIRE_FUSE()                                                                                             \
    do {                                                                                                               \
        if (!::kov::test::can_open_fuse())                                                                             \
            GTEST_SKIP() << "/dev/fuse cannot be opened: no FUSE mounts possible here";                                \
    } while (0)

inline bool is_mounted(const std::string& mount_point)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    const std::string needle = " " + mount_point + " ";
    while (std::getline(in, line))
        if (line.find(needle) != std::string::npos && line.find("fuse") != std::string::npos)
            return true;
    return false;
}

inline void unmount_quietly(const std::string& mount_point)
{
    if (!is_mounted(mount_point))
        return;
    if (run_command({"fusermount3", "-u", "-z", mount_point}).status != 0)
        ::umount2(mount_point.c_str(), MNT_DETACH);
}

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
        ::umount2(dir_.path().c_str(), MNT_DETACH);
        loop_.join();
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

// Runs `kov-orvane <args...> <source-or-nothing> <mount point>` in the
// background and waits until the mount is there.
class ProgramMount {
public:
    // `args` go before the mount point; the mount point is appended last.
    // `nofile_soft`, when not 0, lowers the child's soft descriptor limit.
    explicit ProgramMount(std::vector<std::string> args, const std::vector<std::string>& env = {},
                          rlim_t nofile_soft = 0)
    {
        std::string err_path = dir_.path() + ".stderr";
        err_path_ = err_path;
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0)
                ::dup2(fd, 2);
            if (nofile_soft != 0) {
                rlimit lim{};
                ::getrlimit(RLIMIT_NOFILE, &lim);
                lim.rlim_cur = nofile_soft;
                ::setrlimit(RLIMIT_NOFILE, &lim);
            }
            for (const auto& kv : env)
                ::putenv(const_cast<char*>(kv.c_str()));
            std::vector<char*> argv;
            const std::string prog = program_path();
            argv.push_back(const_cast<char*>(prog.c_str()));
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(const_cast<char*>(dir_.path().c_str()));
            argv.push_back(nullptr);
            ::execv(prog.c_str(), argv.data());
            ::_exit(127);
        }
        for (int i = 0; i < 200 && pid_ > 0; ++i) {
            if (is_mounted(dir_.path()))
                return;
            int st = 0;
            if (::waitpid(pid_, &st, WNOHANG) == pid_) {
                exit_status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ProgramMount(const ProgramMount&) = delete;
    ProgramMount& operator=(const ProgramMount&) = delete;
    ~ProgramMount()
    {
        unmount_quietly(dir_.path());
        stop();
        ::unlink(err_path_.c_str());
    }

    bool ok() const { return pid_ > 0 && is_mounted(dir_.path()); }
    pid_t pid() const { return pid_; }
    const std::string& path() const { return dir_.path(); }
    std::string file(const std::string& name) const { return dir_.file(name); }
    std::string stderr_text() const
    {
        std::ifstream in(err_path_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Unmounts and waits for the program; returns its exit status.
    int stop()
    {
        if (pid_ <= 0)
            return exit_status_;
        unmount_quietly(dir_.path());
        for (int i = 0; i < 100; ++i) {
            int st = 0;
            if (::waitpid(pid_, &st, WNOHANG) == pid_) {
                exit_status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                pid_ = -1;
                return exit_status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
        pid_ = -1;
        exit_status_ = 128 + SIGKILL;
        return exit_status_;
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
    TempDir dir_;
    std::string err_path_;
    pid_t pid_ = -1;
    int exit_status_ = -1;
};

} // namespace kov::test
