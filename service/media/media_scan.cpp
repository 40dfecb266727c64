#include "media/media_scan.hpp"

#include "common/full_io.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <span>

#include "media/be_reader.hpp"
#include "media/box_header.hpp"

namespace kov {

namespace {

// A movie box is tables, not media: even a day-long film with several tracks
// stays far below this. A larger one is treated as unreadable rather than
// letting one hostile file make the service allocate gigabytes.
constexpr std::uint64_t max_moov_size = 256u << 20;

// 64 MiB of units: over 12 hours of AAC at 96 kHz, 24 at 48 kHz. A few bytes
// of hostile tables can claim billions of samples; the list stops here
// instead of costing gigabytes and seconds per file.
constexpr std::uint64_t max_access_units = 1u << 22;

constexpr std::array<std::uint32_t, 16> frequency_table{96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                                        16000, 12000, 11025, 8000,  7350,  0,     0,     0};
constexpr std::array<std::uint32_t, 16> channel_table{0, 1, 2, 3, 4, 5, 6, 8, 0, 0, 0, 7, 8, 0, 8, 0};

// One track while its boxes are walked, with the signs that decide `aac`.
struct TrackState {
    TrackScan track;
    bool aac_sign = false;     // DecoderConfigDescriptor 0x40 or a non-empty DecoderSpecificInfo
    bool mpeg12_audio = false; // DecoderConfigDescriptor 0x69 / 0x6B: MP3 stored in MP4
};

// Calls fn(type, payload) for each valid box of `range`, stopping at the first
// invalid one or when fewer than 8 bytes are left.
template <typename Fn> void walk_boxes(BeReader range, Fn&& fn)
{
    while (range.remaining() >= 8) {
        const auto h = read_box_header(range);
        if (!h)
            return;
        BeReader payload;
        if (!range.sub(h->payload_size(), payload))
            return;
        fn(h->type, payload);
    }
}

std::string four_chars(std::span<const std::uint8_t> bytes, std::size_t at)
{
    if (at > bytes.size() || bytes.size() - at < 4)
        return {};
    return std::string(reinterpret_cast<const char*>(bytes.data() + at), 4);
}

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

void parse_asc(TrackScan& t)
{
    const std::span<const std::uint8_t> asc(t.asc);
    const std::uint32_t aot = asc_bits(asc, 0, 5);
    std::size_t q = aot == 31 ? 11 : 5;
    const std::uint32_t index = asc_bits(asc, q, 4);
    q += 4;
    std::uint32_t rate = 0;
    if (index == 15) {
        rate = asc_bits(asc, q, 24);
        q += 24;
    } else {
        rate = frequency_table[index];
    }
    t.asc_channels = channel_table[asc_bits(asc, q, 4)];
    if (aot == 5 || aot == 29) {
        t.sbr = true;
        const std::uint32_t ext = asc_bits(asc, q + 4, 4);
        rate = ext == 15 ? asc_bits(asc, q + 8, 24) : frequency_table[ext];
    }
    t.asc_rate = rate;
}

// The descriptors of an esds payload: ES_Descriptor, DecoderConfigDescriptor,
// DecoderSpecificInfo. Every index is checked against n before use.
void walk_descriptors(std::span<const std::uint8_t> p, TrackState& st)
{
    const std::size_t n = p.size();
    if (n < 5)
        return;
    std::size_t pos = 4;
    while (pos < n) {
        const std::uint8_t tag = p[pos];
        std::size_t at = pos + 1;
        std::size_t length = 0;
        for (int i = 0; i < 4 && at < n; ++i) {
            const std::uint8_t b = p[at++];
            length = (length << 7) | (b & 0x7fu);
            if (!(b & 0x80u))
                break;
        }
        const std::size_t content = at;
        if (length > n - content)
            length = n - content;
        if (tag == 3) {
            if (n - content < 3)
                return;
            const std::uint8_t flags = p[content + 2];
            std::size_t next = content + 3;
            if (flags & 0x80u)
                next += 2;
            if ((flags & 0x40u) && next < n)
                next += 1 + std::size_t{p[next]};
            if (flags & 0x20u)
                next += 2;
            pos = next;
        } else if (tag == 4) {
            if (content < n) {
                const std::uint8_t oti = p[content];
                if (oti == 0x40)
                    st.aac_sign = true;
                else if (oti == 0x69 || oti == 0x6b)
                    st.mpeg12_audio = true;
            }
            pos = content + 13;
        } else {
            if (tag == 5) {
                st.track.asc.assign(p.begin() + static_cast<std::ptrdiff_t>(content),
                                    p.begin() + static_cast<std::ptrdiff_t>(content + length));
                if (!st.track.asc.empty())
                    st.aac_sign = true;
                if (st.track.asc.size() >= 2)
                    parse_asc(st.track);
            }
            pos = content + length;
        }
    }
}

// QuickTime sound description version 2 keeps its rate as a 64-bit float.
std::uint32_t rate_from_double(std::uint64_t raw)
{
    const double d = std::bit_cast<double>(raw);
    if (!std::isfinite(d) || d < 0 || d >= 4294967296.0)
        return 0;
    return static_cast<std::uint32_t>(d);
}

std::uint16_t narrow16(std::uint32_t v) { return v > 0xffffu ? 0 : static_cast<std::uint16_t>(v); }

void scan_stsd(BeReader box, TrackState& st)
{
    TrackScan& t = st.track;
    const auto p = box.rest();
    const std::size_t len = p.size();
    std::uint32_t entries = 0, entry_size = 0;
    if (len < 16 || !box.peek_at(4, entries) || entries == 0)
        return;
    box.peek_at(8, entry_size);
    t.format = four_chars(p, 12);
    if (t.handler != "soun" || len < 44)
        return;

    std::uint16_t version = 0;
    box.peek_at(24, version);
    std::size_t children = 44;
    if (version == 2) {
        std::uint64_t rate = 0;
        std::uint32_t channels = 0, bits = 0;
        box.peek_at(48, rate);
        box.peek_at(56, channels);
        box.peek_at(64, bits);
        t.sample_rate = rate_from_double(rate);
        t.channels = narrow16(channels);
        t.bits = narrow16(bits);
        children = 80;
    } else {
        std::uint32_t rate = 0;
        box.peek_at(32, t.channels);
        box.peek_at(34, t.bits);
        box.peek_at(40, rate);
        t.sample_rate = rate >> 16;
        if (version == 1)
            children = 60;
    }
    const std::uint64_t end = std::min<std::uint64_t>(len, std::uint64_t{entry_size} + 8);
    if (end <= children || end - children < 8)
        return;
    walk_boxes(BeReader(p.subspan(children, static_cast<std::size_t>(end - children))),
               [&](std::uint32_t type, BeReader child) {
                   if (type == fourcc("esds")) {
                       walk_descriptors(child.rest(), st);
                   } else if (type == fourcc("wave") && child.remaining() >= 8) {
                       walk_boxes(child, [&](std::uint32_t inner, BeReader grand) {
                           if (inner == fourcc("esds"))
                               walk_descriptors(grand.rest(), st);
                       });
                   }
               });
}

// Appends `count` big-endian values of type T found at `from` when the box is
// long enough for all of them; a table shorter than its count gives nothing.
template <typename T, typename Out, typename Make>
void read_table(const BeReader& box, std::size_t from, std::uint64_t count, std::size_t entry_bytes, Out& out,
                Make make)
{
    const std::uint64_t len = box.remaining();
    if (len < from || (len - from) / entry_bytes < count)
        return;
    out.reserve(out.size() + static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i)
        out.push_back(make(box, from + static_cast<std::size_t>(i) * entry_bytes));
}

void scan_stbl(BeReader stbl, TrackState& st)
{
    TrackScan& t = st.track;
    walk_boxes(stbl, [&](std::uint32_t type, BeReader box) {
        const std::size_t len = box.remaining();
        std::uint32_t count = 0;
        if (type == fourcc("stsd")) {
            scan_stsd(box, st);
        } else if (type == fourcc("stsz")) {
            std::uint32_t uniform = 0;
            if (len < 12)
                return;
            box.peek_at(4, uniform);
            box.peek_at(8, count);
            t.sample_count = count;
            if (uniform != 0) {
                t.uniform_size = uniform;
                return;
            }
            read_table<std::uint32_t>(box, 12, count, 4, t.sample_sizes, [](const BeReader& b, std::size_t at) {
                std::uint32_t v = 0;
                b.peek_at(at, v);
                return v;
            });
        } else if (len < 8) {
            return;
        } else if (type == fourcc("stts")) {
            box.peek_at(4, count);
            read_table<TimeToSample>(box, 8, count, 8, t.time_to_sample, [](const BeReader& b, std::size_t at) {
                TimeToSample e;
                b.peek_at(at, e.count);
                b.peek_at(at + 4, e.delta);
                return e;
            });
        } else if (type == fourcc("stsc")) {
            box.peek_at(4, count);
            read_table<SampleToChunk>(box, 8, count, 12, t.sample_to_chunk, [](const BeReader& b, std::size_t at) {
                SampleToChunk e;
                b.peek_at(at, e.first_chunk);
                b.peek_at(at + 4, e.samples_per_chunk);
                b.peek_at(at + 8, e.description_index);
                return e;
            });
        } else if (type == fourcc("stco")) {
            box.peek_at(4, count);
            read_table<std::uint64_t>(box, 8, count, 4, t.chunk_offsets, [](const BeReader& b, std::size_t at) {
                std::uint32_t v = 0;
                b.peek_at(at, v);
                return std::uint64_t{v};
            });
        } else if (type == fourcc("co64")) {
            box.peek_at(4, count);
            read_table<std::uint64_t>(box, 8, count, 8, t.chunk_offsets, [](const BeReader& b, std::size_t at) {
                std::uint64_t v = 0;
                b.peek_at(at, v);
                return v;
            });
        }
    });
}

void scan_mdia(BeReader mdia, TrackState& st)
{
    TrackScan& t = st.track;
    walk_boxes(mdia, [&](std::uint32_t type, BeReader box) {
        const std::size_t len = box.remaining();
        if (type == fourcc("mdhd") && len >= 4) {
            std::uint8_t version = 0;
            box.peek_at(0, version);
            if (version == 1 && len >= 32) {
                box.peek_at(20, t.timescale);
                box.peek_at(24, t.duration);
            } else if (len >= 20) {
                std::uint32_t duration = 0;
                box.peek_at(12, t.timescale);
                box.peek_at(16, duration);
                t.duration = duration;
            }
        } else if (type == fourcc("hdlr") && len >= 12) {
            t.handler = four_chars(box.rest(), 8);
        } else if (type == fourcc("minf") && len >= 8) {
            walk_boxes(box, [&](std::uint32_t inner, BeReader stbl) {
                if (inner == fourcc("stbl") && stbl.remaining() >= 8)
                    scan_stbl(stbl, st);
            });
        }
    });
}

TrackScan scan_trak(BeReader trak)
{
    TrackState st;
    TrackScan& t = st.track;
    walk_boxes(trak, [&](std::uint32_t type, BeReader box) {
        const std::size_t len = box.remaining();
        if (type == fourcc("tkhd") && len >= 4) {
            std::uint8_t version = 0;
            box.peek_at(0, version);
            if (version == 1 && len >= 36)
                box.peek_at(20, t.track_id);
            else if (len >= 20)
                box.peek_at(12, t.track_id);
        } else if (type == fourcc("mdia") && len >= 8) {
            scan_mdia(box, st);
        }
    });
    t.aac = st.aac_sign || (t.handler == "soun" && t.format == "mp4a");
    // MP3 stored in MP4 also uses the "mp4a" entry; the editor decodes it
    // itself, so it must stay untouched rather than become silence.
    if (st.mpeg12_audio)
        t.aac = false;
    return std::move(st.track);
}

} // namespace

MediaScan scan_media_from(std::uint64_t file_size, const ReadAtFn& read_bytes)
{
    MediaScan scan;
    scan.file_size = file_size;
    bool saw_ftyp = false;

    std::uint64_t offset = 0;
    while (file_size >= 8 && file_size - offset >= 8) {
        std::array<std::uint8_t, 16> head{};
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(16, file_size - offset));
        const std::int64_t got = read_bytes(offset, head.data(), want);
        if (got < 8)
            break;
        const auto h = decode_box_header(std::span(head.data(), static_cast<std::size_t>(got)), file_size - offset);
        if (!h)
            break;
        if (h->type == fourcc("ftyp")) {
            saw_ftyp = true;
        } else if (h->type == fourcc("moof")) {
            scan.fragmented = true;
        } else if (h->type == fourcc("moov")) {
            scan.moov_offset = offset;
            scan.moov_size = h->size;
        }
        offset += h->size;
    }

