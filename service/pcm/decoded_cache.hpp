#pragma once
// The decoded segments of every source of the process, under one budget: the
// least recently used go first when a new one would exceed it.

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "pcm/segment_decoder.hpp"

namespace kov {

class DecodedCache {
  public:
    // Decoded PCM kept for the whole process: about six minutes of stereo at
    // 48 kHz. The one place this is set.
    static constexpr std::size_t process_budget = 64u << 20;

    // The process's cache. Never destroyed.
    static DecodedCache& instance();

    explicit DecodedCache(std::size_t budget) : budget_(budget) {}

    // The segment of this source, or nothing; counts as a use.
    std::shared_ptr<const DecodedSegment> find(std::uint64_t source, std::uint64_t segment);
    // Keeps the segment (replacing what was kept for it), then lets go of the
    // least recently used ones beyond the budget, never the one just kept.
    void put(std::uint64_t source, std::uint64_t segment, std::shared_ptr<const DecodedSegment> decoded);
    // Lets go of every segment of the source.
    void drop(std::uint64_t source);
    // Bytes kept now.
    std::size_t held();

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

    // Taken after a source's own mutex, never before it; nothing else is
    // taken while it is held.
    std::mutex mutex_;
    std::size_t budget_;
    std::size_t held_ = 0;
    std::list<Entry> lru_; // most recently used first
    std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> index_;
};

} // namespace kov
