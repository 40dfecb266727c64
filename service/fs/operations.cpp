#include <fcntl.h>
#include <stdio.h>

#include "fs/mirror.hpp"
#include "fs/mirror_state.hpp"
#include "pcm/decoding_service.hpp"

namespace kov {

MirrorSettings& mirror_settings()
{
    static MirrorSettings settings;
    return settings;
}

InodeTable& inode_table()
{
    static InodeTable table;
    return table;
}

void set_mirror_writable(bool writable)
{
    mirror_settings().writable = writable;
}

void set_mirror_conversions(CodecSet convert)
{
    mirror_settings().convert = convert;
}

void set_mirror_workers(WorkerPool* decisions, std::shared_ptr<DecodingService> decoding)
{
    mirror_settings().decisions = decisions;
    mirror_settings().decoding = std::move(decoding);
}

namespace {

// The decoding service of the decision running on this thread.
thread_local DecodingService* current_decoding = nullptr;

} // namespace

void run_decision(std::function<void()> task)
{
    // The decision holds the service from its start, while the mount still
    // has it: one stuck in a read may end after the mount has let go.
    std::function<void()> decide = [task = std::move(task), decoding = mirror_settings().decoding] {
        current_decoding = decoding.get();
        task();
        current_decoding = nullptr;
    };
    WorkerPool* pool = mirror_settings().decisions;
    if (pool == nullptr || !pool->submit(std::move(decide)))
        decide();
}

DecodingService* decision_decoding()
{
    return current_decoding;
}

void set_mirror_root(UniqueFd root, dev_t device, ino_t inode)
{
    mirror_settings().shares = nullptr;
    inode_table().set_root(root.release(), device, inode);
}

void set_mirror_shares(ShareTable* table)
{
    mirror_settings().shares = table;
    inode_table().set_root(-1, 0, 0);
}

int reopen_node(MirrorNode& node, int flags)
{
    HeldFd held;
    if (const int rc = inode_table().descriptor(node, held); rc < 0)
        return rc;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", held->get());
    return open_with_room([&] {
        const int opened = ::open(path, flags | O_CLOEXEC);
        return opened < 0 ? -errno : opened;
    });
}

int stat_fd(int fd, struct stat& st)
{
    return ::fstatat(fd, "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) < 0 ? -errno : 0;
}

int stat_node(MirrorNode& node, struct stat& st)
{
    HeldFd held;
    if (const int rc = inode_table().descriptor(node, held); rc < 0)
        return rc;
    return stat_fd(held->get(), st);
}

fuse_lowlevel_ops mirror_operations()
{
    fuse_lowlevel_ops ops{};
    ops.lookup = op_lookup;
    ops.forget = op_forget;
    ops.getattr = op_getattr;
    ops.forget_multi = op_forget_multi;
    ops.setattr = op_setattr;
    ops.readlink = op_readlink;
    ops.mkdir = op_mkdir;
    ops.unlink = op_unlink;
    ops.rmdir = op_rmdir;
    ops.rename = op_rename;
    ops.link = op_link;
    ops.symlink = op_symlink;
    ops.mknod = op_mknod;
    ops.open = op_open;
    ops.read = op_read;
    ops.write = op_write;
    ops.release = op_release;
    ops.fsync = op_fsync;
    ops.opendir = op_opendir;
    ops.readdir = op_readdir;
    ops.releasedir = op_releasedir;
    ops.statfs = op_statfs;
    ops.access = op_access;
    ops.create = op_create;
    ops.readdirplus = op_readdirplus;
    return ops;
}

} // namespace kov
