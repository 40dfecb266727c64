// The write side. Without --writable the mount is read-only and the kernel
// refuses most writes itself; these answers cover requests that arrive anyway.
// The shares root is a made-up folder and never changes.

#include <fcntl.h>
#include <unistd.h>

#include "fs/mirror_state.hpp"

namespace kov {

namespace {

// 0 when a change at `ino` may go ahead, else the errno to answer.
int write_refusal(fuse_ino_t ino)
{
    if (is_shares_root(ino))
        return EACCES;
    return mirror_settings().writable ? 0 : EROFS;
}

// The folder's descriptor for a change in it: 0 or -errno.
int folder_fd(fuse_ino_t parent, HeldFd& out)
{
    return inode_table().descriptor(*inode_table().node_of(parent), out);
}

// 0 or an errno, for unlink and rmdir.
int unlink_in(fuse_ino_t parent, const char* name, int flags)
{
    HeldFd dir;
    if (const int rc = folder_fd(parent, dir); rc < 0)
        return -rc;
    return ::unlinkat(dir->get(), name, flags) < 0 ? errno : 0;
}

// 0 or -errno. Owner and group are changed on the object itself (a link
// stays a link); the source's filesystem decides who may.
int apply_owner(int node_fd, const struct stat& attr, int to_set)
{
    const uid_t uid = (to_set & FUSE_SET_ATTR_UID) ? attr.st_uid : static_cast<uid_t>(-1);
    const gid_t gid = (to_set & FUSE_SET_ATTR_GID) ? attr.st_gid : static_cast<gid_t>(-1);
    if (uid == static_cast<uid_t>(-1) && gid == static_cast<gid_t>(-1))
        return 0;
    return ::fchownat(node_fd, "", uid, gid, AT_EMPTY_PATH) < 0 ? -errno : 0;
}

// 0 or -errno.
int apply_attributes(int fd, const struct stat& attr, int to_set)
{
    if ((to_set & FUSE_SET_ATTR_SIZE) && ::ftruncate(fd, attr.st_size) < 0)
        return -errno;
    if ((to_set & FUSE_SET_ATTR_MODE) && ::fchmod(fd, attr.st_mode) < 0)
        return -errno;
    if (to_set & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME)) {
        timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
        if (to_set & FUSE_SET_ATTR_ATIME_NOW)
            times[0].tv_nsec = UTIME_NOW;
        else if (to_set & FUSE_SET_ATTR_ATIME)
            times[0] = attr.st_atim;
        if (to_set & FUSE_SET_ATTR_MTIME_NOW)
            times[1].tv_nsec = UTIME_NOW;
        else if (to_set & FUSE_SET_ATTR_MTIME)
            times[1] = attr.st_mtim;
        if (::futimens(fd, times) < 0)
            return -errno;
    }
    return 0;
}

// Size, mode and times need the file opened; 0 or -errno.
int apply_with_descriptor(MirrorNode& node, const struct stat& attr, int to_set, fuse_file_info* fi)
{
    if (!(to_set & (FUSE_SET_ATTR_SIZE | FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME)))
        return 0;
    if (fi != nullptr && fi->fh != 0)
        return apply_attributes(handle_fd(fi), attr, to_set);
    int opened = reopen_node(node, O_RDWR);
    if (opened < 0 && !(to_set & FUSE_SET_ATTR_SIZE))
        opened = reopen_node(node, O_RDONLY);
    if (opened < 0)
        return opened;
    const UniqueFd own(opened);
    return apply_attributes(own.get(), attr, to_set);
}

} // namespace

