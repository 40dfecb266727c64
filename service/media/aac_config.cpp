#include "media/aac_config.hpp"

#include <algorithm>
#include <array>
#include <span>

namespace kov {

namespace {

constexpr std::array<std::uint32_t, 16> frequency_table{96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                                        16000, 12000, 11025, 8000,  7350,  0,     0,     0};
constexpr std::array<std::uint32_t, 16> channel_table{0, 1, 2, 3, 4, 5, 6, 8, 0, 0, 0, 7, 8, 0, 8, 0};

// Bits of the configuration, most significant first; bits past its end read as 0.
std::uint32_t asc_bits(std::span<const std::uint8_t> asc, std::size_t first, unsigned count)
{
    std::uint32_t v = 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::size_t bit = first + i;
        const std::size_t byte = bit / 8;
        const unsigned b = byte < asc.size() ? (asc[byte] >> (7 - bit % 8)) & 1u : 0u;
        v = (v << 1) | b;
    }
    return v;
}

// An audio object type at bit `q`, which moves past it (31 escapes to 32 and up).
std::uint32_t object_type_at(std::span<const std::uint8_t> asc, std::size_t& q)
{
    const std::uint32_t aot = asc_bits(asc, q, 5);
    q += 5;
    if (aot != 31)
        return aot;
    q += 6;
    return 32 + asc_bits(asc, q - 6, 6);
}

// Main, LC, SSR, LTP, scalable and their error-resilient, low-delay forms.
bool is_aac_core(std::uint32_t aot)
{
    constexpr std::array<std::uint32_t, 10> core{1, 2, 3, 4, 6, 17, 19, 20, 23, 39};
    return std::find(core.begin(), core.end(), aot) != core.end();
}

bool is_sbr_or_ps(std::uint32_t aot)
{
    return aot == 5 || aot == 29;
}

// Whether the AudioSpecificConfig is of an AAC object: a core type, or SBR or
// parametric stereo signalled explicitly over an AAC core.
bool asc_is_aac(std::span<const std::uint8_t> asc)
{
    if (asc.empty())
        return false;
    std::size_t q = 0;
    const std::uint32_t aot = object_type_at(asc, q);
    if (!is_sbr_or_ps(aot))
        return is_aac_core(aot);
    auto skip_frequency = [&] { q += asc_bits(asc, q, 4) == 15 ? 28 : 4; };
    skip_frequency();
    q += 4;           // channel configuration
    skip_frequency(); // of the extension
    return is_aac_core(object_type_at(asc, q));
}

// Rate, channels and SBR as the configuration states them. With SBR or PS
// signalled explicitly the output runs at the extension's rate.
void read_asc(DecoderConfig& c)
{
    const std::span<const std::uint8_t> asc(c.extradata);
    std::size_t q = 0;
    const std::uint32_t aot = object_type_at(asc, q);
    const std::uint32_t index = asc_bits(asc, q, 4);
    q += 4;
    std::uint32_t rate = frequency_table[index];
    if (index == 15) {
        rate = asc_bits(asc, q, 24);
        q += 24;
    }
    c.channel_config = asc_bits(asc, q, 4);
    c.channels = channel_table[c.channel_config];
    if (is_sbr_or_ps(aot)) {
        c.frames_per_unit = 2048;
        const std::uint32_t ext = asc_bits(asc, q + 4, 4);
        rate = ext == 15 ? asc_bits(asc, q + 8, 24) : frequency_table[ext];
    }
    c.rate = rate;
}

} // namespace

std::optional<DecoderConfig> aac_config(const SoundEntry& entry)
{
    // "mp4a" stands for any MPEG-4 audio: MP3, Vorbis, AC-3 and others use it
    // too, and only the object type tells.
    const int oti = entry.es.object_type_indication;
    const bool aac = (oti == 0x40 && asc_is_aac(entry.es.specific_info)) || (oti >= 0x66 && oti <= 0x68);
    if (!aac)
        return std::nullopt;
    DecoderConfig c;
    c.codec = Codec::aac;
    c.extradata = entry.es.specific_info;
    c.frames_per_unit = 1024;
    if (c.extradata.size() >= 2)
        read_asc(c);
    return c;
}

} // namespace kov
