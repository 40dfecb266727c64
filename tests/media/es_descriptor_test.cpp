// The ES descriptor reader on hand-made esds payloads: optional fields, long
// length forms, truncation, and several esds boxes in one track.

#include <gtest/gtest.h>

#include <vector>

#include "media/es_descriptor.hpp"

namespace kov {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A descriptor: tag, length in `length_bytes` bytes of seven bits, content.
Bytes descriptor(std::uint8_t tag, const Bytes& content, int length_bytes = 1)
{
    Bytes out{tag};
    for (int i = length_bytes - 1; i >= 0; --i) {
        const auto part = static_cast<std::uint8_t>((content.size() >> (7 * i)) & 0x7f);
        out.push_back(i > 0 ? part | 0x80 : part);
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// An esds payload: version and flags, then an ES_Descriptor whose fields
// after its ID are `es_fields`, holding a DecoderConfigDescriptor with its 13
// fixed bytes and a DecoderSpecificInfo.
Bytes esds(std::uint8_t oti, const Bytes& dsi, const Bytes& es_fields = {0}, int length_bytes = 1)
{
    const Bytes dcd_fixed{oti, 0x15, 0, 0x18, 0, 0, 0x01, 0xf4, 0, 0, 0x01, 0xf4, 0};
    const Bytes dcd = descriptor(4, join({dcd_fixed, descriptor(5, dsi, length_bytes)}), length_bytes);
    const Bytes es = descriptor(3, join({Bytes{0, 1}, es_fields, dcd, descriptor(6, {2})}), length_bytes);
    return join({Bytes{0, 0, 0, 0}, es});
}

EsDescriptor read(std::initializer_list<Bytes> boxes)
{
    EsDescriptor es;
    for (const Bytes& b : boxes)
        read_es_descriptor(BeReader(b), es);
    return es;
}

TEST(EsDescriptor, FindsTheObjectTypeAndConfiguration)
{
    const Bytes asc{0x12, 0x10};
    const Bytes truncated_url = esds(0x40, asc, {0x40, 200, 'x'});
    Bytes long_dsi = esds(0x40, asc);
    long_dsi.resize(long_dsi.size() - 3 - 1); // cut inside the configuration, before the SL descriptor
    Bytes short_fixed = esds(0x40, asc);
    short_fixed.resize(15); // the object type, but not the rest of the fixed fields
    struct Case {
        const char* what;
        EsDescriptor got;
        int oti;
        Bytes dsi;
    };
    const Case cases[] = {
        {"plain", read({esds(0x40, asc)}), 0x40, asc},
        {"stream dependence, URL and OCR fields", read({esds(0x40, asc, {0xe0, 0, 7, 3, 'u', 'r', 'l', 0, 9})}), 0x40,
         asc},
        {"four-byte lengths", read({esds(0x67, asc, {0}, 4)}), 0x67, asc},
        {"a URL longer than the box", read({truncated_url}), -1, {}},
        {"a configuration cut short", read({long_dsi}), 0x40, {0x12}},
        {"fixed fields cut short", read({short_fixed}), 0x40, {}},
        {"too short for anything", read({Bytes{0, 0, 0, 0}}), -1, {}},
        // A track with two: the first object type and the first configuration stand.
        {"two boxes", read({esds(0x6b, {}), esds(0x40, asc)}), 0x6b, asc},
        {"two configurations", read({esds(0x40, {0x11, 0x90}), esds(0x40, asc)}), 0x40, {0x11, 0x90}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.got.object_type_indication, c.oti);
        EXPECT_EQ(c.got.specific_info, c.dsi);
    }
}

} // namespace
} // namespace kov
