#include "media/be_reader.hpp"
#include "media/box_header.hpp"
#include "media/codec_readers.hpp"

namespace kov {

namespace {

// A Xiph lacing value: 255s run on, anything less ends it.
bool read_lacing(BeReader& r, std::size_t& size)
{
    size = 0;
    std::uint8_t b = 255;
    while (b == 255) {
        if (!r.u8(b))
            return false;
        size += b;
    }
    return true;
}

bool read_le32(BeReader& r, std::uint32_t& v)
{
    std::uint32_t be = 0;
    if (!r.u32(be))
        return false;
    v = (be >> 24) | ((be >> 8) & 0xff00) | ((be << 8) & 0xff0000) | (be << 24);
    return true;
}

// The rate, channels and longest decoded packet from the identification
// header, the first of the three headers laced together in the
// configuration. False where the bytes are not that.
bool read_identification(std::span<const std::uint8_t> headers, DecoderConfig& c)
{
    BeReader r(headers);
    std::uint8_t count = 0;
    std::size_t id_size = 0, comment_size = 0;
    if (!r.u8(count) || count != 2 || !read_lacing(r, id_size) || !read_lacing(r, comment_size))
        return false;
    constexpr std::uint8_t magic[] = {1, 'v', 'o', 'r', 'b', 'i', 's'};
    BeReader id;
    if (id_size < 30 || !r.sub(id_size, id))
        return false;
    for (const std::uint8_t m : magic) {
        std::uint8_t b = 0;
        if (!id.u8(b) || b != m)
            return false;
    }
    std::uint32_t version = 0, rate = 0;
    std::uint8_t channels = 0, blocksizes = 0;
    if (!read_le32(id, version) || !id.u8(channels) || !read_le32(id, rate) || !id.skip(12) || !id.u8(blocksizes))
        return false;
    const unsigned short_bits = blocksizes & 0x0f, long_bits = blocksizes >> 4;
    if (version != 0 || channels == 0 || rate == 0 || rate > 0x7fffffff || short_bits < 6 || long_bits > 13 ||
        short_bits > long_bits)
        return false;
    c.rate = rate;
    c.channels = channels;
    // The decoder delivers one, two, three, five and six channels in the
    // order of the MPEG channel configurations of those counts; four and
    // seven or more get no layout box.
    if (channels <= 3 || channels == 5 || channels == 6)
        c.channel_config = channels;
    // A packet gives the second half of the window before it and the first
    // half of its own: at most half the long block.
    c.frames_per_unit = (1u << long_bits) / 2;
    return true;
}

} // namespace

std::optional<DecoderConfig> vorbis_config(const SoundEntry& entry)
{
    if (entry.format != fourcc("mp4a") || entry.es.object_type_indication != 0xDD)
        return std::nullopt;
    DecoderConfig c;
    c.codec = Codec::vorbis;
    // The three headers as the decoder takes them: a count, two Xiph lacing
    // sizes, then the headers one after another.
    c.extradata = entry.es.specific_info;
    read_identification(c.extradata, c);
    return c;
}

} // namespace kov
