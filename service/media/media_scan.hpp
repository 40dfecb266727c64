#pragma once
// The analysis of one candidate media file: whether it is ISO BMFF, where its
// movie box lies, and per track what the rewrite needs. Plain values with no
// shared state; scan_media only uses positional reads, so any thread may call it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "media/access_unit.hpp"

namespace kov {

struct TimeToSample {
    std::uint32_t count = 0;
    std::uint32_t delta = 0;
};

struct SampleToChunk {
    std::uint32_t first_chunk = 0;
    std::uint32_t samples_per_chunk = 0;
    std::uint32_t description_index = 0;
};

struct TrackScan {
    std::uint32_t track_id = 0;
    std::string handler;
    std::string format;
    std::uint32_t timescale = 0;
    std::uint64_t duration = 0;
    std::uint16_t channels = 0;
    std::uint16_t bits = 0;
    std::uint32_t sample_rate = 0;
    std::vector<std::uint8_t> asc;
    std::uint32_t asc_rate = 0;
    std::uint32_t asc_channels = 0;
    bool sbr = false;
    std::uint64_t sample_count = 0;
    std::uint32_t uniform_size = 0;
    std::vector<std::uint32_t> sample_sizes;
    std::vector<TimeToSample> time_to_sample;
    std::vector<SampleToChunk> sample_to_chunk;
    std::vector<std::uint64_t> chunk_offsets;
    bool aac = false;
};

struct MediaScan {
    bool is_bmff = false;
    bool has_aac = false;
    bool fragmented = false;
    std::uint64_t file_size = 0;
    std::uint64_t moov_offset = 0;
    std::uint64_t moov_size = 0;
    std::vector<TrackScan> tracks;
};

// Analyses the file open on `fd` (borrowed). Never reads media data.
MediaScan scan_media(int fd);

// Reads up to `length` bytes at `offset` into `dest`; returns the count read
// (short only at the end of the file) or -1 on failure.
using ReadAtFn = std::function<std::int64_t(std::uint64_t offset, std::uint8_t* dest, std::size_t length)>;

// The same analysis of a regular file of `file_size` bytes over any positional
// reader (scan_media is this over pread): one call per top-level box header and
// one for the movie box.
MediaScan scan_media_from(std::uint64_t file_size, const ReadAtFn& read_bytes);

// The access units of one track, in sample order; may be shorter than
// sample_count when the tables run out.
std::vector<AccessUnit> build_access_units(const TrackScan& track);

} // namespace kov
