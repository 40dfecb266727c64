#pragma once
// One source object the kernel knows: its O_PATH descriptor, identity, lookup
// count and the cached decision whether it is shown rewritten. Owned by the
// InodeTable; the kernel refers to it by its address (inode number).

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/unique_fd.hpp"
#include "media/file_layout.hpp"

namespace kov {

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

// A rewrite decision running on the analysis pool. Shared by the node, the
// pool thread and whoever waits for it, so a node the kernel forgets meanwhile
// leaves nothing dangling.
struct PendingDecision {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false; // guarded by mutex, with the two below
    std::shared_ptr<const FileLayout> layout;
    bool read_failed = false;
    SourceStamp stamp; // set before the decision starts, never changed
};

struct MirrorNode {
    MirrorNode(int descriptor, std::uint64_t dev, std::uint64_t ino) : fd(descriptor), device(dev), inode(ino) {}
    MirrorNode(const MirrorNode&) = delete;
    MirrorNode& operator=(const MirrorNode&) = delete;

    UniqueFd fd;               // O_PATH | O_NOFOLLOW; empty only for the shares-mode root
    std::uint64_t lookups = 1; // guarded by the table mutex
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t number = 0; // the inode number programs see; see InodeTable

    // Guards the fields below. Taken after, never while holding, the table
    // mutex; held only to look at or store a decision, never while the
    // source is read and never while replying.
    std::mutex mutex;
    LayoutState state = LayoutState::undecided;
    std::shared_ptr<const FileLayout> layout; // set only when rewritten
    SourceStamp stamp;                         // the source when last examined
    std::shared_ptr<PendingDecision> pending;  // a decision being made for `stamp`
    std::uint32_t readers = 0; // read-only handles open (op_open, op_release)
};

} // namespace kov
