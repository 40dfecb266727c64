// The rewrite decision of a regular file: made on the analysis pool, kept
// until the source changes.

#include "fs/file_form.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "fs/mirror_state.hpp"
#include "fs/parked_forms.hpp"
#include "fs/source_analysis.hpp"

namespace kov {

namespace {

SourceStamp stamp_of(const struct stat& st)
{
    return SourceStamp{st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

// The form of the file open on `fd` as the decision for `stamp` found it. A
// source that changed while it was examined keeps the form only when the
// bytes sampled before the examination are still there (it grew); otherwise
// the examination may have read old and new bytes mixed, and counts as
// spoilt, to be made again. Samples that cannot be read (a bad sector under
// the audio) leave the form unsampled rather than the file unusable: its
// reads fail where they meet the damage, and any change spoils it.
std::shared_ptr<const FileForm> examine(int fd, const SourceStamp& stamp, bool& read_failed)
{
    SourceSample before;
    take_sample(fd, static_cast<std::uint64_t>(stamp.size), before);
    const SourceAnalysis analysis = analyse_source_file(fd);
    read_failed = analysis.read_failed;
    if (read_failed)
        return nullptr;
    auto form = std::make_shared<FileForm>();
    form->layout = analysis.layout;
    form->unfinished = analysis.unfinished;
    form->stamp = stamp;
    SourceStamp after;
    if (!stamp_fd(fd, after) || after != stamp) {
        read_failed = !sample_holds(fd, before);
        if (read_failed)
            return nullptr;
    }
    if (!form->layout)
        form->sample = std::move(before);
    else
        take_sample(fd, form->layout->source_size, form->sample);
    return form;
}

// Starts a decision for the node's source as `stamp` describes it, on the
// analysis pool. Called under the forms' mutex; reads nothing itself.
std::shared_ptr<PendingDecision> start_decision(MirrorNode& node, const SourceStamp& stamp)
{
    // Looking at a file is not reading it: its access time stays, where the
    // owner's rights allow.
    int fd = reopen_node(node, O_RDONLY | O_NOATIME);
    if (fd == -EPERM)
        fd = reopen_node(node, O_RDONLY);
    if (fd < 0)
        return nullptr;
    auto job = std::make_shared<PendingDecision>();
    job->stamp = stamp;
    run_decision([job, source = std::make_shared<UniqueFd>(fd)] {
        bool read_failed = false;
        auto form = examine(source->get(), job->stamp, read_failed);
        source->reset();
        std::lock_guard lock(job->mutex);
        job->form = std::move(form);
        job->read_failed = read_failed;
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

// Looks at the source again, under the forms' mutex so that a later look
// never stores an older stamp over a newer one. Returns the decision to wait
// for, or none with `known` the answer.
std::shared_ptr<PendingDecision> look_again(MirrorNode& node, FileForms& forms, LayoutDecision& known)
{
    std::lock_guard lock(forms.mutex);
    struct stat st {};
    if (stat_node(node, st) < 0) {
        if (forms.state == LayoutState::rewritten)
            known = {forms.form->layout, forms.form, true, false};
        return nullptr;
    }
    const SourceStamp stamp = stamp_of(st);
    forms.largest_shown = std::max(forms.largest_shown, stamp.size);
    if (stamp != forms.stamp) {
        if (forms.stamp != SourceStamp{})
            forms.moved_at = std::chrono::steady_clock::now();
        forms.state = LayoutState::undecided;
        forms.stamp = stamp;
    } else if (forms.state != LayoutState::undecided) {
        known = {forms.form->layout, forms.form, true, false};
        return nullptr;
    }
    if (!forms.pending || forms.pending->stamp != stamp || failed_already(*forms.pending))
        forms.pending = start_decision(node, stamp);
    if (!forms.pending) {
        // Not even reopened: shown unchanged, and decided again next time.
        forms.stamp = SourceStamp{};
    }
    return forms.pending;
}

// Waits until `wait` after the decision started (for good: max); false when
// it is still running then.
bool finished_in_time(PendingDecision& job, std::chrono::milliseconds wait)
{
    std::unique_lock lock(job.mutex);
    const auto finished = [&] { return job.done; };
    if (wait == std::chrono::milliseconds::max()) {
        job.finished.wait(lock, finished);
        return true;
    }
    return job.finished.wait_until(lock, job.started + wait, finished);
}

// Stores a finished decision as the file's, unless a newer look superseded it
// or a read error spoilt it (the next request decides again). True when it
// replaced another form.
bool keep_decision(FileForms& forms, const std::shared_ptr<PendingDecision>& job)
{
    std::lock_guard lock(forms.mutex);
    if (forms.pending != job)
        return false;
    forms.pending.reset();
    if (forms.stamp != job->stamp || job->read_failed)
        return false;
    const bool changed = forms.form != nullptr;
    forms.form = job->form;
    forms.state = job->form->layout ? LayoutState::rewritten : LayoutState::pass_through;
    return changed;
}

} // namespace

std::shared_ptr<FileForms> forms_of(MirrorNode& node)
{
    std::shared_ptr<FileForms> forms = node.forms.load();
    if (forms)
        return forms;
    auto fresh = std::make_shared<FileForms>();
    unpark_forms(node, *fresh);
    // Two first requests at once: one of them makes it, both use that one.
    if (node.forms.compare_exchange_strong(forms, fresh))
        return fresh;
    return forms;
}

bool stamp_fd(int fd, SourceStamp& stamp)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    stamp = stamp_of(st);
    return true;
}

LayoutDecision decide_layout(MirrorNode& node, std::chrono::milliseconds wait)
{
    std::shared_ptr<FileForms> forms = node.forms.load();
    if (!forms) {
        // Only regular files are ever reopened: opening a FIFO blocks and
        // opening a device may have side effects. Without a file type
        // nothing may be reopened either, so such a node shows unchanged.
        struct stat st {};
        if (stat_node(node, st) < 0 || !S_ISREG(st.st_mode))
            return {};
        forms = forms_of(node);
    }
    LayoutDecision known;
    const std::shared_ptr<PendingDecision> job = look_again(node, *forms, known);
    if (!job)
        return known;
    if (!finished_in_time(*job, wait))
        return {nullptr, nullptr, false, false};
    if (keep_decision(*forms, job))
        notify_form_changed(inode_table().ino_of(&node));
    if (job->read_failed)
        return {nullptr, nullptr, false, true};
    return {job->form->layout, job->form, true, false};
}

bool moved_lately(MirrorNode& node, const FileForm& form, std::chrono::milliseconds quiet)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t age_ms =
        (now.tv_sec - form.stamp.mtime_sec) * 1000 + (now.tv_nsec - form.stamp.mtime_nsec) / 1000000;
    // A time ahead of the clock (a clock set back) tells nothing of writing.
    if (age_ms > -1000 && age_ms < quiet.count())
        return true;
    const std::shared_ptr<FileForms> forms = node.forms.load();
    if (!forms)
        return false;
    std::lock_guard lock(forms->mutex);
    return std::chrono::steady_clock::now() - forms->moved_at < quiet;
}

std::shared_ptr<const FileLayout> current_layout(MirrorNode& node)
{
    return decide_layout(node, std::chrono::milliseconds::max()).layout;
}

int open_form(OpenFile& handle, std::shared_ptr<const FileForm> form)
{
    // No request knows the handle yet: nothing to lock.
    handle.form = std::move(form);
    if (!handle.form)
        return 0;
    handle.verified_ = handle.form->stamp;
    if (!handle.form->sample.taken) {
        SourceStamp now;
        if (!stamp_fd(handle.fd.get(), now) || now != handle.form->stamp)
            return -ESTALE;
        take_sample(handle.fd.get(), static_cast<std::uint64_t>(now.size), handle.own_sample_);
        if (!stamp_fd(handle.fd.get(), now) || now != handle.form->stamp)
            return -ESTALE;
    }
    return handle.check_source() == 0 ? 0 : -ESTALE;
}

int OpenFile::check_source()
{
    if (!form)
        return 0;
    std::lock_guard lock(mutex_);
    SourceStamp now;
    if (spoilt_ || !stamp_fd(fd.get(), now)) {
        spoilt_ = true;
        return -EIO;
    }
    if (now == verified_)
        return 0;
    // The source moved on since it was last looked at. Appending keeps every
    // byte the form refers to and makes the file longer; anything else spoils
    // the form for good. New data at the same size was written over old
    // bytes, even where the samples read as before (written away and back).
    // A movie not yet readable as one that grows is being written: what was
    // read of it so far is no file at all.
    if (form->unfinished) {
        spoilt_ = true;
        return -EIO;
    }
    const bool rewritten_at_same_size = now.size == verified_.size &&
                                        (now.mtime_sec != verified_.mtime_sec || now.mtime_nsec != verified_.mtime_nsec);
    // A file that got shorter since (even if not short of the form) was cut
    // under reads past the form's end, which may have copied bytes the cut
    // zeroed.
    if (rewritten_at_same_size || now.size < verified_.size || !sample_holds(fd.get(), sample())) {
        spoilt_ = true;
        return -EIO;
    }
    verified_ = now;
    return 0;
}

bool OpenFile::unchanged_since_open()
{
    std::lock_guard lock(mutex_);
    return form && verified_ == form->stamp && !spoilt_;
}

} // namespace kov
