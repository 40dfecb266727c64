#pragma once
// The header rule shared by every box at every level: a 32-bit size and a
// four-byte type; size 1 means a 64-bit size follows, size 0 means "to the end
// of the enclosing range". A box shorter than its header or longer than what
// its enclosing range has left is invalid. Plain functions, no state.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "media/be_reader.hpp"

namespace kov {

// A four-character box type as the 32-bit big-endian value of its bytes.
constexpr std::uint32_t fourcc(const char (&s)[5])
{
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[3]));
}

struct BoxHeader {
    std::uint32_t type = 0;
    std::uint64_t size = 0;        // whole box, header included
    std::uint32_t header_size = 0; // 8, or 16 with a 64-bit size
    std::uint64_t payload_size() const { return size - header_size; }
};

// Decodes the header at the start of `head` (the box's first bytes, at most 16
// are looked at) for a box that may occupy at most `available` bytes, counted
// from its own start to the end of its enclosing range. A 64-bit size needs 16
// header bytes both in `head` and in `available`.
inline std::optional<BoxHeader> decode_box_header(std::span<const std::uint8_t> head, std::uint64_t available)
{
    if (available < 8)
        return std::nullopt;
    const BeReader r(head);
    std::uint32_t size32 = 0;
    BoxHeader h;
    if (!r.peek_at(0, size32) || !r.peek_at(4, h.type))
        return std::nullopt;
    h.header_size = 8;
    h.size = size32;
    if (size32 == 1) {
        if (available < 16 || !r.peek_at(8, h.size))
            return std::nullopt;
        h.header_size = 16;
    } else if (size32 == 0) {
        h.size = available;
    }
    if (h.size < h.header_size || h.size > available)
        return std::nullopt;
    return h;
}

// Reads the header of the box at r's position; the enclosing range is what r
// has left. On success r stands at the start of the payload; on failure r is
// left where it was.
inline std::optional<BoxHeader> read_box_header(BeReader& r)
{
    const auto rest = r.rest();
    auto h = decode_box_header(rest.first(rest.size() < 16 ? rest.size() : 16), rest.size());
    if (h)
        r.skip(h->header_size);
    return h;
}

} // namespace kov
