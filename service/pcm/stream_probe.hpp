#pragma once
// The stream probe against a given codec binding (pcm_track.hpp has the
// process-wide one).

#include "pcm/codec_library.hpp"
#include "pcm/pcm_track.hpp"

namespace kov {

// Decodes up to the first four units and replaces rate, channels and
// frames_per_unit by what the decoder reports. Does nothing without a decoder.
void probe_stream(const CodecLibrary& lib, int fd, PcmTrack& track);

} // namespace kov
