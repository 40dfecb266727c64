#pragma once
// Runs the real kov-orvane as a mounting service for tests: starts it with its
// standard error captured, waits for the mount to appear, and on destruction
// always detaches the mount and reaps the process, even when a test failed
// half-way.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_env.hpp"

extern char** environ;

namespace kov::test {

inline bool fuse_available()
{
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

#define KOV_REQUIRE_FUSE()                                                                                   \
    do {                                                                                                     \
        if (!::kov::test::fuse_available())                                                                  \
            GTEST_SKIP() << "/dev/fuse cannot be opened here: real mounts are impossible";                   \
    } while (0)

// The mount point field of every line of /proc/self/mountinfo, with an id.
inline bool mounted_at(const std::string& path, std::string* mount_id = nullptr)
{
    char resolved[PATH_MAX];
    const std::string want = ::realpath(path.c_str(), resolved) ? resolved : path;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, point;
        fields >> id >> parent >> devno >> root >> point;
        if (point == want) {
            if (mount_id)
                *mount_id = id;
            return true;
        }
    }
    return false;
}

// Names of a folder in the order the filesystem lists them, "." and ".." included.
inline std::vector<std::string> list_dir(const std::string& path)
{
    std::vector<std::string> names;
    DIR* d = ::opendir(path.c_str());
    if (!d)
        return names;
    while (const dirent* e = ::readdir(d))
        names.emplace_back(e->d_name);
    ::closedir(d);
    return names;
}

class ServiceProcess {
public:
    // argv without the program; `env` entries ("NAME=value") replace or add to the environment,
    // an entry "NAME" alone removes NAME.
    ServiceProcess(const std::vector<std::string>& args, std::string mount_point,
                   const std::vector<std::string>& env = {})
        : mount_point_(std::move(mount_point))
    {
        std::vector<std::string> argv{program_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> envs;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            bool replaced = false;
            for (const auto& o : env) {
                const std::string key = o.substr(0, o.find('='));
                replaced = replaced || entry.compare(0, key.size() + 1, key + "=") == 0;
            }
            if (!replaced)
                envs.push_back(entry);
        }
        for (const auto& o : env)
            if (o.find('=') != std::string::npos)
                envs.push_back(o);

        // Built before fork: the child of a threaded process may only make
        // async-signal-safe calls.
        std::vector<char*> a, e;
        for (auto& s : argv)
            a.push_back(s.data());
        a.push_back(nullptr);
        for (auto& s : envs)
            e.push_back(s.data());
        e.push_back(nullptr);
        int err_pipe[2];
        if (::pipe2(err_pipe, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(err_pipe[1], 2);
            const int null_fd = ::open("/dev/null", O_RDWR);
            ::dup2(null_fd, 0);
            ::dup2(null_fd, 1);
            ::execve(a[0], a.data(), e.data());
            ::_exit(127);
        }
        ::close(err_pipe[1]);
        err_fd_ = err_pipe[0];
        ::fcntl(err_fd_, F_SETFL, O_NONBLOCK);
    }

    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    ~ServiceProcess()
    {
        if (pid_ > 0 && status_ < 0) {
            // A lazy unmount never blocks on a hung service; then the process goes.
            ::umount2(mount_point_.c_str(), MNT_DETACH);
            ::kill(pid_, SIGKILL);
            int st = 0;
            ::waitpid(pid_, &st, 0);
        } else if (mounted_at(mount_point_)) {
            ::umount2(mount_point_.c_str(), MNT_DETACH);
        }
        if (err_fd_ >= 0)
            ::close(err_fd_);
    }

    pid_t pid() const { return pid_; }

    // Everything the service printed on standard error so far.
    const std::string& err()
    {
        drain(0);
        return err_;
    }

    bool wait_for_mount(std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        return wait_until([&] { return mounted_at(mount_point_); }, limit);
    }

    // Waits until standard error holds `needle` at least `count` times.
    bool wait_for_err(const std::string& needle, std::size_t count = 1,
                      std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        return wait_until([&] { return occurrences(err(), needle) >= count; }, limit);
    }

    // The exit status (128 + signal when killed), or -1 when it did not end in time.
    int wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(30))
    {
        if (status_ >= 0 || pid_ <= 0)
            return status_;
        wait_until(
            [&] {
                int st = 0;
                const pid_t r = ::waitpid(pid_, &st, WNOHANG);
                if (r == pid_)
                    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                return r != 0;
            },
            limit);
        drain(0);
        return status_;
    }

    void signal(int sig) const { ::kill(pid_, sig); }

    static std::size_t occurrences(const std::string& hay, const std::string& needle)
    {
        std::size_t n = 0;
        for (auto at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size()))
            ++n;
        return n;
    }

private:
    template <class Pred>
    bool wait_until(Pred done, std::chrono::milliseconds limit)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            drain(20);
        }
        return true;
    }

    void drain(int timeout_ms)
    {
        if (err_fd_ < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
            return;
        }
        pollfd p{err_fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0)
            return;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(err_fd_, buf, sizeof buf)) > 0)
            err_.append(buf, static_cast<std::size_t>(n));
        if (n == 0) { // the service closed its end: it has exited
            ::close(err_fd_);
            err_fd_ = -1;
        }
    }

    std::string mount_point_;
    pid_t pid_ = -1;
    int err_fd_ = -1;
    int status_ = -1;
    std::string err_;
};

} // namespace kov::test
