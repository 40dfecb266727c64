#pragma once
// The stream probe: what a decoder makes of a track's first few units.

#include "pcm/pcm_track.hpp"

namespace kov {

class DecodingService;

// Decodes up to the first four units and replaces rate, channels and
// frames_per_unit by what the decoder reports. Does nothing without a decoder.
void probe_stream(DecodingService& service, int fd, PcmTrack& track);

} // namespace kov
