#include "media/sound_entry.hpp"

#include <array>
#include <optional>

#include "media/aac_config.hpp"
#include "media/box_header.hpp"
#include "media/codec_readers.hpp"

namespace kov {

std::span<const std::uint8_t> SoundEntry::box(std::uint32_t type) const
{
    for (const EntryBox& b : boxes)
        if (b.type == type)
            return b.payload;
    return {};
}

bool is_codec_box(std::uint32_t type)
{
    return type == fourcc("dOps") || type == fourcc("dfLa") || type == fourcc("alac") || type == fourcc("dec3") ||
           type == fourcc("dac3");
}

DecoderConfig decoder_config_of(const SoundEntry& entry)
{
    using Reader = std::optional<DecoderConfig> (*)(const SoundEntry&);
    constexpr std::array<Reader, 7> readers{aac_config,  ac3_config,    vorbis_config,     opus_config,
                                            flac_config, alac_config, plain_audio_config};
    for (const Reader read : readers)
        if (auto config = read(entry))
            return std::move(*config);
    return {};
}

} // namespace kov
