#include "fs/inode_table.hpp"

#include <unistd.h>

namespace kov {

InodeTable::InodeTable() : root_(std::make_unique<MirrorNode>(-1, 0, 0))
{
    nodes_.max_load_factor(1.0f);
    numbers_.max_load_factor(1.0f);
    root_->number = 1;
}

void InodeTable::set_root(int fd, std::uint64_t device, std::uint64_t inode)
{
    std::lock_guard lock(mutex_);
    root_->fd.reset(fd);
    root_->device = device;
    root_->inode = inode;
    root_->lookups = 2;
    numbers_.clear();
    next_number_ = 2;
    if (fd >= 0)
        numbers_.emplace(Key{device, inode}, 1);
}

std::uint64_t InodeTable::number_locked(const Key& key)
{
    const auto [it, fresh] = numbers_.try_emplace(key, next_number_);
    if (fresh)
        ++next_number_;
    return it->second;
}

std::uint64_t InodeTable::number_of(std::uint64_t device, std::uint64_t inode)
{
    std::lock_guard lock(mutex_);
    return number_locked(Key{device, inode});
}

MirrorNode* InodeTable::find_or_add(int fd, std::uint64_t device, std::uint64_t inode)
{
    std::unique_lock lock(mutex_);
    MirrorNode* node = nullptr;
    if (root_->fd && device == root_->device && inode == root_->inode) {
        node = root_.get();
    } else if (auto it = nodes_.find(Key{device, inode}); it != nodes_.end()) {
        node = it->second.get();
    } else {
        auto fresh = std::make_unique<MirrorNode>(fd, device, inode);
        fresh->number = number_locked(Key{device, inode});
        node = fresh.get();
        nodes_.emplace(Key{device, inode}, std::move(fresh));
        return node;
    }
    ++node->lookups;
    lock.unlock();
    ::close(fd);
    return node;
}

void InodeTable::forget_node(MirrorNode* node, std::uint64_t n)
{
    if (node == nullptr || node == root_.get())
        return;
    std::unique_ptr<MirrorNode> doomed;
    {
        std::lock_guard lock(mutex_);
        if (n < node->lookups) {
            node->lookups -= n;
            return;
        }
        node->lookups = 0;
        auto it = nodes_.find(Key{node->device, node->inode});
        if (it == nodes_.end() || it->second.get() != node)
            return;
        doomed = std::move(it->second);
        nodes_.erase(it);
    }
    // Closing the descriptor and dropping the layout happen outside the lock;
    // a read holding its own layout reference keeps the layout alive.
}

std::uint64_t InodeTable::lookup_count(const MirrorNode* node) const
{
    std::lock_guard lock(mutex_);
    return node->lookups;
}

std::size_t InodeTable::size() const
{
    std::lock_guard lock(mutex_);
    return nodes_.size();
}

void InodeTable::clear()
{
    decltype(nodes_) old;
    std::lock_guard lock(mutex_);
    old.swap(nodes_);
}

} // namespace kov
