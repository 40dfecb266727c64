#pragma once
// The movie box parts a fragmented source needs redone when its fragments
// become one unfragmented movie: a copied track's box with a sample table
// that lists every sample (from the scan's merged tables) and durations that
// cover them, and a movie header whose duration covers every track. Pure
// computation on bytes in memory.

#include <cstdint>
#include <span>

#include "media/be_writer.hpp"
#include "media/media_scan.hpp"

namespace kov {

// The sum of the track's sample durations, in its media timescale.
std::uint64_t table_duration(const TrackScan& track);

// The track's duration in the movie timescale (0 without either timescale).
std::uint64_t movie_duration(const TrackScan& track, std::uint32_t movie_timescale);

// Appends the `trak` box `trak` (header included) with the tkhd and mdhd
// durations set from `track`'s tables and its stbl holding its sample
// description and new sample tables; every other box is copied unchanged.
void write_rebuilt_trak(BeWriter& w, std::span<const std::uint8_t> trak, const TrackScan& track,
                        std::uint32_t movie_timescale);

// Appends the `mvhd` box `mvhd` (header included) with its duration set.
void write_mvhd(BeWriter& w, std::span<const std::uint8_t> mvhd, std::uint64_t duration);

} // namespace kov
