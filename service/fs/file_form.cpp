// The rewrite decision of a regular file: made on the analysis pool, kept
// until the source changes.

#include "fs/file_form.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include "fs/analysis_pool.hpp"
#include "fs/mirror_state.hpp"
#include "fs/source_analysis.hpp"

namespace kov {

namespace {

SourceStamp stamp_of(const struct stat& st)
{
    return SourceStamp{st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

// Starts a decision for the node's source as `stamp` describes it, on the
// analysis pool. Called under the forms' mutex; reads nothing itself.
std::shared_ptr<PendingDecision> start_decision(MirrorNode& node, const SourceStamp& stamp)
{
    const int fd = reopen_node(node, O_RDONLY);
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
    std::lock_guard lock(job.mutex); // lock order: the forms' mutex, then a decision's
    return job.done && job.read_failed;
}

} // namespace

std::shared_ptr<FileForms> forms_of(MirrorNode& node)
{
    std::shared_ptr<FileForms> forms = node.forms.load();
    if (forms)
        return forms;
    auto fresh = std::make_shared<FileForms>();
    // Two first requests at once: one of them makes it, both use that one.
    if (node.forms.compare_exchange_strong(forms, fresh))
        return fresh;
    return forms;
}

LayoutDecision decide_layout(MirrorNode& node, std::chrono::milliseconds wait)
{
    std::shared_ptr<FileForms> forms = node.forms.load();
    struct stat st {};
    if (!forms) {
        // Only regular files are ever reopened: opening a FIFO blocks and
        // opening a device may have side effects. Without a file type
        // nothing may be reopened either, so such a node shows unchanged.
        if (stat_node(node, st) < 0 || !S_ISREG(st.st_mode))
            return {};
        forms = forms_of(node);
    }
    std::shared_ptr<PendingDecision> job;
    {
        // Examined under the lock, so that a later look never stores an
        // older stamp over a newer one.
        std::lock_guard lock(forms->mutex);
        if (stat_node(node, st) < 0)
            return {forms->state == LayoutState::rewritten ? forms->layout : nullptr, true, false};
        const SourceStamp stamp = stamp_of(st);
        if (stamp != forms->stamp) {
            forms->state = LayoutState::undecided;
            forms->layout.reset();
            forms->stamp = stamp;
        } else if (forms->state != LayoutState::undecided) {
            return {forms->layout, true, false};
        }
        if (!forms->pending || forms->pending->stamp != stamp || failed_already(*forms->pending))
            forms->pending = start_decision(node, stamp);
        if (!forms->pending) {
            forms->state = LayoutState::pass_through;
            return {};
        }
        job = forms->pending;
    }
    {
        std::unique_lock lock(job->mutex);
        const auto finished = [&] { return job->done; };
        if (wait == std::chrono::milliseconds::max())
            job->finished.wait(lock, finished);
        else if (!job->finished.wait_for(lock, wait, finished))
            return {nullptr, false, false};
    }
    std::lock_guard lock(forms->mutex);
    if (forms->pending == job) {
        forms->pending.reset();
        // A decision spoilt by a read error is not kept: the next request
        // decides again.
        if (forms->stamp == job->stamp && !job->read_failed) {
            forms->layout = job->layout;
            forms->state = job->layout ? LayoutState::rewritten : LayoutState::pass_through;
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
    const std::shared_ptr<FileForms> forms = node.forms.load();
    layout.reset();
    if (!forms)
        return 0;
    SourceStamp decided;
    {
        std::lock_guard lock(forms->mutex);
        if (forms->state != LayoutState::rewritten)
            return 0;
        layout = forms->layout;
        decided = forms->stamp;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && stamp_of(st) == decided)
        return 0;
    // Changed under the reader: bytes past a new end must not read as
    // zeros, nor old and new mixed.
    layout = current_layout(node);
    return layout ? 0 : -EIO;
}

} // namespace kov
