#include "cli/supervisor.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>

#include "cli/mount_runtime.hpp"

extern char** environ;

namespace kov {

void SupervisorLink::send(char what) const
{
    if (!fd_)
        return;
    while (::write(fd_.get(), &what, 1) < 0 && errno == EINTR) {
    }
}

namespace {

// After a stop signal the child gets this long to end: its own wait for the
// loop's workers (2 s) and the shutdown after that fit well inside.
constexpr auto stop_bound = std::chrono::milliseconds(3000);
// Once it says it is exiting without its stuck workers, this long.
constexpr auto exit_bound = std::chrono::milliseconds(300);

// Every known node holds a descriptor and every decoding source a duplicate,
// so a large tree needs far more than the usual soft limit of 1024. Raised
// here, before the fork, so that both processes show it.
void raise_descriptor_limit()
{
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
}

int status_of(int wait_status)
{
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

// Detaches the child's mount without looking into it: anything that reaches
// a hung mount's root would block.
void unmount_lazily(const std::string& mount_point)
{
    if (::umount2(mount_point.c_str(), MNT_DETACH) == 0 || errno != EPERM)
        return;
    // Without privileges only fusermount3 may take a FUSE mount down.
    std::string path = mount_point;
    char prog[] = "fusermount3", u[] = "-u", z[] = "-z";
    char* argv[] = {prog, u, z, path.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawnp(&pid, prog, nullptr, nullptr, argv, environ) == 0) {
        int st = 0;
        while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
    }
}

// What the child has said through the link, and whether its end is still open.
struct LinkState {
    bool open = true;
    bool mounted = false; // mounted and not yet unmounted
    bool leaving = false;
};

void read_link(int fd, LinkState& link)
{
    char buf[64];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            link.open = n < 0 && errno == EAGAIN;
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            link.mounted = buf[i] == 'm' || (buf[i] != 'u' && link.mounted);
            link.leaving = link.leaving || buf[i] == 'x';
        }
    }
}

class Supervisor {
public:
    Supervisor(pid_t child, UniqueFd link, UniqueFd signals, const MountSettings& settings)
        : child_(child), link_fd_(std::move(link)), signals_(std::move(signals)),
          mount_point_(settings.mount_point), hup_stops_(settings.mode == MountMode::mirror)
    {
    }

    // Returns the exit status once the child has ended, or once a stop has
    // waited its bound.
    int run()
    {
        for (;;) {
            pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {link_.open ? link_fd_.get() : -1, POLLIN, 0}};
            const int n = ::poll(fds, 2, timeout_ms());
            if (n < 0 && errno != EINTR)
                return wait_blocking();
            if (fds[1].revents != 0) {
                read_link(link_fd_.get(), link_);
                if (link_.leaving && deadline_)
                    deadline_ = std::min(*deadline_, std::chrono::steady_clock::now() + exit_bound);
            }
            if (n == 0 && deadline_)
                return give_up();
            if (fds[0].revents & POLLIN) {
                if (const std::optional<int> status = take_signal())
                    return *status;
            }
        }
    }

private:
    int timeout_ms() const
    {
        if (!deadline_)
            return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
    }

    // Forwards a stop or reload; on the child's end, its exit status.
    std::optional<int> take_signal()
    {
        signalfd_siginfo info{};
        if (::read(signals_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info))
            return std::nullopt;
        const int sig = static_cast<int>(info.ssi_signo);
        if (sig != SIGCHLD) {
            ::kill(child_, sig);
            if ((sig != SIGHUP || hup_stops_) && !deadline_)
                deadline_ = std::chrono::steady_clock::now() + stop_bound;
            return std::nullopt;
        }
        int st = 0;
        if (::waitpid(child_, &st, WNOHANG) != child_)
            return std::nullopt;
        return ended(st);
    }

    int ended(int wait_status)
    {
        if (link_.open)
            read_link(link_fd_.get(), link_); // its last words
        // A child that died with its mount in place leaves a dead mount
        // behind, on which every access fails.
        if (link_.mounted)
            unmount_lazily(mount_point_);
        return status_of(wait_status);
    }

    int wait_blocking()
    {
        int st = 0;
        while (::waitpid(child_, &st, 0) < 0) {
            if (errno != EINTR)
                return 1;
        }
        return ended(st);
    }

    // The child is stuck in a read that cannot be interrupted. It is left to
    // the kernel: killed, it goes when its source answers.
    int give_up()
    {
        if (link_.mounted)
            unmount_lazily(mount_point_);
        ::kill(child_, SIGKILL);
        std::fputs("kov-orvane: stopped; a read of an unanswering source is left behind\n", stderr);
        return 0; // a stop signal ends the service successfully
    }

    pid_t child_;
    UniqueFd link_fd_;
    UniqueFd signals_;
    std::string mount_point_;
    bool hup_stops_;
    LinkState link_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
};

sigset_t supervised_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&set, sig);
    return set;
}

} // namespace

int run_supervised_mount(const MountSettings& settings, const std::string& invocation)
{
    raise_descriptor_limit();
    const sigset_t set = supervised_signals();
    sigset_t old;
    ::sigprocmask(SIG_BLOCK, &set, &old);
    UniqueFd signals(::signalfd(-1, &set, SFD_CLOEXEC));
    int ends[2] = {-1, -1};
    const pid_t parent = ::getpid();
    const pid_t child = signals && ::pipe2(ends, O_CLOEXEC) == 0 ? ::fork() : -1;
    UniqueFd link_read(ends[0]), link_write(ends[1]);
    if (child < 0) { // serve without a supervisor
        ::sigprocmask(SIG_SETMASK, &old, nullptr);
        return run_mount(settings, invocation, SupervisorLink());
    }
    if (child == 0) {
        // A supervisor killed outright stops the service as SIGTERM would.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            return 0;
        signals.reset();
        link_read.reset();
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        ::sigprocmask(SIG_UNBLOCK, &chld, nullptr);
        return run_mount(settings, invocation, SupervisorLink(std::move(link_write)));
    }
    link_write.reset();
    ::fcntl(link_read.get(), F_SETFL, O_NONBLOCK);
    return Supervisor(child, std::move(link_read), std::move(signals), settings).run();
}

} // namespace kov
