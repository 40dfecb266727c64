#include "support/mount_harness.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

extern char** environ;

namespace kov::test {

bool fuse_available()
{
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

namespace {

std::string resolved(const std::string& path)
{
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? buf : path;
}

// Looks for a mount point field equal to `point`, which must already be resolved.
bool mountinfo_has(const std::string& point, std::string* mount_id)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, at;
        fields >> id >> parent >> devno >> root >> at;
        if (at == point) {
            if (mount_id)
                *mount_id = id;
            return true;
        }
    }
    return false;
}

int decode_status(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

} // namespace

bool mounted_at(const std::string& path, std::string* mount_id)
{
    return mountinfo_has(resolved(path), mount_id);
}

void unmount_lazily(const std::string& path)
{
    // Without privileges only fusermount3 may take a FUSE mount down.
    if (::umount2(path.c_str(), MNT_DETACH) != 0 && errno == EPERM)
        run_command({"fusermount3", "-u", "-z", path});
}

bool process_ended(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return true;
    // The state follows the command name, which is in parentheses. A zombie
    // leader may still have threads on their way out, holding its descriptors.
    const auto close = line.rfind(')');
    const bool zombie = close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z' ||
                        line[close + 2] == 'X';
    if (!zombie)
        return false;
    std::size_t threads = 0;
    for (const std::string& name : list_dir("/proc/" + std::to_string(pid) + "/task"))
        threads += name != "." && name != "..";
    return threads <= 1;
}

pid_t first_child(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t child = -1;
    in >> child;
    return child;
}

std::vector<std::string> list_dir(const std::string& path)
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

MountFolders::MountFolders() { ::mkdir(mnt.c_str(), 0755); }

std::string MountFolders::add_source(const std::string& name, const std::string& file, const std::string& text) const
{
    const std::string folder = dir.file(name);
    ::mkdir(folder.c_str(), 0755);
    write_text(folder + "/" + file, text);
    return folder;
}

ServiceProcess::ServiceProcess(const std::vector<std::string>& args, std::string mount_point,
                               const std::vector<std::string>& env, rlim_t nofile_soft, rlim_t nofile_hard)
    : mount_point_(resolved(mount_point))
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
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    if (nofile_hard != 0)
        lim.rlim_max = nofile_hard;
    if (nofile_soft != 0)
        lim.rlim_cur = nofile_soft;
    err_fd_ = ::memfd_create("kov-service-stderr", MFD_CLOEXEC);
    if (err_fd_ < 0)
        return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(err_fd_, 2);
        const int null_fd = ::open("/dev/null", O_RDWR);
        ::dup2(null_fd, 0);
        ::dup2(null_fd, 1);
        if (nofile_soft != 0 || nofile_hard != 0)
            ::setrlimit(RLIMIT_NOFILE, &lim);
        ::execve(a[0], a.data(), e.data());
        ::_exit(127);
    }
}

ServiceProcess::~ServiceProcess()
{
    if (pid_ > 0 && status_ < 0) {
        // A lazy unmount never blocks on a hung service; then the process goes.
        unmount_lazily(mount_point_);
        ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
    } else if (mountinfo_has(mount_point_, nullptr)) {
        unmount_lazily(mount_point_);
    }
    if (err_fd_ >= 0)
        ::close(err_fd_);
}

const std::string& ServiceProcess::err() const
{
    if (err_fd_ < 0)
        return err_;
    char buf[4096];
    ssize_t n;
    while ((n = ::pread(err_fd_, buf, sizeof buf, static_cast<off_t>(err_.size()))) > 0)
        err_.append(buf, static_cast<std::size_t>(n));
    return err_;
}

template <class Pred>
bool ServiceProcess::wait_until(Pred done, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool ServiceProcess::wait_for_mount(std::chrono::milliseconds limit)
{
    bool up = false;
    wait_until(
        [&] {
            up = mountinfo_has(mount_point_, nullptr);
            return up || !running();
        },
        limit);
    return up;
}

bool ServiceProcess::wait_for_err(const std::string& needle, std::size_t count, std::chrono::milliseconds limit)
{
    return wait_until([&] { return occurrences(err(), needle) >= count; }, limit);
}

int ServiceProcess::wait_exit(std::chrono::milliseconds limit)
{
    if (status_ >= 0 || pid_ <= 0)
        return status_;
    wait_until(
        [&] {
            int st = 0;
            const pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_)
                status_ = decode_status(st);
            return r != 0;
        },
        limit);
    return status_;
}

int ServiceProcess::unmount_and_wait(std::chrono::milliseconds limit)
{
    if (!running())
        return status_;
    unmount_lazily(mount_point_);
    if (wait_exit(limit) < 0) {
        ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
        status_ = decode_status(st);
    }
    return status_;
}

void ServiceProcess::signal(int sig) const { ::kill(pid_, sig); }

std::size_t ServiceProcess::occurrences(const std::string& hay, const std::string& needle)
{
    std::size_t n = 0;
    for (auto at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size()))
        ++n;
    return n;
}

namespace {

std::vector<std::string> with_mount_point(std::vector<std::string> args, const std::string& mount_point)
{
    args.push_back(mount_point);
    return args;
}

} // namespace

ProgramMount::ProgramMount(std::vector<std::string> args, const std::vector<std::string>& env, rlim_t nofile_soft,
                           rlim_t nofile_hard)
    : svc_(with_mount_point(std::move(args), dir_.path()), dir_.path(), env, nofile_soft, nofile_hard)
{
    svc_.wait_for_mount(std::chrono::seconds(10));
}

int ProgramMount::signal_and_wait(int sig, std::chrono::milliseconds limit)
{
    svc_.signal(sig);
    return svc_.wait_exit(limit);
}

void ProgramMount::expect_clean_stop()
{
    EXPECT_EQ(stop(), 0);
    const std::string err = stderr_text();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
}

} // namespace kov::test
