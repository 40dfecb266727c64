#pragma once
// The decoded segments of every source of one decoding service, under one
// budget: the least recently used go first when a new one would exceed it.

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "pcm/segment_decoder.hpp"

namespace kov {

class DecodedCache {
  public:
    // Decoded PCM kept for a mount: about a minute and a half of
    // stereo at 48 kHz, far more than the segments decoded ahead of four
    // readers (3 MiB); the kernel's page cache keeps what was read. The one
    // place this is set. Beyond it the process holds its libraries (about
    // 18 MiB), decoders in use, ready and reset (0.6 MiB each), unit tables
    // (see TableBudget), the filesystem's request buffers and what the heap
    // cannot hand back between blocks: with 16 MiB four readers of six-track
    // recordings stay under 96 MiB.
    static constexpr std::size_t default_budget = 16u << 20;

    explicit DecodedCache(std::size_t budget) : budget_(budget) {}

    // The segment of this source, or nothing; counts as a use.
    std::shared_ptr<const DecodedSegment> find(std::uint64_t source, std::uint64_t segment);
    // Keeps the segment (replacing what was kept for it), then lets go of the
    // least recently used ones beyond the budget, never the one just kept.
    void put(std::uint64_t source, std::uint64_t segment, std::shared_ptr<const DecodedSegment> decoded);
    // Lets go of every segment of the source, and hands the memory back to
    // the system.
    void drop(std::uint64_t source);

    // An empty buffer for a segment's PCM, with room for about `bytes` when a
    // segment let go of lately had it. Reusing them keeps the process's heap
    // from fragmenting when segments are decoded on one thread and let go of
    // on another.
    PcmBytes buffer(std::size_t bytes);

  private:
    struct Key {
        std::uint64_t source;
        std::uint64_t segment;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const noexcept
        {
            return std::hash<std::uint64_t>()(k.source * 0x9e3779b97f4a7c15ull ^ k.segment);
        }
    };
    struct Entry {
        Key key;
        std::shared_ptr<const DecodedSegment> segment;
        std::size_t bytes;
    };

    void erase(std::list<Entry>::iterator it);
    // Keeps the PCM buffers of segments nobody else holds for reuse; the
    // caller lets go of the list after the lock.
    void recycle(std::list<Entry>& gone);

    // PCM buffers kept for reuse, at most this much.
    static constexpr std::size_t spare_limit = 4u << 20;

    // Taken after a source's own mutex or alone, never before it; nothing
    // else is taken while it is held.
    std::mutex mutex_;
    std::size_t budget_;
    std::size_t held_ = 0;
    std::list<Entry> lru_; // most recently used first
    std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> index_;
    std::vector<PcmBytes> spare_;
    std::size_t spare_bytes_ = 0;
};

} // namespace kov
