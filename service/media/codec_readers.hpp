#pragma once
// One reader per codec: each tells whether a sound entry holds its codec and,
// if so, what its decoder needs. AAC's is in aac_config.hpp.

#include <array>
#include <cstdint>
#include <optional>

#include "media/sound_entry.hpp"

namespace kov {

// The channel configuration of a stream that states only its channel count:
// every decoder delivers mono and stereo as MPEG configurations 1 and 2 do;
// more channels come in orders of the codec's own.
inline std::uint32_t mono_or_stereo_config(std::uint32_t channels)
{
    return channels <= 2 ? channels : 0;
}

// Opus ("Opus" with dOps): the pre-skip, channel mapping and an OpusHead.
std::optional<DecoderConfig> opus_config(const SoundEntry& entry);
// FLAC ("fLaC" with dfLa): the STREAMINFO block.
std::optional<DecoderConfig> flac_config(const SoundEntry& entry);
// ALAC ("alac" with its alac box): the 36-byte magic cookie.
std::optional<DecoderConfig> alac_config(const SoundEntry& entry);
// AC-3 and E-AC-3 ("ac-3", "ec-3", or mp4a of object type 0xA5 / 0xA6).
std::optional<DecoderConfig> ac3_config(const SoundEntry& entry);
// Vorbis (mp4a of object type 0xDD): its three headers as one configuration.
std::optional<DecoderConfig> vorbis_config(const SoundEntry& entry);
// MPEG audio and PCM entries: told, never converted.
std::optional<DecoderConfig> plain_audio_config(const SoundEntry& entry);

// The channel layout of a decoder that delivers 1 to 8 channels in the order
// `bitmaps` gives for each count: mono and stereo as the MPEG channel
// configurations name them, more as a layout bitmap.
inline void set_channel_layout(DecoderConfig& c, const std::array<std::uint32_t, 8>& bitmaps)
{
    c.channel_config = mono_or_stereo_config(c.channels);
    if (c.channels >= 3 && c.channels <= bitmaps.size())
        c.channel_bitmap = bitmaps[c.channels - 1];
}

} // namespace kov
