#pragma once
// Decoding one segment: a fixed run of access units, decoded by a freshly
// opened decoder that is first fed the few units before the segment (the
// pre-roll) and whose output for them is thrown away. What a segment decodes
// to depends on the file alone, never on what was read before or how: that
// is what makes every read of a byte give the same value.

#include <cstddef>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <semaphore>
#include <span>
#include <vector>

#include "pcm/codec_library.hpp"
#include "pcm/unit_table.hpp"

namespace kov {

// Allocates whole pages straight from the kernel. Decoded audio lives long and
// comes and goes in large blocks while decoders come and go in between; in
// one heap the decoders' holes stayed between live segments and the heap
// grew to twice what was in use.
template <class T> struct PageAllocator {
    using value_type = T;
    PageAllocator() = default;
    template <class U> PageAllocator(const PageAllocator<U>&) noexcept {}
    T* allocate(std::size_t n)
    {
        void* p = ::mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept { ::munmap(p, n * sizeof(T)); }
    template <class U> bool operator==(const PageAllocator<U>&) const noexcept { return true; }
};

using PcmBytes = std::vector<std::uint8_t, PageAllocator<std::uint8_t>>;

// The output of units first_unit, first_unit + 1, ... of one segment.
struct DecodedSegment {
    std::uint64_t first_unit = 0;
    std::vector<std::uint32_t> frames; // per unit: frames it fills, from its start
    std::vector<std::uint64_t> at;     // per unit: where its PCM starts in pcm
    PcmBytes pcm;                      // interleaved samples (see SegmentInput::bits), unit after unit
    bool complete = false;             // every unit of the segment is here

    std::uint64_t units() const { return frames.size(); }
    std::size_t bytes() const;
};

class DecodingService;

// Bounds on decoding at once, across every source of a decoding service.
struct DecodeGates {
    // Segments decoded at once. Each holds a decoder (about 600 KiB) and its
    // buffers; without a bound every filesystem thread with a read in flight
    // decoded beside the workers (four readers at once: 50 decodes, 200 MiB
    // resident). Two cores are busy with far fewer; the rest are for the
    // reads of a slow source, which the workers already cover.
    static constexpr std::ptrdiff_t decodes_at_once = 12;
    // Units of damaged streams fed to decoders at once: each may make its
    // decoder allocate up to 64 channel elements before it is replaced.
    static constexpr std::ptrdiff_t damaged_feeds_at_once = 2;

    std::counting_semaphore<decodes_at_once> decodes{decodes_at_once};
    std::counting_semaphore<damaged_feeds_at_once> damaged_feeds{damaged_feeds_at_once};
};

struct SegmentInput {
    DecodingService& service;
    int fd;
    const UnitTable& table;
    std::span<const std::uint8_t> asc; // the extradata
    Codec codec;                       // only AAC decoders come from the stock
    std::uint32_t channels;
    std::uint32_t bits; // per output sample (see convert_samples)
    std::uint32_t rate;
    std::uint32_t frames_per_unit;
    std::uint64_t preroll; // units fed before the segment's first
    bool wait_for_stock;   // wait for a decoder the stock is opening rather than open one
    bool reusable;         // used decoders may be reset for this stream (plain AAC-LC)
    // Set once a unit of the stream has been found damaged: its units are then
    // fed to decoders only a few at a time in the whole service (see
    // decode_segment). May be null for a one-off decode.
    std::atomic<bool>* damaged = nullptr;
};

// Decodes units [first, through] (through < table size) into `out`, from a
// fresh decoder fed the pre-roll first. A used decoder reset to a fresh one's
// state serves instead when the whole pre-roll is there and decodes cleanly;
// otherwise the segment is decoded again with a freshly opened one. A unit that is empty, damaged, past
// the end of the file or refused by the decoder fills nothing (its frames are
// silence); after a refused unit large enough to have made the decoder grow,
// a fresh decoder decodes on. Returns 0, or -EIO when the bytes of a unit could not be read or
// no decoder could be had; then `out` holds nothing of use.
int decode_segment(const SegmentInput& in, std::uint64_t first, std::uint64_t through, DecodedSegment& out);

// Asks the kernel to start reading the bytes of units [first, through] now,
// so that a slow source works on several at once.
void prefetch_units(int fd, const UnitTable& table, std::uint64_t first, std::uint64_t through);

} // namespace kov
