#pragma once
// Builds the movie box of a rewritten file from the source's movie box and the
// rewrite plan: every child in its place, converted tracks replaced by their
// PCM tracks, and only what would now be wrong left out. Reads the parts it
// keeps through a positional reader; used by build_layout.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "media/media_scan.hpp"
#include "media/track_plan.hpp"

namespace kov {

struct BuiltMoov {
    std::vector<std::uint8_t> bytes;
    // Where each PCM track's 64-bit chunk offset goes, in track order.
    std::vector<std::size_t> chunk_offset_at;
};

// The movie timescale in one whole mvhd box, 0 when it has none.
std::uint32_t movie_timescale_of(std::span<const std::uint8_t> mvhd);
// The movie timescale of a whole movie box (the last mvhd decides).
std::uint32_t movie_timescale(std::span<const std::uint8_t> source_moov);

// The new movie box from the children of the source's movie box the scan
// listed, read through `read_bytes` (the last mvhd gives the movie timescale);
// `plans` has one entry per track of `scan`. Nothing when a box cannot be read
// or a converted track's box is not where the scan saw it, or when the result
// would not fit a 32-bit box size.
std::optional<BuiltMoov> build_moov(const ReadAtFn& read_bytes, const MediaScan& scan,
                                    const std::vector<TrackPlan>& plans);

} // namespace kov
