#pragma once
// The codec-neutral sample model: per track, where each sample lies, how long
// it lasts and how it is decoded. Filled from a track's sample tables here, or
// from movie fragments by the fragment reader; nothing downstream knows which.
// A long recording has hundreds of thousands of samples per track, so the list
// is produced on demand rather than held from the scan on.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "media/media_scan.hpp"

namespace kov {

struct MediaSample {
    std::uint64_t offset;            // absolute offset in the source file
    std::uint32_t size;              // bytes
    std::uint32_t duration;          // in the track's media timescale
    std::int32_t composition_offset; // presentation minus decode time
    bool sync;
};

// A track's samples in decode order, at most `limit` of them. Callable from
// any thread, any number of times; owns (or shares) everything it reads.
using SampleList = std::function<std::vector<MediaSample>(std::size_t limit)>;

// Hostile tables can claim billions of samples in a few bytes: no list holds
// more than the file has bytes (a sample is at least one byte) nor more than
// this (over 12 hours of AAC at 96 kHz, 24 at 48 kHz).
constexpr std::uint64_t max_track_samples = 1u << 22;
std::size_t sample_limit(std::uint64_t claimed, std::uint64_t file_size);

// The samples the tables of `track` describe; may be fewer than sample_count
// when the tables run out. Durations past the end of the time-to-sample table
// are 0.
std::vector<MediaSample> table_samples(const TrackScan& track, std::size_t limit);
// The same samples handed one by one, for a caller that keeps less of each
// than the whole list would hold.
void visit_table_samples(const TrackScan& track, std::size_t limit, const std::function<void(const MediaSample&)>& fn);
// How many samples the tables can give at most (what to reserve for them).
std::size_t table_sample_bound(const TrackScan& track, std::size_t limit);

// table_samples over a shared copy of the track's tables, capped for a file of
// `file_size` bytes.
SampleList table_sample_list(std::shared_ptr<const TrackScan> track, std::uint64_t file_size);

} // namespace kov
