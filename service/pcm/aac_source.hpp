#pragma once
// Decoder set-up, stream probe and creation of the PCM source of one AAC track.
// The decoding source itself is internal to its implementation file.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "media/access_unit.hpp"
#include "pcm/pcm_source.hpp"

namespace kov {

struct PcmGeometry {
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::uint64_t frames_per_unit = 0;
};

// Decodes up to the first four access units and replaces the guesses in
// `geometry` by what the decoder reports. Does nothing without a decoder.
void probe_stream(int fd, const std::vector<AccessUnit>& units, std::span<const std::uint8_t> asc,
                  PcmGeometry& geometry);

// A decoding source for the track, or a silent one when no decoder can be set
// up. Never returns null. `fd` is borrowed; the source keeps a duplicate.
std::unique_ptr<PcmSource> make_pcm_source(int fd, std::vector<AccessUnit> units, std::span<const std::uint8_t> asc,
                                           const PcmGeometry& geometry, std::uint64_t total_frames);

// Opens and frees one AAC decoder, so that the one-time set-up of libavcodec
// happens now rather than inside the first read. Does nothing without a decoder.
void warm_up_aac_decoder();

} // namespace kov
