#include "fs/inode_table.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace kov {

namespace {

// The cache keeps an eighth of the process limit, within these bounds: room
// for the open files, folders being listed and decisions under way beside
// it, and never more than a walk of any size needs to stay quick.
constexpr std::size_t min_cached_descriptors = 16;
constexpr std::size_t max_cached_descriptors = 1024;

// Deeper than any real tree; a longer chain of parents means a loop.
constexpr std::size_t max_depth = 8192;

// Numbers: (inode << 6) | (device index + 1); see the header.
constexpr unsigned device_bits = 6;
constexpr std::size_t numbered_devices = (1u << device_bits) - 1;
constexpr std::uint64_t numbered_inodes = std::uint64_t{1} << (64 - device_bits);

bool out_of_descriptors(int err)
{
    return err == EMFILE || err == ENFILE;
}

std::unique_ptr<char[]> copy_name(const char* name)
{
    const std::size_t n = std::strlen(name) + 1;
    auto copy = std::make_unique<char[]>(n);
    std::memcpy(copy.get(), name, n);
    return copy;
}

bool is_dot_name(const char* name)
{
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

} // namespace

// ---- NodeSet

std::size_t InodeTable::NodeSet::home(std::uint64_t number) const
{
    std::uint64_t h = number * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    return static_cast<std::size_t>(h) & (slots_.size() - 1);
}

MirrorNode* InodeTable::NodeSet::find(std::uint64_t number) const
{
    if (count_ == 0)
        return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = home(number);; i = (i + 1) & mask) {
        MirrorNode* n = slots_[i];
        if (n == nullptr)
            return nullptr;
        if (n->number == number)
            return n;
    }
}

void InodeTable::NodeSet::resize(std::size_t slots)
{
    std::vector<MirrorNode*> old(slots, nullptr);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (MirrorNode* n : old) {
        if (n == nullptr)
            continue;
        std::size_t i = home(n->number);
        while (slots_[i] != nullptr)
            i = (i + 1) & mask;
        slots_[i] = n;
    }
}

void InodeTable::NodeSet::insert(MirrorNode* node)
{
    if ((count_ + 1) * 4 > slots_.size() * 3)
        resize(std::max<std::size_t>(64, slots_.size() * 2));
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = home(node->number);
    while (slots_[i] != nullptr)
        i = (i + 1) & mask;
    slots_[i] = node;
    ++count_;
}

void InodeTable::NodeSet::erase(const MirrorNode* node)
{
    if (count_ == 0)
        return;
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = home(node->number);
    while (slots_[i] != node) {
        if (slots_[i] == nullptr)
            return;
        i = (i + 1) & mask;
    }
    // Backward shift: every later entry of the run that may live at the
    // hole moves into it, so lookups never stop early at a gap.
    slots_[i] = nullptr;
    for (std::size_t j = (i + 1) & mask; slots_[j] != nullptr; j = (j + 1) & mask) {
        const std::size_t k = home(slots_[j]->number);
        const bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
        if (!stays) {
            slots_[i] = slots_[j];
            slots_[j] = nullptr;
            i = j;
        }
    }
    --count_;
    // Given back when a walk's nodes are forgotten again.
    if (slots_.size() > 64 && count_ * 8 < slots_.size())
        resize(slots_.size() / 2);
}

void InodeTable::NodeSet::clear()
{
    std::vector<MirrorNode*>().swap(slots_);
    count_ = 0;
}

// ---- InodeTable

InodeTable::InodeTable() : root_(std::make_unique<MirrorNode>(1)) {}

InodeTable::~InodeTable()
{
    clear();
}

void InodeTable::set_root(int fd, std::uint64_t device, std::uint64_t inode)
{
    std::lock_guard lock(mutex_);
    root_fd_ = fd >= 0 ? std::make_shared<const UniqueFd>(fd) : nullptr;
    root_device_ = device;
    root_inode_ = inode;
    root_->lookups = 2;
    devices_.clear();
    overflow_.clear();
    next_overflow_ = 1;
    capacity_ = 0;
}

std::uint64_t InodeTable::number_locked(std::uint64_t device, std::uint64_t inode)
{
    if (root_fd_ && device == root_device_ && inode == root_inode_)
        return 1;
    auto at = std::find(devices_.begin(), devices_.end(), device);
    if (at == devices_.end() && devices_.size() < numbered_devices)
        at = devices_.insert(devices_.end(), device);
    const auto index = static_cast<std::uint64_t>(at - devices_.begin());
    if (index < numbered_devices && inode != 0 && inode < numbered_inodes)
        return (inode << device_bits) | (index + 1);
    const auto [it, fresh] = overflow_.try_emplace(OverflowKey{device, inode}, next_overflow_ << device_bits);
    if (fresh)
        ++next_overflow_;
    return it->second;
}

