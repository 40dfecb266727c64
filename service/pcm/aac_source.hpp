#pragma once
// The decoding source of one AAC track. Its PCM is decoded in segments of
// `segment_units` access units, each from a fresh decoder fed the units just
// before it (segment_decoder.hpp), so every byte is a function of the file
// alone. Decoded segments live in the decoding service's cache; a reader
// going straight through has the next segments decoded ahead by its workers
// (decoding_service.hpp).

#include <cstdint>
#include <memory>

#include "pcm/pcm_track.hpp"

namespace kov {

class DecodingService;

// Access units per segment. The trade: a straight read decodes the pre-roll
// and opens a decoder once per segment; a read at a random place decodes on
// average half a segment plus the pre-roll before its first unit.
constexpr std::uint64_t segment_units = 16;

// The decoding source for the track, sharing the service's decoders, cache,
// budgets and workers (it keeps the service alive), or a silent one when no
// decoder can be set up. Never null. It holds a descriptor only while a read
// or a decode ahead uses one: a layout lives as long as the kernel remembers
// its file, and a listing of a large folder would otherwise keep one open per
// clip.
std::unique_ptr<PcmSource> make_aac_source(DecodingService& service, PcmTrack track);

} // namespace kov
