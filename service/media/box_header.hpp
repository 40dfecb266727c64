#pragma once
// The one box walker. Every box at every level follows the same header rule:
// a 32-bit size and a four-byte type; size 1 means a 64-bit size follows,
// size 0 means "to the end of the enclosing range". A box shorter than its
// header or longer than what its enclosing range has left ends the walk of
// that level. Plain functions, no state.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

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
    bool to_end = false;           // declared size 0
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
    BeReader r(head);
    std::uint32_t size32 = 0;
    BoxHeader h;
    if (!r.u32(size32) || !r.u32(h.type))
        return std::nullopt;
    h.header_size = 8;
    h.size = size32;
    if (size32 == 1) {
        if (available < 16 || !r.u64(h.size))
            return std::nullopt;
        h.header_size = 16;
    } else if (size32 == 0) {
        h.size = available;
        h.to_end = true;
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

// One box found by a walk: its header and where it starts in the walked range.
struct BoxEntry {
    BoxHeader header;
    std::size_t offset = 0;
    std::uint32_t type() const { return header.type; }
    std::uint64_t size() const { return header.size; }
};

// Calls fn(entry, payload) for each valid box of `range`, in order, stopping
// at the first invalid one or when fewer than 8 bytes are left.
template <typename Fn> void for_each_box(BeReader range, Fn&& fn)
{
    while (range.remaining() >= 8) {
        const std::size_t at = range.position();
        const auto h = read_box_header(range);
        if (!h)
            return;
        BeReader payload;
        if (!range.sub(static_cast<std::size_t>(h->payload_size()), payload))
            return;
        fn(BoxEntry{*h, at}, payload);
    }
}

// The boxes of `range`, as for_each_box finds them.
inline std::vector<BoxEntry> list_boxes(std::span<const std::uint8_t> range)
{
    std::vector<BoxEntry> out;
    for_each_box(BeReader(range), [&](const BoxEntry& e, const BeReader&) { out.push_back(e); });
    return out;
}

// The bytes of one listed box, header included.
inline std::span<const std::uint8_t> box_bytes(std::span<const std::uint8_t> range, const BoxEntry& e)
{
    return range.subspan(e.offset, static_cast<std::size_t>(e.header.size));
}

// The payload of the box that fills `box` exactly (a box read whole), or an
// empty reader when its header does not fit.
inline BeReader box_payload(std::span<const std::uint8_t> box)
{
    BeReader r(box);
    const auto h = read_box_header(r);
    if (!h)
        return {};
    BeReader payload;
    r.sub(static_cast<std::size_t>(h->payload_size()), payload);
    return payload;
}

// Reads the version and flags of a full box.
inline bool read_full_box(BeReader& r, std::uint8_t& version, std::uint32_t& flags)
{
    std::uint32_t word = 0;
    if (!r.u32(word))
        return false;
    version = static_cast<std::uint8_t>(word >> 24);
    flags = word & 0xFFFFFFu;
    return true;
}

} // namespace kov
