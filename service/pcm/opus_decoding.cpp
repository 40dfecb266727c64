#include "pcm/codec_decoding.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/pcm_track.hpp"

namespace kov {

namespace {

// A fresh Opus decoder fed 80 ms before a segment still differed from a
// continuous decode by up to 310 in 16 bits; after 240 ms, by 2 at most.
std::uint64_t opus_preroll(const PcmTrack& track)
{
    constexpr std::uint64_t preroll_frames = 11520;
    return (preroll_frames + track.frames_per_unit - 1) / track.frames_per_unit;
}

} // namespace

extern const CodecDecoding opus_decoding{lav_codec_id_opus, opus_preroll, false};

} // namespace kov
