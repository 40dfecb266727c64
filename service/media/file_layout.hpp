#pragma once
// The rewritten form of one AAC media file: the source with a few four-byte
// overlays, then a new movie box, a media data header and PCM produced on
// demand. Immutable once built; shared read-only between threads (the PCM
// source locks for itself).

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/media_scan.hpp"
#include "pcm/pcm_source.hpp"

namespace kov {

// Four source bytes that read differently in the rewritten file.
struct ByteOverlay {
    std::uint64_t offset = 0;
    std::array<std::uint8_t, 4> bytes{};
};

struct FileLayout {
    std::uint64_t total_size = 0;
    std::uint64_t source_size = 0;
    std::uint64_t overlay_offset = 0; // the old movie box's type, which reads "free"
    std::vector<std::uint8_t> moov_bytes;
    std::uint64_t moov_offset = 0;
    std::vector<std::uint8_t> mdat_header;
    std::uint64_t mdat_header_offset = 0;
    std::uint64_t pcm_offset = 0;
    std::uint64_t pcm_size = 0;
    std::uint64_t frames = 0;
    std::uint32_t channels = 0;
    std::uint32_t rate = 0;
    std::unique_ptr<PcmSource> source;
    // Every overlay in the source region, sorted by offset and disjoint. Holds
    // the "free" at overlay_offset, "free" over any other top-level movie box,
    // and the real size of a last top-level box that declared size 0 (it
    // would otherwise swallow the appended boxes).
    std::vector<ByteOverlay> overlays;

    // Produces bytes [offset, offset+length) of the rewritten file into dest,
    // reading source bytes through `fd` (borrowed). Returns the count placed
    // (short only at the end of the file) or a negative errno when a source
    // read failed (-EIO for the source bytes under the PCM).
    // Allocates nothing.
    std::int64_t read_at(int fd, std::uint8_t* dest, std::uint64_t length, std::uint64_t offset) const;

    // True when the range's bytes are exactly the source file's at the same
    // offset, so a caller may serve it straight from the source.
    bool is_plain_source_range(std::uint64_t offset, std::uint64_t length) const;
};

// Builds the layout of the file open on `fd` (borrowed) from its analysis, or
// nothing when the file cannot be rewritten.
std::unique_ptr<FileLayout> build_layout(int fd, const MediaScan& scan);

// The same layout as a system without libavcodec gets: geometry from the
// sample description alone and silent PCM. For callers that must not decode
// (the fuzzer).
std::unique_ptr<FileLayout> build_silent_layout(int fd, const MediaScan& scan);

} // namespace kov
