#include "media/be_reader.hpp"
#include "media/box_header.hpp"
#include "media/codec_readers.hpp"

namespace kov {

namespace {

void put_le(std::vector<std::uint8_t>& out, std::uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

} // namespace

std::optional<DecoderConfig> opus_config(const SoundEntry& entry)
{
    if (entry.format != fourcc("Opus"))
        return std::nullopt;
    DecoderConfig c;
    c.codec = Codec::opus;
    c.rate = 48000; // Opus always decodes at 48 kHz, whatever the input rate was
    // dOps holds the OpusHead's fields big-endian from its version on; the
    // decoder wants the OpusHead itself.
    BeReader r(entry.box(fourcc("dOps")));
    std::uint8_t version = 0, channels = 0, family = 0;
    std::uint16_t pre_skip = 0, gain = 0;
    std::uint32_t input_rate = 0;
    if (!r.u8(version) || !r.u8(channels) || !r.u16(pre_skip) || !r.u32(input_rate) || !r.u16(gain) ||
        !r.u8(family) || version != 0 || channels == 0)
        return c; // told, but not configured: a decoding probe finds nothing to decode with
    const std::size_t table = family == 0 ? 0 : 2u + channels;
    if (r.remaining() < table)
        return c;
    c.channels = channels;
    c.channel_config = mono_or_stereo_config(c.channels);
    c.priming = pre_skip;
    const char magic[] = "OpusHead";
    c.extradata.assign(magic, magic + 8);
    c.extradata.push_back(1);
    c.extradata.push_back(channels);
    put_le(c.extradata, pre_skip, 2);
    put_le(c.extradata, input_rate, 4);
    put_le(c.extradata, gain, 2);
    c.extradata.push_back(family);
    const auto rest = r.rest().first(table);
    c.extradata.insert(c.extradata.end(), rest.begin(), rest.end());
    return c;
}

} // namespace kov
