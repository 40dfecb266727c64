#include "media/es_descriptor.hpp"

#include <algorithm>

namespace kov {

namespace {

constexpr std::uint8_t es_descr_tag = 3;
constexpr std::uint8_t decoder_config_tag = 4;
constexpr std::uint8_t specific_info_tag = 5;

// A descriptor's length: up to four bytes of seven bits each, the top bit
// saying another follows. Clamped to what is left.
std::size_t read_length(BeReader& r)
{
    std::size_t length = 0;
    std::uint8_t b = 0;
    for (int i = 0; i < 4 && r.u8(b); ++i) {
        length = (length << 7) | (b & 0x7fu);
        if (!(b & 0x80u))
            break;
    }
    return std::min(length, r.remaining());
}

// Moves past the ES_Descriptor's own fields to its first child: the stream
// dependence, URL and OCR stream fields are there only as its flags say.
bool skip_es_fields(BeReader& r)
{
    std::uint8_t flags = 0, url_length = 0;
    if (r.remaining() < 3 || !r.skip(2) || !r.u8(flags))
        return false;
    if ((flags & 0x80u) && !r.skip(2))
        return false;
    if ((flags & 0x40u) && r.remaining() > 0 && (!r.u8(url_length) || !r.skip(url_length)))
        return false;
    return !(flags & 0x20u) || r.skip(2);
}

} // namespace

void read_es_descriptor(BeReader esds, EsDescriptor& es)
{
    // The two containers are entered rather than skipped: their children
    // follow their fixed fields (13 bytes for a DecoderConfigDescriptor).
    if (esds.remaining() < 5 || !esds.skip(4))
        return;
    std::uint8_t tag = 0;
    while (esds.u8(tag)) {
        const std::size_t length = read_length(esds);
        if (tag == es_descr_tag) {
            if (!skip_es_fields(esds))
                return;
        } else if (tag == decoder_config_tag) {
            std::uint8_t oti = 0;
            if (es.object_type_indication < 0 && esds.peek_at(esds.position(), oti))
                es.object_type_indication = oti;
            if (!esds.skip(13))
                return;
        } else {
            BeReader content;
            esds.sub(length, content);
            if (tag == specific_info_tag && es.specific_info.empty())
                es.specific_info.assign(content.rest().begin(), content.rest().end());
        }
    }
}

} // namespace kov
