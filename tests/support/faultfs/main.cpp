// faultfs SOURCE_DIR MOUNT_DIR: a read-only passthrough of SOURCE_DIR for
// tests, whose reads can be made to fail, wait or stall on command. Commands
// are lines written to MOUNT_DIR/.faultfs (see fault_rules.hpp). Runs in the
// foreground; ends on SIGTERM/SIGINT or when unmounted.

#define FUSE_USE_VERSION 312
#include <fuse.h>
#include <fuse_lowlevel.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fault_rules.hpp"

namespace {

using kov::test::FaultRules;

constexpr const char* control_name = "/.faultfs";

struct FaultFsState {
    std::string source; // absolute, no trailing '/'
    FaultRules rules;
};

FaultFsState& state() { return *static_cast<FaultFsState*>(fuse_get_context()->private_data); }

std::string source_path(const char* path) { return state().source + path; }

bool is_control(const char* path) { return std::strcmp(path, control_name) == 0; }

bool session_ending()
{
    return fuse_session_exited(fuse_get_session(fuse_get_context()->fuse)) != 0;
}

void* ff_init(fuse_conn_info*, fuse_config* cfg)
{
    // Cache file data as a network filesystem would, dropping it when the
    // source's mtime or size changes.
    cfg->auto_cache = 1;
    cfg->use_ino = 1;
    return fuse_get_context()->private_data;
}

int ff_getattr(const char* path, struct stat* st, fuse_file_info*)
{
    if (is_control(path)) {
        *st = {};
        st->st_mode = S_IFREG | 0600;
        st->st_nlink = 1;
        st->st_uid = ::getuid();
        st->st_gid = ::getgid();
        return 0;
    }
    return ::lstat(source_path(path).c_str(), st) == 0 ? 0 : -errno;
}

int ff_readlink(const char* path, char* buf, size_t size)
{
    const ssize_t n = ::readlink(source_path(path).c_str(), buf, size - 1);
    if (n < 0)
        return -errno;
    buf[n] = '\0';
    return 0;
}

int ff_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags)
{
    DIR* d = ::opendir(source_path(path).c_str());
    if (!d)
        return -errno;
    while (const dirent* e = ::readdir(d)) {
        struct stat st {};
        st.st_ino = e->d_ino;
        st.st_mode = static_cast<mode_t>(DTTOIF(e->d_type));
        if (fill(buf, e->d_name, &st, 0, fuse_fill_dir_flags{}) != 0)
            break;
    }
    ::closedir(d);
    return 0;
}

int ff_open(const char* path, fuse_file_info* fi)
{
    if (is_control(path)) {
        if ((fi->flags & O_ACCMODE) == O_RDONLY)
            return -EACCES;
        fi->direct_io = 1;
        fi->fh = UINT64_MAX;
        return 0;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    const int fd = ::open(source_path(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    fi->fh = static_cast<std::uint64_t>(fd);
    if (fi->flags & O_DIRECT)
        fi->direct_io = 1;
    return 0;
}

int ff_read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi)
{
    if (fi->fh == UINT64_MAX)
        return -EBADF;
    const int error = state().rules.before_read(path + 1, static_cast<std::uint64_t>(offset), size,
                                                [] { return session_ending(); });
    if (error != 0)
        return -error;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(static_cast<int>(fi->fh), buf + done, size - done,
                                  offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return done > 0 ? static_cast<int>(done) : -errno;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(done);
}

// Every write to the control file is one or more command lines.
int ff_write(const char* path, const char* buf, size_t size, off_t, fuse_file_info*)
{
    if (!is_control(path))
        return -EROFS;
    std::string_view text(buf, size);
    std::vector<kov::test::FaultCommand> commands;
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (line.find_first_not_of(" \t\r") == std::string_view::npos)
            continue;
        const auto command = kov::test::parse_fault_command(line);
        if (!command) {
            std::fprintf(stderr, "faultfs: bad command: %.*s\n", static_cast<int>(line.size()), line.data());
            return -EINVAL;
        }
        commands.push_back(*command);
    }
    for (const auto& c : commands)
        state().rules.apply(c);
    return static_cast<int>(size);
}

// A shell's `>` truncates the control file before writing to it.
int ff_truncate(const char* path, off_t, fuse_file_info*) { return is_control(path) ? 0 : -EROFS; }

int ff_release(const char*, fuse_file_info* fi)
{
    if (fi->fh != UINT64_MAX)
        ::close(static_cast<int>(fi->fh));
    return 0;
}

int ff_statfs(const char* path, struct statvfs* st)
{
    return ::statvfs(source_path(path).c_str(), st) == 0 ? 0 : -errno;
}

int ff_access(const char* path, int mask)
{
    if (is_control(path))
        return 0;
    if (mask & W_OK)
        return -EROFS;
    return ::access(source_path(path).c_str(), mask) == 0 ? 0 : -errno;
}

fuse_operations make_operations()
{
    fuse_operations ops{};
    ops.init = ff_init;
    ops.getattr = ff_getattr;
    ops.readlink = ff_readlink;
    ops.readdir = ff_readdir;
    ops.open = ff_open;
    ops.read = ff_read;
    ops.write = ff_write;
    ops.truncate = ff_truncate;
    ops.release = ff_release;
    ops.statfs = ff_statfs;
    ops.access = ff_access;
    return ops;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: faultfs SOURCE_DIR MOUNT_DIR\n");
        return 2;
    }
    char resolved[PATH_MAX];
    if (!::realpath(argv[1], resolved)) {
        std::fprintf(stderr, "faultfs: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    FaultFsState fs_state;
    fs_state.source = std::strcmp(resolved, "/") == 0 ? "" : resolved;

    // Root may let every user through; the kernel still checks the source's modes.
    std::string options = "fsname=faultfs,subtype=faultfs,default_permissions";
    if (::geteuid() == 0)
        options += ",allow_other";
    char arg0[] = "faultfs", dash_o[] = "-o";
    char* args_v[] = {arg0, dash_o, options.data(), nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, args_v);
    const fuse_operations ops = make_operations();
    fuse* f = fuse_new(&args, &ops, sizeof ops, &fs_state);
    if (!f) {
        fuse_opt_free_args(&args);
        return 1;
    }
    int rc = 1;
    if (fuse_mount(f, argv[2]) == 0) {
        if (fuse_set_signal_handlers(fuse_get_session(f)) == 0) {
            fuse_loop_config* cfg = fuse_loop_cfg_create();
            // Stalled reads each hold a worker; the rest must keep serving.
            fuse_loop_cfg_set_max_threads(cfg, 64);
            fuse_loop_cfg_set_idle_threads(cfg, 8);
            rc = fuse_loop_mt(f, cfg) == 0 ? 0 : 1;
            fuse_loop_cfg_destroy(cfg);
            fuse_remove_signal_handlers(fuse_get_session(f));
        }
        fuse_unmount(f);
    }
    fuse_destroy(f);
    fuse_opt_free_args(&args); // fuse_new may have copied them
    return rc;
}
