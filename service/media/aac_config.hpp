#pragma once
// AAC in an MPEG-4 sample entry: told by the esds object type and, for the
// generic MPEG-4 audio type, by the AudioSpecificConfig, which also gives the
// rate, channels and whether SBR doubles the frames per unit.

#include <optional>

#include "media/sound_entry.hpp"

namespace kov {

std::optional<DecoderConfig> aac_config(const SoundEntry& entry);

} // namespace kov
