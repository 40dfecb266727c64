#include "pcm/codec_decoding.hpp"
#include "pcm/codec_library.hpp"

namespace kov {

// Every FLAC frame decodes alone; its last one, or any of a variable block
// size, is shorter.
extern const CodecDecoding flac_decoding{lav_codec_id_flac, [](const PcmTrack&) -> std::uint64_t { return 0; }, true};

} // namespace kov
