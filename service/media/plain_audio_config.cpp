#include "media/box_header.hpp"
#include "media/codec_readers.hpp"

#include <array>

namespace kov {

std::optional<DecoderConfig> plain_audio_config(const SoundEntry& entry)
{
    const int oti = entry.es.object_type_indication;
    DecoderConfig c;
    if (entry.format == fourcc(".mp3") || (entry.format == fourcc("mp4a") && (oti == 0x69 || oti == 0x6B))) {
        c.codec = Codec::mp3;
        c.channel_config = mono_or_stereo_config(entry.channels);
        return c;
    }
    constexpr std::array<std::uint32_t, 11> pcm{fourcc("lpcm"), fourcc("sowt"), fourcc("twos"), fourcc("in24"),
                                                 fourcc("in32"), fourcc("fl32"), fourcc("fl64"), fourcc("raw "),
                                                 fourcc("ipcm"), fourcc("fpcm"), fourcc("NONE")};
    for (const std::uint32_t f : pcm) {
        if (entry.format == f) {
            c.codec = Codec::pcm;
            return c;
        }
    }
    return std::nullopt;
}

} // namespace kov
