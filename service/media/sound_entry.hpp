#pragma once
// What a sound track's sample description says before any codec reads it,
// and the one place that asks each codec's reader whether the entry is its
// own. A codec the service converts adds its reader to decoder_config_of.

#include <cstdint>

#include "media/es_descriptor.hpp"
#include "pcm/decoder_config.hpp"

namespace kov {

struct SoundEntry {
    std::uint32_t format = 0; // the sample entry's type
    std::uint16_t channels = 0;
    std::uint16_t bits = 0;
    std::uint32_t sample_rate = 0;
    EsDescriptor es; // of an esds in the entry or in its QuickTime wave box
};

// The decoder configuration of the first codec that recognises the entry; the
// codec is none when no reader does.
DecoderConfig decoder_config_of(const SoundEntry& entry);

} // namespace kov
