#pragma once
// The table of every source object the kernel has looked up, keyed by the
// number made from (device, inode) so hard links share one node, and the
// descriptors through
// which they are reached. The root node lives outside the set for the whole
// process. Worker threads call in concurrently; the table mutex guards the
// set, the descriptor cache, and every node's lookup count, parent, name and
// cache slot.
//
// A node keeps no descriptor for its whole life: a tree of millions of files
// would run the process out of them, and listings would lose names. A
// bounded cache holds the descriptors of the nodes used last (well under the
// process limit); any other node is opened again below the nearest ancestor
// that has one, by name, and must still be the same (device, inode). The
// shares' own folders (children of the shares root) keep theirs, since no
// name leads to them.
//
// The inode number a program sees (st_ino, d_ino) is not the source's: shares
// on different filesystems, and a share's root beside the mount root, would
// hand out the same numbers for different files, and tools that copy or walk
// the tree take equal numbers for hard links or loops. The number is made
// from the source's inode and a small index of its device, so it is the same
// for the whole run without remembering every file ever seen: 1 for the root,
// otherwise (inode << 6) | (device index + 1). The rare objects this cannot
// number (a 64th device, inodes from 2^58) get numbers with the low six bits
// clear from a counter, remembered in a map.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/mirror_node.hpp"

namespace kov {

class InodeTable {
public:
    InodeTable();
    ~InodeTable();
    InodeTable(const InodeTable&) = delete;
    InodeTable& operator=(const InodeTable&) = delete;

    // The root: an O_PATH directory descriptor (mirror mode) or -1 with
    // identity (0, 0) (shares mode). Resets its lookup count to 2.
    void set_root(int fd, std::uint64_t device, std::uint64_t inode);
    MirrorNode& root() { return *root_; }

    // Counts one lookup on the node of (device, inode), found as `name` in
    // `parent`, and takes over `fd` (an O_PATH descriptor of it) for the
    // cache. Where the node was known under another name, that is where it
    // is reached from now on.
    MirrorNode* find_or_add(MirrorNode& parent, const char* name, UniqueFd fd, std::uint64_t device,
                            std::uint64_t inode);
    void forget_node(MirrorNode* node, std::uint64_t n);

    // An O_PATH descriptor of the node: 0, or -errno (-ESTALE when its name
    // now leads to another object). Runs out of descriptors only when the
    // process has none left even after the cache let go of its own.
    int descriptor(MirrorNode& node, HeldFd& out);
    // Closes every cached descriptor no request holds (the process ran out).
    void shed_descriptors();
    // How many descriptors the cache keeps at most; from the process limit
    // the first time it is needed after set_root.
    std::size_t descriptor_capacity();

    // Node ids for the kernel: 1 for the root, otherwise the node's address.
    MirrorNode* node_of(std::uint64_t ino) { return ino == 1 ? root_.get() : reinterpret_cast<MirrorNode*>(ino); }
    std::uint64_t ino_of(const MirrorNode* node) const
    {
        return node == root_.get() ? 1 : reinterpret_cast<std::uintptr_t>(node);
    }

    // The inode number shown for the object (device, inode). Never 0, and 1
    // only for the root.
    std::uint64_t number_of(std::uint64_t device, std::uint64_t inode);

    std::uint64_t lookup_count(const MirrorNode* node) const;
    std::size_t size() const;
    std::size_t cached_descriptors() const;
    // Frees every node (a mount that ended without the kernel forgetting).
    void clear();

private:
    // Open addressing over node pointers, keyed by the nodes' own numbers: a
    // slot of 8 bytes per node and no allocation of its own.
    class NodeSet {
    public:
        MirrorNode* find(std::uint64_t number) const;
        void insert(MirrorNode* node);
        void erase(const MirrorNode* node);
        std::size_t size() const { return count_; }
        template <class F> void for_each(F f) const
        {
            for (MirrorNode* n : slots_)
                if (n != nullptr)
                    f(n);
        }
        void clear();

    private:
        std::size_t home(std::uint64_t number) const;
        void resize(std::size_t slots);
        std::vector<MirrorNode*> slots_;
        std::size_t count_ = 0;
    };

    struct CacheSlot {
        MirrorNode* owner = nullptr;
        HeldFd fd;
        bool used = false; // since the clock hand last passed
    };

    struct OverflowKey {
        std::uint64_t device, inode;
        bool operator==(const OverflowKey&) const = default;
    };
    struct OverflowHash {
        std::size_t operator()(const OverflowKey& k) const noexcept { return (k.device * 1099511628211ull) ^ k.inode; }
    };

    std::unique_ptr<MirrorNode> root_;
    HeldFd root_fd_;
    std::uint64_t root_device_ = 0, root_inode_ = 0;
    // Lock order: the table mutex is never held while a node mutex is taken.
    mutable std::mutex mutex_;
    NodeSet nodes_;
    std::vector<CacheSlot> cache_;
    std::size_t hand_ = 0;
    std::size_t capacity_ = 0; // 0: not yet taken from the process limit
    std::unordered_map<const MirrorNode*, HeldFd> pinned_; // the shares' folders
    std::vector<std::uint64_t> devices_;                  // index + 1 goes into numbers
    std::unordered_map<OverflowKey, std::uint64_t, OverflowHash> overflow_;
    std::uint64_t next_overflow_ = 1;

    std::uint64_t number_locked(std::uint64_t device, std::uint64_t inode);
    HeldFd cached_locked(MirrorNode& node);
    HeldFd cache_locked(MirrorNode& node, UniqueFd fd);
    std::size_t capacity_locked();
    void relocate_locked(MirrorNode& node, MirrorNode& parent, const char* name,
                         std::vector<std::unique_ptr<MirrorNode>>& doomed);
    void release_locked(MirrorNode* node, std::vector<std::unique_ptr<MirrorNode>>& doomed);
    void unpin(const std::vector<MirrorNode*>& chain);
    int open_below(const HeldFd& base, const std::string& name, const MirrorNode& node, UniqueFd& out);
};

static_assert(sizeof(MirrorNode*) <= sizeof(std::uint64_t), "node addresses serve as inode numbers");

} // namespace kov
