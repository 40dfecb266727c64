#pragma once
// The rewrite decision of one regular file, and the open files that read it.
//
// Ownership. A MirrorNode reaches the decision state of its file (FileForms)
// through one shared pointer, set the first time the file is decided; nodes
// of folders, links and special files never get one. Everyone who uses the
// state beyond the node's own life takes a reference of their own: every
// open file (OpenFile, in fh), every request while it runs, and a decision
// running on the analysis pool (through its PendingDecision). The layouts a
// decision built, their PCM sources and the sources' descriptors belong to
// the layout's shared pointer the same way. So forget, release, a new
// decision and a read may come in any order and on any threads: whoever lets
// go last destroys each of them, exactly once. Nothing is reached through a
// node after the reply to the kernel's request that names it, since the
// kernel may forget the node as soon as it has the reply.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/unique_fd.hpp"
#include "fs/fuse_api.hpp"
#include "fs/source_sample.hpp"
#include "media/file_layout.hpp"

namespace kov {

struct MirrorNode;

enum class LayoutState { undecided = 0, pass_through = 1, rewritten = 2 };

// What a decision is valid for: the source's size, modification time and
// change time (an in-place rewrite that puts size and mtime back still moves
// the change time).
struct SourceStamp {
    std::int64_t size = 0;
    std::int64_t mtime_sec = 0, mtime_nsec = 0;
    std::int64_t ctime_sec = 0, ctime_nsec = 0;
    bool operator==(const SourceStamp&) const = default;
};

// One form of a file, as one decision saw the source: what every handle
// opened on it reads, to the end, whatever the source does meanwhile.
struct FileForm {
    std::shared_ptr<const FileLayout> layout; // empty: the source shown unchanged
    SourceStamp stamp;                        // the source the decision examined
    // The bytes the form refers to: [0, source_size) of a layout, the whole
    // source of a file shown unchanged; to tell growth from change once the
    // source moved on.
    SourceSample sample;
    // Shown unchanged because it is a movie that cannot be read as one (see
    // SourceAnalysis): its bytes are no version of anything while they are
    // being written, so a handle of it fails once the source moves at all.
    bool unfinished = false;
    // Read-only handles open on this form; the last one to close lets its
    // PCM sources give back what they hold.
    mutable std::atomic<std::uint32_t> readers{0};
};

// A rewrite decision running on the analysis pool. Shared by the decision
// state, the pool thread and whoever waits for it.
struct PendingDecision {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false; // guarded by mutex, with the two below
    std::shared_ptr<const FileForm> form;
    bool read_failed = false;
    SourceStamp stamp; // set before the decision starts, never changed
    // Bounded waits count from here: once a stalled decision has been waited
    // for, later requests for the file answer provisionally at once.
    const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// The decision state of one regular file.
struct FileForms {
    // Guards the fields below. Taken after, never while holding, the table
    // mutex; held only to look at or store a decision, never while the
    // source is read and never while replying.
    std::mutex mutex;
    LayoutState state = LayoutState::undecided;
    std::shared_ptr<const FileForm> form; // set once decided
    SourceStamp stamp;                    // the source when last examined
    // When a look last found the source changed since the look before: the
    // file's own times may lag the clock, or not move at a truncation.
    std::chrono::steady_clock::time_point moved_at{};
    std::shared_ptr<PendingDecision> pending; // a decision being made for `stamp`
    // The form whose pages the kernel may hold in its page cache, and the
    // handles open that read through it (see choose_caching in ops_file.cpp):
    // the cache serves one form at a time.
    std::shared_ptr<const FileForm> cached;
    std::uint32_t cached_handles = 0;
    // The largest source size the kernel may have been told while handles
    // are open (decisions look at the size whenever they are asked): a file
    // shown unchanged that is now shorter must not end a read early, since
    // the kernel fills what it believes is there with zeros.
    std::int64_t largest_shown = 0;
    std::uint32_t handles = 0; // read-only handles open
};

// The node's decision state, made on first use. Only for regular files.
std::shared_ptr<FileForms> forms_of(MirrorNode& node);

// One open file, kept in fh from open or create to release.
struct OpenFile {
    UniqueFd fd;                          // the source, opened for this handle
    std::shared_ptr<FileForms> forms;     // read-only handles of regular files
    std::shared_ptr<const FileForm> form; // what it reads; empty for writers and special files
    // A form shown unchanged whose reads go from the source to the kernel
    // without a copy while the source stays as it was.
    bool spliced = false;
    bool cached = false; // reads through the kernel's page cache, counted in FileForms::cached_handles

    // 0 while the source still holds the bytes the form refers to
    // (unchanged, or only grown), else -EIO, for good.
    int check_source();
    // Whether the source was last found as the form's decision saw it.
    bool unchanged_since_open();

  private:
    std::mutex mutex_;
    SourceStamp verified_; // the source as last found to hold the form's bytes
    bool spoilt_ = false;
    // A form that came back from parking, or whose samples could not be read,
    // has none: the handle takes its own at open, of the bytes its source
    // holds then.
    SourceSample own_sample_;
    const SourceSample& sample() const { return form->sample.taken ? form->sample : own_sample_; }

    friend int open_form(OpenFile& handle, std::shared_ptr<const FileForm> form);
};

// Gives a freshly opened handle the form to read: 0 when the source it opened
// holds that form's bytes, -ESTALE when it changed since the decision.
int open_form(OpenFile& handle, std::shared_ptr<const FileForm> form);
// The stamp of a descriptor's file, or false.
bool stamp_fd(int fd, SourceStamp& stamp);

// A rewrite decision as a caller sees it.
struct LayoutDecision {
    std::shared_ptr<const FileLayout> layout; // empty: shown unchanged
    std::shared_ptr<const FileForm> form;     // empty for anything but a regular file
    // False while the decision is still being made (the source is slow or
    // stalled) or when a read error spoilt it: the answer is provisional and
    // must not be cached by the kernel.
    bool settled = true;
    bool read_failed = false;
};

// The node's decision, made on the analysis pool when the source changed (size,
// modification or change time) or was never decided; waits at most until `wait` after the decision started.
LayoutDecision decide_layout(MirrorNode& node, std::chrono::milliseconds wait);
// Whether the source was last seen to change less than `quiet` ago, by its
// modification time or by two looks that found it different.
bool moved_lately(MirrorNode& node, const FileForm& form, std::chrono::milliseconds quiet);
// The node's layout when the file is shown rewritten, else empty; waits for
// the decision as long as it takes.
std::shared_ptr<const FileLayout> current_layout(MirrorNode& node);
// Where a form changes, the kernel is told to drop what it holds of the old
// one: pages and attributes. Done on the thread set_form_notices starts,
// never inside a request (the kernel may wait for pages that requests in the
// queue hold).
void notify_form_changed(std::uint64_t ino);

} // namespace kov
