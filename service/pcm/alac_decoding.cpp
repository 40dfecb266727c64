#include "pcm/codec_decoding.hpp"
#include "pcm/codec_library.hpp"

namespace kov {

// Every ALAC frame decodes alone; the last one is shorter.
extern const CodecDecoding alac_decoding{lav_codec_id_alac, [](const PcmTrack&) -> std::uint64_t { return 0; }, true};

} // namespace kov
