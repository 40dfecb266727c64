#include "pcm/codec_decoding.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/pcm_track.hpp"

namespace kov {

namespace {

// In plain AAC-LC two units wash out what a decoder carries from one unit to
// the next (window shape, overlap): a segment then decodes exactly as a
// straight pass through the whole stream, but for noise-substituted bands,
// whose generator starts afresh with each decoder. SBR and parametric stereo
// add filter banks with memory: measured on streams made from LC ones, one
// unit leaves 8,000-15,000 LSB, two give a continuous decode within one step.
// Those streams carry no SBR envelopes or stereo parameters, which a real
// encoder may code as changes from the unit before, so such streams (and the
// other profiles) get four; and fresh decoders, as a flush does not clear SBR
// or stereo state.
std::uint64_t aac_preroll(const PcmTrack& track)
{
    return is_plain_lc(track) ? aac_lc_preroll : 4;
}

} // namespace

bool is_plain_lc(const PcmTrack& track)
{
    // Audio object type 2 (AAC-LC) in the first five bits, and no SBR found
    // by the probe (it would double the frames per unit).
    const auto& asc = track.config.extradata;
    return track.config.codec == Codec::aac && !asc.empty() && (asc[0] >> 3) == 2 && track.frames_per_unit == 1024;
}

extern const CodecDecoding aac_decoding{lav_codec_id_aac, aac_preroll, false};

} // namespace kov
