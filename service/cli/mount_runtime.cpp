#include "cli/mount_runtime.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cli/mount_init.hpp"
#include "cli/reload_thread.hpp"
#include "cli/session_io.hpp"
#include "common/unique_fd.hpp"
#include "fs/fuse_api.hpp"
#include "fs/mirror.hpp"
#include "common/worker_pool.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/decoding_service.hpp"
#include "shares/share_table.hpp"

namespace kov {
namespace {

bool open_mirror_root(const MountSettings& settings)
{
    UniqueFd root(::open(settings.source_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root) {
        const int err = errno;
        std::fprintf(stderr, "kov-orvane: cannot open source '%s': %s\n", settings.source_dir.c_str(),
                     std::strerror(err));
        return false;
    }
    struct stat st {};
    if (::fstatat(root.get(), "", &st, AT_EMPTY_PATH) != 0) {
        const int err = errno;
        std::fprintf(stderr, "kov-orvane: cannot stat source: %s\n", std::strerror(err));
        return false;
    }
    set_mirror_root(std::move(root), st.st_dev, st.st_ino);
    return true;
}

void prepare_shares(const MountSettings& settings)
{
    ShareTable& table = share_table();
    table.set_list_path(settings.config_path);
    std::size_t count = 0;
    std::vector<std::string> problems;
    if (settings.shares_from_command_line) {
        std::lock_guard lock(table.mutex());
        count = table.install(settings.shares, &problems);
    } else {
        count = table.reload_shares(&problems);
    }
    for (const std::string& problem : problems)
        std::fprintf(stderr, "kov-orvane: %s\n", problem.c_str());
    set_mirror_shares(&table);
    if (settings.shares_from_command_line)
        std::fprintf(stderr, "kov-orvane: %zu active %s from the command line\n", count,
                     count == 1 ? "share" : "shares");
    else
        std::fprintf(stderr, "kov-orvane: %zu active %s from %s\n", count, count == 1 ? "share" : "shares",
                     table.list_path().empty() ? "(no share list path)" : table.list_path().c_str());
}

void report_decoder(DecodingService& decoding)
{
    const std::string decoder = decoding.description();
    if (!decoder.empty())
        std::fprintf(stderr, "kov-orvane: AAC decoder: %s\n", decoder.c_str());
    else
        std::fputs("kov-orvane: no system libavcodec found; AAC audio will be silent (install ffmpeg / libavcodec)\n",
                   stderr);
    decoding.warm_up();
}

// The mount's pool of rewrite decisions and its decoding service, handed to
// the filesystem for as long as this lives.
class MountWorkers {
  public:
    MountWorkers()
        : decoding_(DecodingService::create(bind_system_codec_library(), DecodingService::settings_from_environment())),
          decisions_(decision_limits)
    {
        set_mirror_workers(&decisions_, decoding_);
    }
    ~MountWorkers() { set_mirror_workers(nullptr, nullptr); }
    MountWorkers(const MountWorkers&) = delete;
    MountWorkers& operator=(const MountWorkers&) = delete;

    DecodingService& decoding() { return *decoding_; }

  private:
    std::shared_ptr<DecodingService> decoding_;
    WorkerPool decisions_;
};

// The argument list handed to libfuse. fuse_opt_parse replaces it with a
// list of its own (allocated), which fuse_opt_free_args releases.
class FuseArgs {
public:
    explicit FuseArgs(std::vector<std::string> list) : strings_(std::move(list))
    {
        for (auto& s : strings_)
            pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
        args_ = FUSE_ARGS_INIT(static_cast<int>(strings_.size()), pointers_.data());
    }
    FuseArgs(const FuseArgs&) = delete;
    FuseArgs& operator=(const FuseArgs&) = delete;
    ~FuseArgs() { fuse_opt_free_args(&args_); }
    fuse_args* get() { return &args_; }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
    fuse_args args_{};
};

// libfuse's handlers end the loop with the number of the signal that stopped
// it. SIGINT and SIGTERM (and SIGHUP, which only reaches the handler in mirror
// mode) are the ordinary ways to stop the service, so they count as success.
int exit_status(int loop_result)
{
    if (loop_result == 0 || loop_result == SIGINT || loop_result == SIGTERM || loop_result == SIGHUP)
        return 0;
    return 1;
}

// A source that stops answering (a dead network share, a dying disk) holds
// one worker per request it stalls; the rest must keep serving other files.
constexpr unsigned max_loop_threads = 64;

int run_loop(fuse_session* session, const fuse_cmdline_opts& opts)
{
    if (opts.singlethread)
        return fuse_session_loop(session);
    fuse_loop_config* config = fuse_loop_cfg_create();
    if (!config)
        return -ENOMEM;
    fuse_loop_cfg_set_clone_fd(config, static_cast<unsigned>(opts.clone_fd));
    fuse_loop_cfg_set_max_threads(config, max_loop_threads);
    const int rc = fuse_session_loop_mt(session, config);
    fuse_loop_cfg_destroy(config);
    return rc;
}

// How long a stop waits for the loop's workers after unmounting; one stuck
// in a read of a hung source would otherwise keep the service forever.
constexpr int stop_grace_ms = 2000;

// The stop signals, blocked in every thread from the start and taken only
// through a signal descriptor on the main thread, which runs no requests and
// so can never be stuck in one.
sigset_t stop_signals(bool shares_mode)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (!shares_mode)
        sigaddset(&set, SIGHUP); // in shares mode the reload thread takes it
    return set;
}

// Runs the loop on a thread of its own and waits for it to end or for a stop
// signal. On a signal the mount is detached, which ends the workers' waits
// for requests; a worker stuck in a source read is left behind after a grace
// period and the process ends without it. Returns the loop's result, or the
// signal's number when it stopped the service.
int serve(fuse_session* session, const fuse_cmdline_opts& opts, const sigset_t& stop_set, const SupervisorLink& link)
{
    UniqueFd signal_fd(::signalfd(-1, &stop_set, SFD_CLOEXEC));
    UniqueFd done_fd(::eventfd(0, EFD_CLOEXEC));
    if (!signal_fd || !done_fd) {
        pthread_sigmask(SIG_UNBLOCK, &stop_set, nullptr); // libfuse's own handlers then stop the loop
        return run_loop(session, opts);
    }
    int loop_result = 0;
    std::thread loop([&] {
        loop_result = run_loop(session, opts);
        const std::uint64_t one = 1;
        while (::write(done_fd.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    });
    pollfd fds[2] = {{signal_fd.get(), POLLIN, 0}, {done_fd.get(), POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
    }
    if (!(fds[1].revents & POLLIN)) {
        signalfd_siginfo info{};
        const int sig = ::read(signal_fd.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)
                            ? static_cast<int>(info.ssi_signo)
                            : SIGTERM;
        fuse_session_exit(session);
        fuse_session_unmount(session);
        link.unmounted();
        pollfd done{done_fd.get(), POLLIN, 0};
        if (::poll(&done, 1, stop_grace_ms) <= 0) {
            std::fputs("kov-orvane: a request is still waiting for its source; stopping without it\n", stderr);
            std::fflush(stderr);
            link.leaving();
            std::_Exit(exit_status(sig));
        }
        loop.join();
        return sig;
    }
    loop.join();
    return loop_result;
}

// The mirror's root: one source folder, or the share table.
bool prepare_root(const MountSettings& settings)
{
    set_mirror_writable(settings.writable);
    set_mirror_conversions(settings.convert);
    if (settings.mode != MountMode::shares)
        return open_mirror_root(settings);
    prepare_shares(settings);
    return true;
}

void announce(const MountSettings& settings)
{
    const char* mode_word = settings.writable ? "writable" : "read-only";
    if (settings.mode == MountMode::shares)
        std::fprintf(stderr, "kov-orvane: serving shares at '%s' (%s)\n", settings.mount_point.c_str(), mode_word);
    else
        std::fprintf(stderr, "kov-orvane: mirroring '%s' at '%s' (%s)\n", settings.source_dir.c_str(),
                     settings.mount_point.c_str(), mode_word);
}

// Creates the session with the mirror's operations and libfuse's signal
// handlers (which stop the loop when the signal descriptor cannot be made).
fuse_session* new_session(FuseArgs& args)
{
    fuse_lowlevel_ops ops = mirror_operations();
    ops.init = op_init;
    fuse_session* session = fuse_session_new(args.get(), &ops, sizeof ops, nullptr);
    if (session && fuse_set_signal_handlers(session) != 0) {
        fuse_session_destroy(session);
        return nullptr;
    }
    return session;
}

void end_session(fuse_session* session)
{
    fuse_remove_signal_handlers(session);
    fuse_session_destroy(session);
}

} // namespace

int run_mount(const MountSettings& settings, const std::string& invocation, const SupervisorLink& link)
{
    const bool shares_mode = settings.mode == MountMode::shares;
    // Before any thread exists (the decoding part starts its own), so that
    // every thread inherits the block; SIGHUP too, which in shares mode only
    // the reload thread takes.
    const sigset_t stop_set = stop_signals(shares_mode);
    sigset_t blocked = stop_signals(false);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    if (!prepare_root(settings))
        return 1;
    MountWorkers workers;
    report_decoder(workers.decoding());

    FuseArgs args(fuse_argument_list(settings, invocation));
    fuse_cmdline_opts opts{};
    if (fuse_parse_cmdline(args.get(), &opts) != 0)
        return 1;
    // Only the single-thread flag, clone_fd and the mount point are used; help,
    // version and foreground requests are not acted on.
    const std::unique_ptr<char, decltype(&std::free)> mountpoint_text(opts.mountpoint, &std::free);
    fuse_session* session = new_session(args);
    if (!session)
        return 1;

    ReloadThread reloader;
    if (shares_mode)
        reloader.start(session, share_table());
    if (fuse_session_mount(session, settings.mount_point.c_str()) != 0) {
        reloader.stop();
        end_session(session);
        return 1;
    }
    link.mounted();
    use_session_io(session);
    announce(settings);

    set_form_notices(session);
    const int loop_result = serve(session, opts, stop_set, link);
    set_form_notices(nullptr);
    close_open_handles();
    close_open_folders();

    reloader.stop();
    fuse_session_unmount(session);
    link.unmounted();
    end_session(session);
    return exit_status(loop_result);
}

} // namespace kov
