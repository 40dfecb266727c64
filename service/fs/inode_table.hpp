#pragma once
// The table of every source object the kernel has looked up, keyed by
// (device, inode) so hard links share one node. The root node lives outside
// the map for the whole process. Worker threads call in concurrently; the
// table mutex guards the map, all lookup counts and the shown numbers.
//
// The inode number a program sees (st_ino, d_ino) is not the source's: shares
// on different filesystems, and a share's root beside the mount root, would
// hand out the same numbers for different files, and tools that copy or walk
// the tree take equal numbers for hard links or loops. Each (device, inode)
// gets a number of its own instead, 1 for the root, kept for the whole run so
// it never changes under a program that remembered it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "fs/mirror_node.hpp"

namespace kov {

class InodeTable {
public:
    InodeTable();

    // The root: an O_PATH directory descriptor (mirror mode) or -1 with
    // identity (0, 0) (shares mode). Resets its lookup count to 2.
    void set_root(int fd, std::uint64_t device, std::uint64_t inode);
    MirrorNode& root() { return *root_; }

    // Takes over `fd`: kept in a new node, or closed when the object is known.
    MirrorNode* find_or_add(int fd, std::uint64_t device, std::uint64_t inode);
    void forget_node(MirrorNode* node, std::uint64_t n);

    // Node ids for the kernel: 1 for the root, otherwise the node's address.
    MirrorNode* node_of(std::uint64_t ino) { return ino == 1 ? root_.get() : reinterpret_cast<MirrorNode*>(ino); }
    std::uint64_t ino_of(const MirrorNode* node) const
    {
        return node == root_.get() ? 1 : reinterpret_cast<std::uintptr_t>(node);
    }

    // The inode number shown for the object (device, inode); assigns one the
    // first time. Never 0, and 1 only for the root.
    std::uint64_t number_of(std::uint64_t device, std::uint64_t inode);

    std::uint64_t lookup_count(const MirrorNode* node) const;
    std::size_t size() const;
    // Frees every node (a mount that ended without the kernel forgetting).
    void clear();

private:
    struct Key {
        std::uint64_t device;
        std::uint64_t inode;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const { return (k.device * 1099511628211ull) ^ k.inode; }
    };

    std::unique_ptr<MirrorNode> root_;
    // Lock order: the table mutex is never held while a node mutex is taken.
    mutable std::mutex mutex_;
    std::unordered_map<Key, std::unique_ptr<MirrorNode>, KeyHash> nodes_;
    // Every object numbered so far; about 50 bytes each, for as long as the
    // service runs.
    std::unordered_map<Key, std::uint64_t, KeyHash> numbers_;
    std::uint64_t next_number_ = 2;

    std::uint64_t number_locked(const Key& key);
};

static_assert(sizeof(MirrorNode*) <= sizeof(std::uint64_t), "node addresses serve as inode numbers");

} // namespace kov
