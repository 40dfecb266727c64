#pragma once
// The movie box parts a fragmented source needs redone when its fragments
// become one unfragmented movie: a copied track's box with a sample table
// that lists every sample (from the scan's merged tables) and durations that
// cover them, and a movie header whose duration covers every track. Pure
// computation on bytes in memory.

#include <cstdint>
#include <span>
#include <vector>

#include "media/be_writer.hpp"
#include "media/media_scan.hpp"

namespace kov {

// The sum of the track's sample durations, in its media timescale.
std::uint64_t table_duration(const TrackScan& track);

// The track's duration in the movie timescale (0 without either timescale),
// from its start time on when `from_zero`.
std::uint64_t movie_duration(const TrackScan& track, std::uint32_t movie_timescale, bool from_zero = false);

// The `trak` box `trak` (header included), with an edit list that starts its
// media at the track's start time when that is not 0 and the box has no edit
// list of its own: fragments that start late keep their place in time.
std::vector<std::uint8_t> trak_with_start(std::span<const std::uint8_t> trak, const TrackScan& track,
                                          std::uint32_t movie_timescale);

// Appends the `trak` box `trak` (header included) with the tkhd and mdhd
// durations set from `track`'s tables and its stbl holding its sample
// description and new sample tables; every other box is copied unchanged.
void write_rebuilt_trak(BeWriter& w, std::span<const std::uint8_t> trak, const TrackScan& track,
                        std::uint32_t movie_timescale);

// Appends the `mvhd` box `mvhd` (header included) with its duration set.
void write_mvhd(BeWriter& w, std::span<const std::uint8_t> mvhd, std::uint64_t duration);

} // namespace kov
