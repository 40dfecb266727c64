// Names to nodes, attributes, and the per-node rewrite decision.

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "fs/analysis_pool.hpp"
#include "fs/mirror_state.hpp"
#include "fs/source_analysis.hpp"
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

SourceStamp stamp_of(const struct stat& st)
{
    return SourceStamp{st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

// Starts a decision for the node's source as `stamp` describes it, on the
// analysis pool. Called under the node's mutex; reads nothing itself.
std::shared_ptr<PendingDecision> start_decision(MirrorNode& node, const SourceStamp& stamp)
{
    const int fd = reopen_node(node.fd.get(), O_RDONLY);
    if (fd < 0)
        return nullptr;
    auto job = std::make_shared<PendingDecision>();
    job->stamp = stamp;
    run_in_analysis_pool([job, source = std::make_shared<UniqueFd>(fd)] {
        const SourceAnalysis analysis = analyse_source_file(source->get());
        source->reset();
        std::lock_guard lock(job->mutex);
        job->layout = analysis.layout;
        job->read_failed = analysis.read_failed;
        job->done = true;
        job->finished.notify_all();
    });
    return job;
}

// A finished decision that a read error spoilt; nobody has picked it up yet,
// but the next request tries afresh rather than take it.
bool failed_already(PendingDecision& job)
{
    std::lock_guard lock(job.mutex); // lock order: node mutex, then a decision's
    return job.done && job.read_failed;
}

} // namespace

LayoutDecision decide_layout(MirrorNode& node, std::chrono::milliseconds wait)
{
    std::shared_ptr<PendingDecision> job;
    {
        std::lock_guard lock(node.mutex);
        struct stat st {};
        if (stat_node(node.fd.get(), st) < 0) {
            // Without a file type nothing may be reopened (it could be a FIFO),
            // so an undecided node stays undecided and shows unchanged.
            return {node.state == LayoutState::rewritten ? node.layout : nullptr, true, false};
        }
        const SourceStamp stamp = stamp_of(st);
        if (stamp != node.stamp) {
            node.state = LayoutState::undecided;
            node.layout.reset();
            node.stamp = stamp;
        } else if (node.state != LayoutState::undecided) {
            return {node.layout, true, false};
        }
        // Only regular files are ever reopened: opening a FIFO blocks and
        // opening a device may have side effects.
        if (!S_ISREG(st.st_mode)) {
            node.state = LayoutState::pass_through;
            return {};
        }
        if (!node.pending || node.pending->stamp != stamp || failed_already(*node.pending))
            node.pending = start_decision(node, stamp);
        if (!node.pending) {
            node.state = LayoutState::pass_through;
            return {};
        }
        job = node.pending;
    }
    {
        std::unique_lock lock(job->mutex);
        const auto finished = [&] { return job->done; };
        if (wait == std::chrono::milliseconds::max())
            job->finished.wait(lock, finished);
        else if (!job->finished.wait_for(lock, wait, finished))
            return {nullptr, false, false};
    }
    std::lock_guard lock(node.mutex);
    if (node.pending == job) {
        node.pending.reset();
        // A decision spoilt by a read error is not kept: the next request
        // decides again.
        if (node.stamp == job->stamp && !job->read_failed) {
            node.layout = job->layout;
            node.state = job->layout ? LayoutState::rewritten : LayoutState::pass_through;
        }
    }
    return {job->layout, !job->read_failed, job->read_failed};
}

std::shared_ptr<const FileLayout> current_layout(MirrorNode& node)
{
    return decide_layout(node, std::chrono::milliseconds::max()).layout;
}

int layout_for_read(MirrorNode& node, int fd, std::shared_ptr<const FileLayout>& layout)
{
    SourceStamp decided;
    {
        std::lock_guard lock(node.mutex);
        if (node.state != LayoutState::rewritten) {
            layout.reset();
            return 0;
        }
        layout = node.layout;
        decided = node.stamp;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && stamp_of(st) == decided)
        return 0;
    // Changed under the reader: bytes past a new end must not read as
    // zeros, nor old and new mixed.
    layout = current_layout(node);
    return layout ? 0 : -EIO;
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
    MirrorNode* dir = inode_table().node_of(parent);
    const int fd = ::openat(dir->fd.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    MirrorNode* node = nullptr;
    return enter_node(UniqueFd(fd), e, node);
}

void apply_decision(fuse_entry_param& e, std::chrono::milliseconds wait)
{
    const LayoutDecision decision = decide_layout(*inode_table().node_of(e.ino), wait);
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
    if (const int rc = stat_node(node->fd.get(), st); rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    st.st_ino = static_cast<ino_t>(node->number);
    const LayoutDecision decision = decide_layout(*node, decision_wait);
    if (decision.layout)
        st.st_size = static_cast<off_t>(decision.layout->total_size);
    fuse_reply_attr(req, &st, decision.settled ? attr_timeout : 0);
}

} // namespace kov
