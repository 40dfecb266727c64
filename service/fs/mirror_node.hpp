#pragma once
// One source object the kernel knows: its O_PATH descriptor, identity, lookup
// count and the cached decision whether it is shown rewritten. Owned by the
// InodeTable; the kernel refers to it by its address (inode number).

#include <cstdint>
#include <memory>
#include <mutex>

#include "common/unique_fd.hpp"
#include "media/file_layout.hpp"

namespace kov {

enum class LayoutState { undecided = 0, pass_through = 1, rewritten = 2 };

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
    // mutex; held while a layout is built, never while replying.
    std::mutex mutex;
    LayoutState state = LayoutState::undecided;
    std::shared_ptr<const FileLayout> layout; // set only when rewritten
    std::int64_t cached_size = 0;
    std::int64_t cached_mtime_sec = 0;
    std::int64_t cached_mtime_nsec = 0;
    std::uint32_t readers = 0; // read-only handles open (op_open, op_release)
};

} // namespace kov
