#include "media/be_reader.hpp"
#include "media/box_header.hpp"
#include "media/codec_readers.hpp"

#include <array>

namespace kov {

namespace {

constexpr std::array<std::uint32_t, 4> rates{48000, 44100, 32000, 0};
// Full-range channels per audio coding mode, and their positions as the
// decoder delivers them: L R, C, L R, L R C, L R Cs, L R C Cs, L R Ls Rs,
// L R C Ls Rs, the surrounds at the sides. Dual mono (mode 0) has none.
constexpr std::array<std::uint32_t, 8> acmod_channels{2, 1, 2, 3, 3, 4, 4, 5};
constexpr std::array<std::uint32_t, 8> acmod_bitmaps{0, 0x4, 0x3, 0x7, 0x103, 0x107, 0x603, 0x607};
constexpr std::uint32_t lfe_position = 0x8;

// Rate and channels from 24 bits that start with the sample rate code and
// hold the audio coding mode and the LFE flag at `lfe_bit` and above.
void read_stream_fields(std::uint32_t bits, int lfe_bit, DecoderConfig& c)
{
    c.rate = rates[bits >> 22];
    const std::uint32_t acmod = (bits >> (lfe_bit + 1)) & 7u;
    const bool lfe = (bits >> lfe_bit) & 1u;
    c.channels = acmod_channels[acmod] + (lfe ? 1 : 0);
    // Mono and stereo as the MPEG channel configurations name them.
    if (acmod == 1 && !lfe)
        c.channel_config = 1;
    else if (acmod == 2 && !lfe)
        c.channel_config = 2;
    else if (acmod != 0)
        c.channel_bitmap = acmod_bitmaps[acmod] | (lfe ? lfe_position : 0);
}

} // namespace

std::optional<DecoderConfig> ac3_config(const SoundEntry& entry)
{
    const int oti = entry.es.object_type_indication;
    const bool mp4a = entry.format == fourcc("mp4a");
    DecoderConfig c;
    if (entry.format == fourcc("ec-3") || (mp4a && oti == 0xA6))
        c.codec = Codec::eac3;
    else if (entry.format == fourcc("ac-3") || (mp4a && oti == 0xA5))
        c.codec = Codec::ac3;
    else
        return std::nullopt;
    if (c.codec == Codec::ac3) {
        // dac3: fscod(2) bsid(5) bsmod(3) acmod(3) lfeon(1) in its 24 bits
        BeReader r(entry.box(fourcc("dac3")));
        std::uint16_t high = 0;
        std::uint8_t low = 0;
        if (r.u16(high) && r.u8(low))
            read_stream_fields((std::uint32_t{high} << 8) | low, 10, c);
        return c;
    }
    // dec3: data rate (13 bits) and substream count (3), then per independent
    // substream fscod(2) bsid(5) reserved asvc bsmod(3) acmod(3) lfeon
    // reserved(3) num_dep_sub(4); the first one carries the main programme.
    BeReader r(entry.box(fourcc("dec3")));
    std::uint16_t head = 0;
    std::uint8_t b0 = 0, b1 = 0, b2 = 0;
    if (r.u16(head) && r.u8(b0) && r.u8(b1) && r.u8(b2)) {
        read_stream_fields((std::uint32_t{b0} << 16) | (std::uint32_t{b1} << 8) | b2, 8, c);
        // Dependent substreams add channels the main programme's mode does
        // not name: no layout is sure then.
        if (((b2 >> 1) & 0xFu) != 0) {
            c.channel_config = 0;
            c.channel_bitmap = 0;
        }
    }
    return c;
}

} // namespace kov
