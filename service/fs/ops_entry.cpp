// Names to nodes, attributes, and the per-node rewrite decision.

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "fs/mirror_state.hpp"
#include "shares/share_table.hpp"

namespace kov {

namespace {

// Resolves an opened O_PATH descriptor into a counted node and its entry.
int enter_node(UniqueFd fd, fuse_entry_param& e, MirrorNode*& node)
{
    struct stat st {};
    if (const int rc = stat_node(fd.get(), st); rc < 0)
        return rc;
    node = inode_table().find_or_add(fd.release(), st.st_dev, st.st_ino);
    e.ino = inode_table().ino_of(node);
    e.attr = st;
    e.attr.st_ino = static_cast<ino_t>(node->number);
    return 0;
}

} // namespace

std::shared_ptr<const FileLayout> current_layout(MirrorNode& node)
{
    std::lock_guard lock(node.mutex);
    struct stat st {};
    if (stat_node(node.fd.get(), st) < 0) {
        // Without a file type nothing may be reopened (it could be a FIFO),
        // so an undecided node stays undecided and shows unchanged.
        return node.state == LayoutState::rewritten ? node.layout : nullptr;
    }
    const bool changed = st.st_size != node.cached_size || st.st_mtim.tv_sec != node.cached_mtime_sec ||
                         st.st_mtim.tv_nsec != node.cached_mtime_nsec;
    if (changed) {
        node.state = LayoutState::undecided;
        node.layout.reset();
        node.cached_size = st.st_size;
        node.cached_mtime_sec = st.st_mtim.tv_sec;
        node.cached_mtime_nsec = st.st_mtim.tv_nsec;
    } else if (node.state != LayoutState::undecided) {
        return node.layout;
    }
    // Only regular files are ever reopened: opening a FIFO blocks and opening
    // a device may have side effects.
    if (!S_ISREG(st.st_mode)) {
        node.state = LayoutState::pass_through;
        return nullptr;
    }
    const int fd = reopen_node(node.fd.get(), O_RDONLY);
    if (fd < 0) {
        node.state = LayoutState::pass_through;
        return nullptr;
    }
    UniqueFd source(fd);
    node.layout = analyse_source(source.get());
    node.state = node.layout ? LayoutState::rewritten : LayoutState::pass_through;
    return node.layout;
}

int lookup_entry(fuse_ino_t parent, const char* name, fuse_entry_param& e)
{
    e = fuse_entry_param{};
    e.attr_timeout = attr_timeout;
    e.entry_timeout = entry_timeout;
    MirrorNode* node = nullptr;

    if (is_shares_root(parent)) {
        const auto share = mirror_settings().shares->find(name);
        if (!share)
            return -ENOENT;
        // The folder validated at install, never its path again.
        const int fd = ::fcntl(share->folder->get(), F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            return -errno;
        struct stat st {};
        if (const int rc = stat_node(fd, st); rc < 0 || st.st_nlink == 0) {
            ::close(fd);
            return rc < 0 ? rc : -ENOENT; // the folder was removed since install
        }
        return enter_node(UniqueFd(fd), e, node);
    }

    MirrorNode* dir = inode_table().node_of(parent);
    const int fd = ::openat(dir->fd.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    if (const int rc = enter_node(UniqueFd(fd), e, node); rc < 0)
        return rc;
    if (const auto layout = current_layout(*node))
        e.attr.st_size = static_cast<off_t>(layout->total_size);
    return 0;
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) noexcept
{
    fuse_entry_param e{};
    if (const int rc = lookup_entry(parent, name, e); rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    fuse_reply_entry(req, &e);
}

void op_forget(fuse_req_t req, fuse_ino_t ino, std::uint64_t nlookup) noexcept
{
    inode_table().forget_node(inode_table().node_of(ino), nlookup);
    fuse_reply_none(req);
}

void op_forget_multi(fuse_req_t req, std::size_t count, fuse_forget_data* forgets) noexcept
{
    for (std::size_t i = 0; i < count; ++i)
        inode_table().forget_node(inode_table().node_of(forgets[i].ino), forgets[i].nlookup);
    fuse_reply_none(req);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) noexcept
{
    struct stat st {};
    if (is_shares_root(ino)) {
        st.st_ino = 1;
        st.st_nlink = 2;
        st.st_mode = S_IFDIR | 0555;
        st.st_uid = ::getuid();
        st.st_gid = ::getgid();
        fuse_reply_attr(req, &st, attr_timeout);
        return;
    }
    MirrorNode* node = inode_table().node_of(ino);
    if (const int rc = stat_node(node->fd.get(), st); rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    st.st_ino = static_cast<ino_t>(node->number);
    if (const auto layout = current_layout(*node))
        st.st_size = static_cast<off_t>(layout->total_size);
    fuse_reply_attr(req, &st, attr_timeout);
}

} // namespace kov
