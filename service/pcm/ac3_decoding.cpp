#include "pcm/codec_decoding.hpp"
#include "pcm/codec_library.hpp"

namespace kov {

// An AC-3 frame overlaps the one before it only, as E-AC-3's does.
extern const CodecDecoding ac3_decoding{lav_codec_id_ac3, [](const PcmTrack&) -> std::uint64_t { return 1; }, false};

} // namespace kov
