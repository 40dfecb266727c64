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

// A rewrite decision running on the analysis pool. Shared by the decision
// state, the pool thread and whoever waits for it.
struct PendingDecision {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false; // guarded by mutex, with the two below
    std::shared_ptr<const FileLayout> layout;
    bool read_failed = false;
    SourceStamp stamp; // set before the decision starts, never changed
};

// The decision state of one regular file.
struct FileForms {
    // Guards the fields below. Taken after, never while holding, the table
    // mutex; held only to look at or store a decision, never while the
    // source is read and never while replying.
    std::mutex mutex;
    LayoutState state = LayoutState::undecided;
    std::shared_ptr<const FileLayout> layout; // set only when rewritten
    SourceStamp stamp;                         // the source when last examined
    std::shared_ptr<PendingDecision> pending;  // a decision being made for `stamp`
    std::uint32_t readers = 0;                 // read-only handles open
};

// The node's decision state, made on first use. Only for regular files.
std::shared_ptr<FileForms> forms_of(MirrorNode& node);

// One open file, kept in fh from open or create to release.
struct OpenFile {
    UniqueFd fd;                       // the source, opened for this handle
    std::shared_ptr<FileForms> forms;  // read-only handles of regular files: counted in forms->readers
};

// A rewrite decision as a caller sees it.
struct LayoutDecision {
    std::shared_ptr<const FileLayout> layout; // empty: shown unchanged
    // False while the decision is still being made (the source is slow or
    // stalled) or when a read error spoilt it: the answer is provisional and
    // must not be cached by the kernel.
    bool settled = true;
    bool read_failed = false;
};

// The node's decision, made on the analysis pool when the source changed (size,
// modification or change time) or was never decided; waits at most `wait`.
LayoutDecision decide_layout(MirrorNode& node, std::chrono::milliseconds wait);
// The node's layout when the file is shown rewritten, else empty; waits for
// the decision as long as it takes.
std::shared_ptr<const FileLayout> current_layout(MirrorNode& node);
// For a read through `fd` (an open handle of the node): 0 with the layout to
// read (empty for a file shown unchanged), decided again when the source of a
// rewritten file changed since its decision; -EIO when it changed so that it
// is no longer shown rewritten, since the file the reader opened is gone.
int layout_for_read(MirrorNode& node, int fd, std::shared_ptr<const FileLayout>& layout);

} // namespace kov
