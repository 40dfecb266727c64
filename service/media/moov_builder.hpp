#pragma once
// Builds the movie box of a rewritten file from the source's movie box: the
// source's mvhd, its tracks that are not AAC, one new PCM track and its udta.
// Pure computation on bytes in memory; used by build_layout.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "media/box_header.hpp"
#include "media/media_scan.hpp"

namespace kov {

// One child box of a container: its type (four raw bytes, big-endian), where
// it starts inside the container and its total size, header included.
struct BoxEntry {
    std::uint32_t type = 0;
    std::size_t offset = 0;
    std::uint64_t size = 0;
    std::size_t header = 8;
};

// The children of the box that fills `box`, walked with the usual header
// rule; the list ends at the first child that is too short or runs past the
// end of its parent.
std::vector<BoxEntry> list_children(std::span<const std::uint8_t> box);

struct PcmTrackParams {
    std::uint32_t track_id = 0;
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::uint64_t frames = 0;
    std::uint32_t media_timescale = 0; // of the AAC track, for the edit list
};

struct BuiltMoov {
    std::vector<std::uint8_t> bytes;
    std::size_t chunk_offset_at = 0; // where the 64-bit PCM chunk offset goes
};

// The movie timescale of the source movie box (the last mvhd decides), 0 when
// there is none.
std::uint32_t movie_timescale(std::span<const std::uint8_t> source_moov);

// The new movie box. `selected` indexes scan.tracks: the track the PCM is made
// from. Nothing when the result would not fit a 32-bit box size.
std::optional<BuiltMoov> build_moov(std::span<const std::uint8_t> source_moov, const MediaScan& scan,
                                    std::size_t selected, const PcmTrackParams& pcm);

} // namespace kov
