#include "cli/reload_thread.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "shares/share_table.hpp"

namespace kov {
namespace {

// Names that were reachable before a reload but are gone, or now lead elsewhere.
std::vector<std::string> stale_names(const std::vector<ActiveShare>& before, const std::vector<ActiveShare>& after)
{
    std::vector<std::string> stale;
    for (const ActiveShare& old : before) {
        bool kept = false;
        for (const ActiveShare& now : after)
            kept = kept || (now.name == old.name && now.device == old.device && now.inode == old.inode);
        if (!kept)
            stale.push_back(old.name);
    }
    return stale;
}

void reload(fuse_session* session, ShareTable& table)
{
    const std::vector<ActiveShare> before = table.snapshot();
    std::vector<std::string> problems;
    const std::size_t count = table.reload_shares(&problems);
    for (const std::string& problem : problems)
        std::fprintf(stderr, "kov-orvane: %s\n", problem.c_str());
    // Listing and attributes of the root, then the names the kernel may still
    // hold for shares that went away, so they stop resolving at once rather
    // than when their entry time-out runs out.
    fuse_lowlevel_notify_inval_inode(session, FUSE_ROOT_ID, 0, 0);
    for (const std::string& name : stale_names(before, table.snapshot()))
        fuse_lowlevel_notify_inval_entry(session, FUSE_ROOT_ID, name.c_str(), name.size());
    std::fprintf(stderr, "kov-orvane: reloaded shares from %s (%zu active)\n", table.list_path().c_str(), count);
}

void reload_loop(fuse_session* session, ShareTable* table, int signal_fd, int stop_fd)
{
    // Stop signals must reach the FUSE loop's threads, whose blocking reads they
    // interrupt; delivered here they would leave the loop waiting for a request.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);

    for (;;) {
        pollfd fds[2] = {{signal_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents & POLLIN) // a stop request wins over a pending SIGHUP
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        signalfd_siginfo info{};
        if (::read(signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
            continue;
        reload(session, *table);
    }
}

} // namespace

bool ReloadThread::start(fuse_session* session, ShareTable& table)
{
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hup, nullptr);
    signal_fd_.reset(::signalfd(-1, &hup, SFD_CLOEXEC));
    stop_fd_.reset(::eventfd(0, EFD_CLOEXEC));
    if (!signal_fd_ || !stop_fd_) {
        signal_fd_.reset();
        stop_fd_.reset();
        return false;
    }
    thread_ = std::thread(reload_loop, session, &table, signal_fd_.get(), stop_fd_.get());
    return true;
}

void ReloadThread::stop()
{
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        while (::write(stop_fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    signal_fd_.reset();
    stop_fd_.reset();
}

} // namespace kov