std::uint64_t InodeTable::number_of(std::uint64_t device, std::uint64_t inode)
{
    std::lock_guard lock(mutex_);
    return number_locked(device, inode);
}

std::size_t InodeTable::descriptor_capacity()
{
    std::lock_guard lock(mutex_);
    return capacity_locked();
}

std::size_t InodeTable::capacity_locked()
{
    if (capacity_ == 0) {
        rlimit lim{};
        const rlim_t soft = ::getrlimit(RLIMIT_NOFILE, &lim) == 0 ? lim.rlim_cur : 1024;
        capacity_ = std::clamp<std::size_t>(soft / 8, min_cached_descriptors, max_cached_descriptors);
    }
    return capacity_;
}

HeldFd InodeTable::cached_locked(MirrorNode& node)
{
    if (&node == root_.get())
        return root_fd_;
    if (node.fd_slot != MirrorNode::no_slot) {
        CacheSlot& slot = cache_[node.fd_slot];
        slot.used = true;
        return slot.fd;
    }
    if (!pinned_.empty())
        if (const auto it = pinned_.find(&node); it != pinned_.end())
            return it->second;
    return nullptr;
}

HeldFd InodeTable::cache_locked(MirrorNode& node, UniqueFd fd)
{
    if (HeldFd known = cached_locked(node))
        return known; // another request was quicker; `fd` closes
    auto held = std::make_shared<const UniqueFd>(std::move(fd));
    if (node.parent == root_.get() && !root_fd_) {
        pinned_.emplace(&node, held);
        return held;
    }
    std::size_t at = cache_.size();
    if (cache_.size() < capacity_locked()) {
        cache_.emplace_back();
    } else {
        // Clock: the first slot not used since the hand last passed.
        for (;;) {
            hand_ = (hand_ + 1) % cache_.size();
            CacheSlot& slot = cache_[hand_];
            if (slot.owner == nullptr || !slot.used)
                break;
            slot.used = false;
        }
        at = hand_;
        if (cache_[at].owner != nullptr)
            cache_[at].owner->fd_slot = MirrorNode::no_slot;
    }
    cache_[at] = CacheSlot{&node, held, true};
    node.fd_slot = static_cast<std::uint32_t>(at);
    return held;
}

void InodeTable::shed_descriptors()
{
    std::vector<HeldFd> closing;
    std::lock_guard lock(mutex_);
    for (CacheSlot& slot : cache_) {
        if (slot.owner == nullptr || slot.fd.use_count() > 1)
            continue;
        slot.owner->fd_slot = MirrorNode::no_slot;
        closing.push_back(std::move(slot.fd));
        slot = CacheSlot{};
    }
}

std::size_t InodeTable::cached_descriptors() const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(cache_.begin(), cache_.end(), [](const CacheSlot& s) { return s.owner != nullptr; }));
}

void InodeTable::relocate_locked(MirrorNode& node, MirrorNode& parent, const char* name,
                                 std::vector<std::unique_ptr<MirrorNode>>& doomed)
{
    if (is_dot_name(name) || (node.parent == &parent && std::strcmp(node.name.get(), name) == 0))
        return;
    // Never below itself: a loop of parents could not be walked.
    std::size_t depth = 0;
    for (const MirrorNode* up = &parent; up != nullptr; up = up->parent)
        if (up == &node || ++depth > max_depth)
            return;
    auto fresh = copy_name(name);
    ++parent.children;
    // The old parent loses a child; freed here only when the kernel
    // forgot it already.
    MirrorNode* old = node.parent;
    node.parent = &parent;
    node.name = std::move(fresh);
    if (old != nullptr) {
        --old->children;
        release_locked(old, doomed);
    }
}