void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, fuse_file_info* fi) noexcept
{
    if (const int err = write_refusal(ino); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    MirrorNode& node = *inode_table().node_of(ino);
    // A rewritten file's bytes exist nowhere on disk: a new size would cut or
    // grow the source itself, as a write would.
    if ((to_set & FUSE_SET_ATTR_SIZE) && current_layout(node)) {
        fuse_reply_err(req, EACCES);
        return;
    }
    HeldFd own;
    int rc = inode_table().descriptor(node, own);
    if (rc == 0)
        rc = apply_owner(own->get(), *attr, to_set);
    if (rc == 0)
        rc = apply_with_descriptor(node, *attr, to_set, fi);
    struct stat st {};
    if (rc == 0)
        rc = stat_fd(own->get(), st);
    if (rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    st.st_ino = static_cast<ino_t>(node.number);
    if (const auto layout = current_layout(node))
        st.st_size = static_cast<off_t>(layout->total_size);
    fuse_reply_attr(req, &st, attr_timeout);
}

void op_create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) noexcept
{
    if (const int err = write_refusal(parent); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    HeldFd dir;
    int fd = folder_fd(parent, dir);
    if (fd == 0)
        fd = open_with_room([&] {
            const int opened = ::openat(dir->get(), name, (fi->flags & ~O_NOFOLLOW) | O_CREAT | O_CLOEXEC, mode);
            return opened < 0 ? -errno : opened;
        });
    if (fd < 0) {
        fuse_reply_err(req, -fd);
        return;
    }
    fuse_entry_param e{};
    if (const int rc = lookup_entry(parent, name, e); rc < 0) {
        ::close(fd);
        fuse_reply_err(req, -rc);
        return;
    }
    fi->fh = new_handle(UniqueFd(fd));
    if (fuse_reply_create(req, &e, fi) != 0) {
        // Interrupted: the kernel takes neither the handle nor the lookup.
        end_handle(fi);
        inode_table().forget_node(inode_table().node_of(e.ino), 1);
    }
}

void op_mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) noexcept
{
    if (const int err = write_refusal(parent); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    HeldFd dir;
    int rc = folder_fd(parent, dir);
    if (rc == 0 && ::mkdirat(dir->get(), name, mode) < 0)
        rc = -errno;
    if (rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    fuse_entry_param e{};
    if (rc = lookup_entry(parent, name, e); rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    fuse_reply_entry(req, &e);
}

void op_unlink(fuse_req_t req, fuse_ino_t parent, const char* name) noexcept
{
    if (const int err = write_refusal(parent); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    fuse_reply_err(req, unlink_in(parent, name, 0));
}

void op_rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) noexcept
{
    if (const int err = write_refusal(parent); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    fuse_reply_err(req, unlink_in(parent, name, AT_REMOVEDIR));
}

void op_rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newparent, const char* newname,
               unsigned int flags) noexcept
{
    if (!mirror_settings().writable || is_shares_root(parent) || is_shares_root(newparent)) {
        fuse_reply_err(req, EACCES);
        return;
    }
    if (flags != 0) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    HeldFd from, to;
    int rc = folder_fd(parent, from);
    if (rc == 0)
        rc = folder_fd(newparent, to);
    if (rc == 0 && ::renameat(from->get(), name, to->get(), newname) < 0)
        rc = -errno;
    fuse_reply_err(req, -rc);
}

// The mirror makes no links and no special files. One answer for all three:
// EACCES at the shares root and EROFS on a read-only mount, as for every
// other change there, else EPERM.
namespace {
int no_new_kind(fuse_ino_t parent)
{
    const int err = write_refusal(parent);
    return err != 0 ? err : EPERM;
}
} // namespace

void op_link(fuse_req_t req, fuse_ino_t, fuse_ino_t newparent, const char*) noexcept
{
    fuse_reply_err(req, no_new_kind(newparent));
}

void op_symlink(fuse_req_t req, const char*, fuse_ino_t parent, const char*) noexcept
{
    fuse_reply_err(req, no_new_kind(parent));
}

void op_mknod(fuse_req_t req, fuse_ino_t parent, const char*, mode_t, dev_t) noexcept
{
    fuse_reply_err(req, no_new_kind(parent));
}

} // namespace kov
