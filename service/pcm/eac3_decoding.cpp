#include "pcm/codec_decoding.hpp"
#include "pcm/codec_library.hpp"

namespace kov {

// An E-AC-3 frame overlaps the one before it only.
extern const CodecDecoding eac3_decoding{lav_codec_id_eac3, [](const PcmTrack&) -> std::uint64_t { return 1; }, false};

} // namespace kov
