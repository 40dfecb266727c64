#pragma once
// How one track's compressed audio is decoded: the codec and what its decoder
// needs besides the units themselves. Filled by the media analysis (one reader
// per codec), carried by the rewrite plan, read by the decoding side. A plain
// value; no shared state.

#include <cstdint>
#include <vector>

namespace kov {

// The audio a sample entry holds. `none`: a codec the service cannot tell
// (or a track that is not sound).
enum class Codec : std::uint8_t {
    none,
    aac,
    eac3,
    ac3,
    opus,
    flac,
    alac,
    vorbis,
    mp3,
    pcm,
};

struct DecoderConfig {
    Codec codec = Codec::none;
    // The codec's own configuration, handed to the decoder as its extradata
    // (for AAC the AudioSpecificConfig).
    std::vector<std::uint8_t> extradata;
    // What the configuration states; 0 where it does not say (the sample
    // entry or a decoding probe then decides).
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::uint32_t frames_per_unit = 0; // decoded frames per compressed unit
    std::uint16_t bits = 0;            // bits per sample a lossless decode keeps; 0 for lossy codecs
    // The MPEG channel configuration the channel layout box is written from;
    // 0 when the stream describes its channels otherwise.
    std::uint32_t channel_config = 0;
    // Otherwise, the channels as a layout box's bitmap (bit 0 left, 1 right,
    // 2 centre, 3 LFE, 4 and 5 back, 9 and 10 side: libavcodec's own order),
    // for an order no MPEG configuration names; 0 for none.
    std::uint32_t channel_bitmap = 0;
    // Frames the decoder's first output holds before the stream's own start
    // (Opus pre-skip); 0 where the container says nothing.
    std::uint32_t priming = 0;

    bool operator==(const DecoderConfig&) const = default;
};

} // namespace kov
