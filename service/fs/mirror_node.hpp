#pragma once
// One source object the kernel knows: its identity, lookup count, where it is
// reached again (the folder and name it was last looked up as) and, for a
// regular file, its rewrite decision. Owned by the InodeTable; the kernel
// refers to it by its address (inode number). A node holds no descriptor of
// its own: the table lends one out while a request needs it.

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/unique_fd.hpp"
#include "fs/file_form.hpp"

namespace kov {

// An O_PATH descriptor lent out by the InodeTable: it stays open while a
// request holds it, even when the table lets go of it meanwhile.
using HeldFd = std::shared_ptr<const UniqueFd>;

// The stamp of a file shown unchanged whose decision state was parked (see
// parked_forms.hpp); size -1: none.
struct ParkedStamp {
    std::int64_t size = -1;
    std::int64_t mtime_sec = 0, ctime_sec = 0;
    std::uint32_t mtime_nsec = 0, ctime_nsec = 0;
};

struct MirrorNode {
    explicit MirrorNode(std::uint64_t shown_number) : number(shown_number) {}
    MirrorNode(const MirrorNode&) = delete;
    MirrorNode& operator=(const MirrorNode&) = delete;

    static constexpr std::uint32_t no_slot = UINT32_MAX;

    // The inode number programs see. Made from the source's (device, inode)
    // and never changed, so it is also the node's key; see InodeTable.
    std::uint64_t number = 0;
    // Guarded by the table mutex, up to `forms`.
    std::uint64_t lookups = 1;
    // The folder and name it was last looked up as; the parent stays in the
    // table while any node names it here (its `children`).
    MirrorNode* parent = nullptr;
    std::unique_ptr<char[]> name;
    std::uint32_t children = 0;      // nodes whose parent this is, and reaches under way
    std::uint32_t fd_slot = no_slot; // its descriptor in the table's cache, if any

    // The rewrite decision of a regular file, made on first use (see
    // file_form.hpp for who owns it), or what of it was parked.
    std::atomic<std::shared_ptr<FileForms>> forms;
    ParkedStamp parked;
};

} // namespace kov