    if (scan.moov_size == 0 || scan.moov_size > max_moov_size)
        return scan;
    std::vector<std::uint8_t> moov(static_cast<std::size_t>(scan.moov_size));
    if (read_bytes(scan.moov_offset, moov.data(), moov.size()) != static_cast<std::int64_t>(moov.size()))
        return scan;

    BeReader box{std::span<const std::uint8_t>(moov)};
    std::uint32_t size32 = 0;
    box.peek_at(0, size32);
    box.skip(size32 == 1 ? 16 : 8);
    walk_boxes(box, [&](std::uint32_t type, BeReader child) {
        if (type == fourcc("trak"))
            scan.tracks.push_back(scan_trak(child));
    });

    scan.is_bmff = saw_ftyp || !scan.tracks.empty();
    scan.has_aac = std::any_of(scan.tracks.begin(), scan.tracks.end(), [](const TrackScan& t) { return t.aac; });
    return scan;
}

MediaScan scan_media(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return scan_media_from(static_cast<std::uint64_t>(st.st_size),
                           [fd](std::uint64_t offset, std::uint8_t* dest, std::size_t length) {
                               return pread_full(fd, dest, length, offset);
                           });
}

std::vector<AccessUnit> build_access_units(const TrackScan& track)
{
    std::vector<AccessUnit> units;
    const auto& stsc = track.sample_to_chunk;
    const std::uint64_t n = track.chunk_offsets.size();
    if (track.sample_count == 0 || n == 0 || stsc.empty())
        return units;

    // The tables bound what can come out; reserve no more than that.
    const std::uint64_t limit = std::min(track.sample_count, max_access_units);
    std::uint64_t bound = 0;
    for (std::size_t e = 0; e < stsc.size() && bound < limit; ++e) {
        const std::uint64_t a = stsc[e].first_chunk;
        const std::uint64_t b = e + 1 < stsc.size() ? stsc[e + 1].first_chunk : n + 1;
        if (!(a < b && a >= 1 && a <= n))
            continue;
        const std::uint64_t samples = (std::min(b, n + 1) - a) * stsc[e].samples_per_chunk; // < 2^64
        bound = samples > limit - bound ? limit : bound + samples;
    }
    units.reserve(static_cast<std::size_t>(std::min(bound, limit)));

    std::uint64_t i = 0;
    for (std::size_t e = 0; e < stsc.size() && i < limit; ++e) {
        const std::uint64_t a = stsc[e].first_chunk;
        const std::uint64_t b = e + 1 < stsc.size() ? stsc[e + 1].first_chunk : n + 1;
        const std::uint32_t spc = stsc[e].samples_per_chunk;
        if (!(a < b && a >= 1 && a <= n))
            continue;
        for (std::uint64_t k = a; k < b && k <= n && i < limit; ++k) {
            std::uint64_t offset = track.chunk_offsets[static_cast<std::size_t>(k - 1)];
            for (std::uint32_t s = 0; s < spc && i < limit; ++s) {
                std::uint32_t size = track.uniform_size;
                if (size == 0)
                    size = i < track.sample_sizes.size() ? track.sample_sizes[static_cast<std::size_t>(i)] : 0;
                units.push_back({offset, size});
                offset += size;
                ++i;
            }
        }
    }
    return units;
}

} // namespace kov
