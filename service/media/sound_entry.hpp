#pragma once
// What a sound track's sample description says before any codec reads it,
// and the one place that asks each codec's reader whether the entry is its
// own. A codec the service converts adds its reader to decoder_config_of.

#include <cstdint>
#include <span>
#include <vector>

#include "media/es_descriptor.hpp"
#include "pcm/decoder_config.hpp"

namespace kov {

// A codec's configuration box of the entry (dOps, dfLa, alac, dec3, dac3),
// its payload as stored.
struct EntryBox {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> payload;
};

struct SoundEntry {
    std::uint32_t format = 0; // the sample entry's type
    std::uint16_t channels = 0;
    std::uint16_t bits = 0;
    std::uint32_t sample_rate = 0;
    EsDescriptor es; // of an esds in the entry or in its QuickTime wave box
    std::vector<EntryBox> boxes; // the first of each configuration box, also from the wave box

    // The payload of the configuration box of that type; empty when absent.
    std::span<const std::uint8_t> box(std::uint32_t type) const;
};

// Whether a box of the entry is one a codec's reader wants kept.
bool is_codec_box(std::uint32_t type);

// The decoder configuration of the first codec that recognises the entry; the
// codec is none when no reader does. Codecs the service leaves as they are
// (PCM, MP3, AC-3) are told too, so that a report can name them.
DecoderConfig decoder_config_of(const SoundEntry& entry);

} // namespace kov
