#include "media/be_reader.hpp"
#include "media/box_header.hpp"
#include "media/codec_readers.hpp"

#include <array>

namespace kov {

namespace {

// The positions of 1 to 8 channels as the decoder delivers them: mono,
// stereo, L R C, quad, then 5.0, 5.1, 6.1 and 7.1 with side surrounds.
constexpr std::array<std::uint32_t, 8> flac_bitmaps{0x4, 0x3, 0x7, 0x33, 0x607, 0x60f, 0x70f, 0x63f};

} // namespace

std::optional<DecoderConfig> flac_config(const SoundEntry& entry)
{
    if (entry.format != fourcc("fLaC"))
        return std::nullopt;
    DecoderConfig c;
    c.codec = Codec::flac;
    // dfLa: version and flags, then FLAC metadata blocks, STREAMINFO first.
    BeReader r(entry.box(fourcc("dfLa")));
    std::uint32_t version_flags = 0, block_header = 0;
    constexpr std::uint32_t streaminfo_size = 34;
    if (!r.u32(version_flags) || version_flags != 0 || !r.u32(block_header) ||
        (block_header & 0x7f000000u) != 0 || (block_header & 0xffffffu) != streaminfo_size ||
        r.remaining() < streaminfo_size)
        return c;
    const auto info = r.rest().first(streaminfo_size);
    c.extradata.assign(info.begin(), info.end());
    // min and max block size, min and max frame size, then 20 bits of rate,
    // 3 of channels - 1 and 5 of bits per sample - 1.
    std::uint16_t min_block = 0, max_block = 0;
    std::uint64_t packed = 0;
    BeReader s(info);
    s.u16(min_block);
    s.u16(max_block);
    s.skip(6);
    s.u64(packed);
    c.rate = static_cast<std::uint32_t>(packed >> 44);
    c.channels = static_cast<std::uint32_t>((packed >> 41) & 7u) + 1;
    c.bits = static_cast<std::uint16_t>(((packed >> 36) & 31u) + 1);
    set_channel_layout(c, flac_bitmaps);
    if (min_block == max_block)
        c.frames_per_unit = max_block;
    return c;
}

} // namespace kov
