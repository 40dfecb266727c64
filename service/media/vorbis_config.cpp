#include "media/box_header.hpp"
#include "media/codec_readers.hpp"

namespace kov {

std::optional<DecoderConfig> vorbis_config(const SoundEntry& entry)
{
    if (entry.format != fourcc("mp4a") || entry.es.object_type_indication != 0xDD)
        return std::nullopt;
    DecoderConfig c;
    c.codec = Codec::vorbis;
    c.extradata = entry.es.specific_info;
    return c;
}

} // namespace kov
