#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/mount_harness.hpp"

namespace kov::test {

namespace {

PlusMode& in_process_plus_mode()
{
    static PlusMode mode = PlusMode::library_default;
    return mode;
}

void in_process_init(void*, fuse_conn_info* conn)
{
    conn->want |= FUSE_CAP_AUTO_INVAL_DATA;
    conn->want |= conn->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
    if (in_process_plus_mode() == PlusMode::always)
        conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    if (in_process_plus_mode() == PlusMode::never)
        conn->want &= ~(FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO);
}

} // namespace

void PrintTo(PlusMode mode, std::ostream* os)
{
    *os << (mode == PlusMode::always ? "readdirplus" : mode == PlusMode::never ? "readdir" : "kernel's choice");
}

std::string plus_mode_name(const ::testing::TestParamInfo<PlusMode>& info)
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

InProcessMount::InProcessMount(const std::string& source, InProcessOptions opts, ShareTable* shares)
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

InProcessMount::~InProcessMount()
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
    close_open_handles();
    close_open_folders();
    fuse_session_unmount(session_);
    fuse_session_destroy(session_);
    inode_table().clear();
    set_mirror_writable(false);
}

} // namespace kov::test
