#include "media/sound_entry.hpp"

#include <array>
#include <optional>

#include "media/aac_config.hpp"

namespace kov {

DecoderConfig decoder_config_of(const SoundEntry& entry)
{
    using Reader = std::optional<DecoderConfig> (*)(const SoundEntry&);
    constexpr std::array<Reader, 1> readers{aac_config};
    for (const Reader read : readers)
        if (auto config = read(entry))
            return std::move(*config);
    return {};
}

} // namespace kov
