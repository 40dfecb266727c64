#include "pcm/codec_decoding.hpp"
#include "pcm/codec_library.hpp"

namespace kov {

// A Vorbis packet overlaps only the one before it, and nothing else carries
// over from packet to packet: one packet of pre-roll gives a segment the same
// samples as a continuous decode. Block sizes switch from packet to packet.
extern const CodecDecoding vorbis_decoding{lav_codec_id_vorbis, [](const PcmTrack&) -> std::uint64_t { return 1; },
                                           true, true};

} // namespace kov
