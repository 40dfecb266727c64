// Names to nodes, and attributes.

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "fs/mirror_state.hpp"
#include "fs/parked_forms.hpp"
#include "shares/share_table.hpp"

namespace kov {

namespace {

// Resolves an O_PATH descriptor of `name` in `parent` into a counted node
// and its entry.
int enter_node(MirrorNode& parent, const char* name, UniqueFd fd, fuse_entry_param& e)
{
    struct stat st {};
    if (const int rc = stat_fd(fd.get(), st); rc < 0)
        return rc;
    MirrorNode* node = inode_table().find_or_add(parent, name, std::move(fd), st.st_dev, st.st_ino);
    e.ino = inode_table().ino_of(node);
    e.attr = st;
    e.attr.st_ino = static_cast<ino_t>(node->number);
    return 0;
}

} // namespace

int lookup_entry(fuse_ino_t parent, const char* name, fuse_entry_param& e)
{
    e = fuse_entry_param{};
    e.attr_timeout = attr_timeout;
    e.entry_timeout = entry_timeout;
    if (is_shares_root(parent)) {
        const auto share = mirror_settings().shares->find(name);
        if (!share)
            return -ENOENT;
        // The folder validated at install, never its path again.
        const int fd = open_with_room([&] {
            const int dup = ::fcntl(share->folder->get(), F_DUPFD_CLOEXEC, 0);
            return dup < 0 ? -errno : dup;
        });
        if (fd < 0)
            return fd;
        UniqueFd folder(fd);
        struct stat st {};
        if (const int rc = stat_fd(fd, st); rc < 0 || st.st_nlink == 0)
            return rc < 0 ? rc : -ENOENT; // the folder was removed since install
        return enter_node(inode_table().root(), name, std::move(folder), e);
    }

    if (const int rc = lookup_undecided(parent, name, e); rc < 0)
        return rc;
    apply_decision(e, decision_wait);
    return 0;
}

int lookup_undecided(fuse_ino_t parent, const char* name, fuse_entry_param& e)
{
    e = fuse_entry_param{};
    e.attr_timeout = attr_timeout;
    e.entry_timeout = entry_timeout;
    MirrorNode& dir = *inode_table().node_of(parent);
    HeldFd dir_fd;
    if (const int rc = inode_table().descriptor(dir, dir_fd); rc < 0)
        return rc;
    const int fd = open_with_room([&] {
        const int opened = ::openat(dir_fd->get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        return opened < 0 ? -errno : opened;
    });
    if (fd < 0)
        return fd;
    return enter_node(dir, name, UniqueFd(fd), e);
}

void apply_decision(fuse_entry_param& e, std::chrono::milliseconds wait)
{
    MirrorNode& node = *inode_table().node_of(e.ino);
    const LayoutDecision decision = decide_layout(node, wait);
    park_forms(node);
    if (decision.layout)
        e.attr.st_size = static_cast<off_t>(decision.layout->total_size);
    if (!decision.settled) {
        // Provisional: the kernel asks again at the next use.
        e.attr_timeout = 0;
        e.entry_timeout = 0;
    }
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
    if (const int rc = stat_node(*node, st); rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    st.st_ino = static_cast<ino_t>(node->number);
    const LayoutDecision decision = decide_layout(*node, decision_wait);
    park_forms(*node);
    if (decision.layout)
        st.st_size = static_cast<off_t>(decision.layout->total_size);
    fuse_reply_attr(req, &st, decision.settled ? attr_timeout : 0);
}

} // namespace kov
