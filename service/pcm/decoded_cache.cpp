#include "pcm/decoded_cache.hpp"

#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kov {

std::shared_ptr<const DecodedSegment> DecodedCache::find(std::uint64_t source, std::uint64_t segment)
{
    std::lock_guard lock(mutex_);
    const auto it = index_.find({source, segment});
    if (it == index_.end())
        return nullptr;
    lru_.splice(lru_.begin(), lru_, it->second);
    return it->second->segment;
}

void DecodedCache::erase(std::list<Entry>::iterator it)
{
    held_ -= it->bytes;
    index_.erase(it->key);
    lru_.erase(it);
}

void DecodedCache::put(std::uint64_t source, std::uint64_t segment, std::shared_ptr<const DecodedSegment> decoded)
{
    const std::size_t bytes = decoded->bytes();
    // The old value goes out of scope after the lock is let go: freeing large
    // buffers under it would hold up every other reader.
    std::shared_ptr<const DecodedSegment> old;
    std::list<Entry> evicted;
    {
        std::lock_guard lock(mutex_);
        const Key key{source, segment};
        if (const auto it = index_.find(key); it != index_.end()) {
            old = std::move(it->second->segment);
            erase(it->second);
        }
        lru_.push_front(Entry{key, std::move(decoded), bytes});
        index_.emplace(key, lru_.begin());
        held_ += bytes;
        while (held_ > budget_ && lru_.size() > 1) {
            auto last = std::prev(lru_.end());
            held_ -= last->bytes;
            index_.erase(last->key);
            evicted.splice(evicted.end(), lru_, last);
        }
        recycle(evicted);
    }
}

void DecodedCache::recycle(std::list<Entry>& gone)
{
    for (Entry& e : gone) {
        // Nobody can take a new reference once it is out of the index: when
        // this is the last one, the segment is ours to take apart.
        if (e.segment.use_count() != 1 || e.segment->pcm.capacity() == 0 ||
            spare_bytes_ + e.segment->pcm.capacity() > spare_limit)
            continue;
        auto& pcm = std::const_pointer_cast<DecodedSegment>(e.segment)->pcm;
        spare_bytes_ += pcm.capacity();
        pcm.clear();
        spare_.push_back(std::move(pcm));
    }
}

PcmBytes DecodedCache::buffer(std::size_t bytes)
{
    PcmBytes out;
    {
        std::lock_guard lock(mutex_);
        for (auto it = spare_.begin(); it != spare_.end(); ++it) {
            if (it->capacity() >= bytes && it->capacity() / 2 <= bytes) {
                spare_bytes_ -= it->capacity();
                out = std::move(*it);
                *it = std::move(spare_.back());
                spare_.pop_back();
                break;
            }
        }
    }
    if (out.capacity() < bytes)
        out.reserve(bytes);
    return out;
}

void DecodedCache::drop(std::uint64_t source)
{
    {
        std::list<Entry> dropped;
        std::lock_guard lock(mutex_);
        for (auto it = lru_.begin(); it != lru_.end();) {
            const auto next = std::next(it);
            if (it->key.source == source) {
                held_ -= it->bytes;
                index_.erase(it->key);
                dropped.splice(dropped.end(), lru_, it);
            }
            it = next;
        }
        if (dropped.empty())
            return;
        recycle(dropped);
    }
#if defined(__GLIBC__)
    // Segments are decoded on several threads and let go of on others: the
    // heap keeps what they leave between live blocks unless asked.
    ::malloc_trim(0);
#endif
}

} // namespace kov
