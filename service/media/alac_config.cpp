#include "media/be_reader.hpp"
#include "media/box_header.hpp"
#include "media/codec_readers.hpp"

#include <array>

namespace kov {

namespace {

// The positions of 1 to 8 channels as the decoder delivers them: mono,
// stereo, L R C, L R C Cs, then 5.0, 5.1, 6.1 with back surrounds and 7.1
// with front centre pairs.
constexpr std::array<std::uint32_t, 8> alac_bitmaps{0x4, 0x3, 0x7, 0x107, 0x37, 0x3f, 0x13f, 0xff};

} // namespace

std::optional<DecoderConfig> alac_config(const SoundEntry& entry)
{
    if (entry.format != fourcc("alac"))
        return std::nullopt;
    DecoderConfig c;
    c.codec = Codec::alac;
    // The alac box: version and flags, then the 24-byte ALACSpecificConfig.
    const auto payload = entry.box(fourcc("alac"));
    constexpr std::size_t config_size = 24;
    BeReader r(payload);
    std::uint32_t version_flags = 0, frame_length = 0, max_frame_bytes = 0, bit_rate = 0, rate = 0;
    std::uint8_t compatible = 0, depth = 0, channels = 0;
    std::uint16_t max_run = 0;
    if (payload.size() < 4 + config_size || !r.u32(version_flags) || !r.u32(frame_length) || !r.u8(compatible) ||
        !r.u8(depth) || !r.skip(3) || !r.u8(channels) || !r.u16(max_run) || !r.u32(max_frame_bytes) ||
        !r.u32(bit_rate) || !r.u32(rate))
        return c;
    // The decoder's magic cookie is the whole box, header included.
    const std::uint32_t cookie_size = 8 + 4 + config_size;
    for (int i = 3; i >= 0; --i)
        c.extradata.push_back(static_cast<std::uint8_t>(cookie_size >> (8 * i)));
    for (const char ch : {'a', 'l', 'a', 'c'})
        c.extradata.push_back(static_cast<std::uint8_t>(ch));
    c.extradata.insert(c.extradata.end(), payload.begin(), payload.begin() + 4 + config_size);
    c.frames_per_unit = frame_length;
    c.bits = depth;
    c.channels = channels;
    c.rate = rate;
    set_channel_layout(c, alac_bitmaps);
    return c;
}

} // namespace kov
