#pragma once
// One source object the kernel knows: its O_PATH descriptor, identity, lookup
// count and, for a regular file, its rewrite decision. Owned by the
// InodeTable; the kernel refers to it by its address (inode number).

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/unique_fd.hpp"
#include "fs/file_form.hpp"

namespace kov {

struct MirrorNode {
    MirrorNode(int descriptor, std::uint64_t dev, std::uint64_t ino) : fd(descriptor), device(dev), inode(ino) {}
    MirrorNode(const MirrorNode&) = delete;
    MirrorNode& operator=(const MirrorNode&) = delete;

    UniqueFd fd;               // O_PATH | O_NOFOLLOW; empty only for the shares-mode root
    std::uint64_t lookups = 1; // guarded by the table mutex
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t number = 0; // the inode number programs see; see InodeTable

    // The rewrite decision of a regular file, made on first use (see
    // file_form.hpp for who owns it).
    std::atomic<std::shared_ptr<FileForms>> forms;
};

} // namespace kov
