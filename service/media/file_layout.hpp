#pragma once
// The rewritten form of one media file with AAC tracks: an ordered list of
// regions (source ranges, four-byte overlays, in-memory boxes and one PCM
// stream per converted track, produced on demand). Immutable once built;
// shared read-only between threads (each PCM source locks for itself).

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/media_scan.hpp"
#include "pcm/pcm_source.hpp"

namespace kov {

class DecodingService;

struct LayoutRegion {
    enum class Kind : std::uint8_t {
        source,  // the source's bytes at the same offset
        overlay, // four bytes that read differently from the source's
        bytes,   // one of the layout's in-memory blocks
        pcm,     // one of the layout's PCM streams
    };
    std::uint64_t start = 0; // in the rewritten file
    std::uint64_t size = 0;
    Kind kind = Kind::source;
    std::uint32_t index = 0;               // bytes: which block; pcm: which stream
    std::array<std::uint8_t, 4> overlay{}; // overlay: the bytes
};

// The PCM of one converted track.
struct PcmStream {
    std::uint32_t track_id = 0;
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::uint32_t bits = 16; // 16: little-endian; 24: big-endian
    std::uint64_t frames = 0;
    std::uint64_t offset = 0; // where its region starts in the rewritten file
    std::uint64_t size = 0;   // frames * channels * bytes per sample
    std::unique_ptr<PcmSource> source;
};

struct FileLayout {
    std::uint64_t total_size = 0;
    std::uint64_t source_size = 0;
    // Back to back from 0 to total_size, in order.
    std::vector<LayoutRegion> regions;
    // The new movie box, then the media data header.
    std::vector<std::vector<std::uint8_t>> blocks;
    std::vector<PcmStream> streams; // in track order

    // Produces bytes [offset, offset+length) of the rewritten file into dest,
    // reading source bytes through `fd` (borrowed). Returns the count placed
    // (short only at the end of the file) or a negative errno when source
    // bytes or PCM could not be read. Allocates nothing.
    std::int64_t read_at(int fd, std::uint8_t* dest, std::uint64_t length, std::uint64_t offset) const;

    // True when the range's bytes are exactly the source file's at the same
    // offset, so a caller may serve it straight from the source.
    bool is_plain_source_range(std::uint64_t offset, std::uint64_t length) const;

    // The region holding `offset` (regions.size() at or past the end).
    std::size_t region_at(std::uint64_t offset) const;
};

// Builds the layout of the file open on `fd` (borrowed) from its analysis, or
// nothing when the file cannot be rewritten. Its PCM sources come from
// `decoding`, which they keep alive. The layout takes over the sample
// tables of the tracks it converts: pass the analysis on with std::move when
// it is not needed afterwards, rather than copying it.
std::unique_ptr<FileLayout> build_layout(int fd, MediaScan scan, DecodingService& decoding);

// The same layout as a system without libavcodec gets: geometry from the
// sample description alone and silent PCM. For callers that must not decode
// (the fuzzer).
std::unique_ptr<FileLayout> build_silent_layout(int fd, MediaScan scan);


} // namespace kov
