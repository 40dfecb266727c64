#include "pcm/codec_decoding.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/pcm_track.hpp"

namespace kov {

namespace {

// A Layer III frame's main data may begin up to 511 bytes back in the frames
// before it (255 in the half-rate versions, whose frames hold 576 samples),
// and its output overlaps the previous frame's. At the lowest bitrates a
// frame carries 60 bytes of main data (32 kbit/s at 48 kHz) or 11 (8 kbit/s
// mono at 24 kHz): 9 or 24 frames of reservoir, one more for the overlap.
// Measured: 32 kbit/s stereo needed 9 frames, 8 kbit/s mono 24; then at most
// 1 in 16 bits from a continuous decode.
std::uint64_t mp3_preroll(const PcmTrack& track)
{
    return track.frames_per_unit >= 1152 ? 10 : 25;
}

} // namespace

extern const CodecDecoding mp3_decoding{lav_codec_id_mp3, mp3_preroll, false};

} // namespace kov