MirrorNode* InodeTable::find_or_add(MirrorNode& parent, const char* name, UniqueFd fd, std::uint64_t device,
                                    std::uint64_t inode)
{
    std::vector<std::unique_ptr<MirrorNode>> doomed; // freed after the lock
    std::lock_guard lock(mutex_);
    const std::uint64_t number = number_locked(device, inode);
    if (number == 1) {
        ++root_->lookups;
        return root_.get();
    }
    if (MirrorNode* known = nodes_.find(number)) {
        ++known->lookups;
        relocate_locked(*known, parent, name, doomed);
        cache_locked(*known, std::move(fd));
        return known;
    }
    auto fresh = std::make_unique<MirrorNode>(number);
    fresh->parent = &parent;
    fresh->name = copy_name(name);
    ++parent.children;
    MirrorNode* node = fresh.release();
    nodes_.insert(node);
    cache_locked(*node, std::move(fd));
    return node;
}

void InodeTable::release_locked(MirrorNode* node, std::vector<std::unique_ptr<MirrorNode>>& doomed)
{
    while (node != nullptr && node != root_.get() && node->lookups == 0 && node->children == 0) {
        nodes_.erase(node);
        if (node->fd_slot != MirrorNode::no_slot)
            cache_[node->fd_slot] = CacheSlot{};
        if (!pinned_.empty())
            pinned_.erase(node);
        MirrorNode* up = node->parent;
        doomed.emplace_back(node);
        if (up != nullptr)
            --up->children;
        node = up;
    }
}

void InodeTable::forget_node(MirrorNode* node, std::uint64_t n)
{
    if (node == nullptr || node == root_.get())
        return;
    std::vector<std::unique_ptr<MirrorNode>> doomed;
    {
        std::lock_guard lock(mutex_);
        if (n < node->lookups) {
            node->lookups -= n;
            return;
        }
        node->lookups = 0;
        release_locked(node, doomed);
    }
    // Closing descriptors and dropping layouts happen outside the lock; a
    // read holding its own layout reference keeps the layout alive.
}

void InodeTable::unpin(const std::vector<MirrorNode*>& chain)
{
    std::vector<std::unique_ptr<MirrorNode>> doomed;
    std::lock_guard lock(mutex_);
    for (MirrorNode* n : chain) {
        --n->children;
        release_locked(n, doomed);
    }
}

int InodeTable::open_below(const HeldFd& base, const std::string& name, const MirrorNode& node, UniqueFd& out)
{
    for (int attempt = 0;; ++attempt) {
        const int fd = ::openat(base->get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            out.reset(fd);
            break;
        }
        const int err = errno;
        if (attempt > 0 || !out_of_descriptors(err))
            return -err;
        shed_descriptors();
    }
    struct stat st {};
    if (::fstatat(out.get(), "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) < 0)
        return -errno;
    // The name may lead somewhere else now (replaced, or renamed away and
    // reused): that is not this node.
    if (number_of(st.st_dev, st.st_ino) != node.number)
        return -ESTALE;
    return 0;
}

int InodeTable::descriptor(MirrorNode& node, HeldFd& out)
{
    // The nodes from `node` up to the nearest one with a descriptor, each
    // counted as a child meanwhile so that none is freed while it is opened,
    // and their names as they were.
    std::vector<MirrorNode*> chain;
    std::vector<std::string> names;
    HeldFd base;
    {
        std::lock_guard lock(mutex_);
        if ((out = cached_locked(node)))
            return 0;
        for (MirrorNode* at = &node; !base;) {
            if (at->parent == nullptr || chain.size() > max_depth) {
                for (MirrorNode* n : chain)
                    --n->children; // none can be freed: `node` holds them all
                return -ESTALE;
            }
            ++at->children;
            chain.push_back(at);
            names.emplace_back(at->name.get());
            at = at->parent;
            base = cached_locked(*at);
        }
    }
    int rc = 0;
    for (std::size_t i = chain.size(); i-- > 0 && rc == 0;) {
        UniqueFd fd;
        rc = open_below(base, names[i], *chain[i], fd);
        if (rc == 0) {
            std::lock_guard lock(mutex_);
            base = cache_locked(*chain[i], std::move(fd));
        }
    }
    unpin(chain);
    if (rc < 0)
        return rc;
    out = std::move(base);
    return 0;
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
    std::vector<std::unique_ptr<MirrorNode>> doomed;
    std::vector<CacheSlot> cache;
    std::unordered_map<const MirrorNode*, HeldFd> pinned;
    std::lock_guard lock(mutex_);
    nodes_.for_each([&](MirrorNode* n) { doomed.emplace_back(n); });
    nodes_.clear();
    cache.swap(cache_);
    pinned.swap(pinned_);
    hand_ = 0;
}

} // namespace kov
