#include "media/media_scan.hpp"

#include "common/full_io.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <limits>
#include <span>

#include "media/be_reader.hpp"
#include "media/box_header.hpp"
#include "media/fragment_scan.hpp"
#include "media/sound_entry.hpp"

namespace kov {

namespace {

// Enough for a fragmented recording of hours in short fragments; a hostile
// file of millions of empty boxes is walked but not all recorded (and then
// not rewritten, since the list no longer covers it).
constexpr std::size_t max_top_level_boxes = 1u << 20;

// One track while its boxes are walked, with what its codec is told by.
struct TrackState {
    TrackScan track;
    SoundEntry entry;
};

std::string four_chars(std::uint32_t type)
{
    std::string s(4, ' ');
    for (std::size_t i = 0; i < 4; ++i)
        s[i] = static_cast<char>(type >> (24 - 8 * i));
    return s;
}

// QuickTime sound description version 2 keeps its rate as a 64-bit float.
std::uint32_t rate_from_double(std::uint64_t raw)
{
    const double d = std::bit_cast<double>(raw);
    if (!std::isfinite(d) || d < 0 || d >= 4294967296.0)
        return 0;
    return static_cast<std::uint32_t>(d);
}

std::uint16_t narrow16(std::uint32_t v)
{
    return v > 0xffffu ? 0 : static_cast<std::uint16_t>(v);
}

// The fields of a sound sample entry after its type, reserved bytes and data
// reference index: QuickTime's versions 1 and 2 add their own. Leaves `r` where
// the entry's boxes start.
bool read_sound_fields(BeReader& r, TrackScan& t)
{
    std::uint16_t version = 0, revision = 0;
    std::uint32_t vendor = 0;
    if (!r.u16(version) || !r.u16(revision) || !r.u32(vendor))
        return false;
    if (version == 2) {
        std::uint64_t rate = 0;
        std::uint32_t channels = 0, bits = 0;
        // constants, then the rate as a double, channels, a constant, bits;
        // then flags and two packet sizes
        if (!r.skip(16) || !r.u64(rate) || !r.u32(channels) || !r.skip(4) || !r.u32(bits))
            return false;
        t.sample_rate = rate_from_double(rate);
        t.channels = narrow16(channels);
        t.bits = narrow16(bits);
        return r.skip(12);
    }
    std::uint16_t compression = 0, packet_size = 0;
    std::uint32_t rate = 0;
    if (!r.u16(t.channels) || !r.u16(t.bits) || !r.u16(compression) || !r.u16(packet_size) || !r.u32(rate))
        return false;
    t.sample_rate = rate >> 16;
    return version != 1 || r.skip(16); // four packet and frame sizes
}

// The esds and codec configuration of one box of a sound entry.
void read_entry_box(std::uint32_t type, BeReader box, SoundEntry& entry)
{
    if (type == fourcc("esds")) {
        read_es_descriptor(box, entry.es);
    } else if (is_codec_box(type) && entry.box(type).empty()) {
        const auto payload = box.rest();
        entry.boxes.push_back({type, {payload.begin(), payload.end()}});
    }
}

// The boxes of a sound entry, also inside QuickTime's wave box.
void read_entry_boxes(BeReader boxes, SoundEntry& entry)
{
    for_each_box(boxes, [&](const BoxEntry& e, BeReader child) {
        if (e.type() == fourcc("wave") && child.remaining() >= 8) {
            for_each_box(child, [&](const BoxEntry& inner, BeReader grand) {
                read_entry_box(inner.type(), grand, entry);
            });
        } else {
            read_entry_box(e.type(), child, entry);
        }
    });
}

// The first sample entry: its type and, for sound, what the decoder needs.
void scan_stsd(BeReader r, TrackState& st)
{
    TrackScan& t = st.track;
    const std::size_t len = r.remaining();
    std::uint8_t version_byte = 0;
    std::uint32_t flags = 0, entries = 0, entry_size = 0, format = 0;
    if (len < 16 || !read_full_box(r, version_byte, flags) || !r.u32(entries) || entries == 0)
        return;
    r.u32(entry_size); // of the first entry; later entries are not looked at
    r.u32(format);
    t.format = four_chars(format);
    constexpr std::size_t sound_entry_min = 44; // through the version 0 fields
    if (t.handler != "soun" || len < sound_entry_min || !r.skip(8))
        return;
    const bool whole = read_sound_fields(r, t);
    st.entry.format = format;
    st.entry.channels = t.channels;
    st.entry.bits = t.bits;
    st.entry.sample_rate = t.sample_rate;
    if (!whole)
        return;
    // The boxes run to the end of the first entry (its size counts from 8
    // bytes into the payload) or of the box, whichever comes first.
    const std::uint64_t end = std::min<std::uint64_t>(len, std::uint64_t{entry_size} + 8);
    BeReader boxes;
    if (end > r.position() && r.sub(static_cast<std::size_t>(end - r.position()), boxes))
        read_entry_boxes(boxes, st.entry);
}

// Reads `count` entries with read_one when the box holds all of them; a table
// shorter than its count gives nothing.
template <typename T, typename ReadOne>
void read_table(BeReader r, std::uint64_t count, std::size_t entry_bytes, std::vector<T>& out, ReadOne read_one)
{
    if (r.remaining() / entry_bytes < count)
        return;
    out.reserve(out.size() + static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i)
        out.push_back(read_one(r));
}

std::uint32_t read_u32(BeReader& r)
{
    std::uint32_t v = 0;
    r.u32(v);
    return v;
}

// Each sample table reader gets the box past its version and flags.
void read_stsz(BeReader box, TrackScan& t)
{
    std::uint32_t uniform = 0, count = 0;
    if (!box.u32(uniform) || !box.u32(count))
        return;
    t.sample_count = count;
    if (uniform != 0)
        t.uniform_size = uniform;
    else
        read_table(box, count, 4, t.sample_sizes, read_u32);
}

void read_stts(BeReader box, TrackScan& t)
{
    const std::uint32_t count = read_u32(box);
    read_table(box, count, 8, t.time_to_sample, [](BeReader& r) {
        TimeToSample x;
        r.u32(x.count);
        r.u32(x.delta);
        return x;
    });
}

void read_stsc(BeReader box, TrackScan& t)
{
    const std::uint32_t count = read_u32(box);
    read_table(box, count, 12, t.sample_to_chunk, [](BeReader& r) {
        SampleToChunk x;
        r.u32(x.first_chunk);
        r.u32(x.samples_per_chunk);
        r.u32(x.description_index);
        return x;
    });
}

void read_stco(BeReader box, TrackScan& t)
{
    const std::uint32_t count = read_u32(box);
    read_table(box, count, 4, t.chunk_offsets, [](BeReader& r) { return std::uint64_t{read_u32(r)}; });
}

void read_co64(BeReader box, TrackScan& t)
{
    const std::uint32_t count = read_u32(box);
    read_table(box, count, 8, t.chunk_offsets, [](BeReader& r) {
        std::uint64_t v = 0;
        r.u64(v);
        return v;
    });
}

void read_stss(BeReader box, TrackScan& t)
{
    const std::uint32_t count = read_u32(box);
    const std::size_t before = t.sync_samples.size();
    read_table(box, count, 4, t.sync_samples, read_u32);
    t.sync_table = t.sync_table || count == 0 || t.sync_samples.size() != before;
}

void read_ctts(BeReader box, TrackScan& t)
{
    const std::uint32_t count = read_u32(box);
    read_table(box, count, 8, t.composition_offsets, [](BeReader& r) {
        CompositionOffset x;
        r.u32(x.count);
        x.offset = static_cast<std::int32_t>(read_u32(r)); // version 0 offsets above 2^31 do not occur
        return x;
    });
}

struct TableReader {
    std::uint32_t type;
    void (*read)(BeReader, TrackScan&);
};
constexpr std::array<TableReader, 7> table_readers{{
    {fourcc("stsz"), read_stsz},
    {fourcc("stts"), read_stts},
    {fourcc("stsc"), read_stsc},
    {fourcc("stco"), read_stco},
    {fourcc("co64"), read_co64},
    {fourcc("stss"), read_stss},
    {fourcc("ctts"), read_ctts},
}};

void scan_stbl(BeReader stbl, TrackState& st)
{
    for_each_box(stbl, [&](const BoxEntry& e, BeReader box) {
        if (e.type() == fourcc("stsd")) {
            scan_stsd(box, st);
            return;
        }
        std::uint8_t version = 0;
        std::uint32_t flags = 0;
        if (box.remaining() < 8 || !read_full_box(box, version, flags))
            return;
        for (const TableReader& reader : table_readers)
            if (reader.type == e.type())
                reader.read(box, st.track);
    });
}

// Creation and modification times, 64-bit in version 1 headers.
bool read_times(BeReader& r, std::uint8_t version, std::uint64_t& created, std::uint64_t& modified)
{
    if (version == 1)
        return r.u64(created) && r.u64(modified);
    std::uint32_t c = 0, m = 0;
    if (!r.u32(c) || !r.u32(m))
        return false;
    created = c;
    modified = m;
    return true;
}

void scan_mdhd(BeReader r, TrackScan& t)
{
    std::uint8_t version = 0;
    std::uint32_t flags = 0, timescale = 0;
    std::uint64_t created = 0, modified = 0, duration = 0;
    if (!read_full_box(r, version, flags) || !read_times(r, version, created, modified) || !r.u32(timescale))
        return;
    if (version == 1) {
        if (!r.u64(duration))
            return;
    } else {
        std::uint32_t d = 0;
        if (!r.u32(d))
            return;
        duration = d;
    }
    t.timescale = timescale;
    t.duration = duration;
    t.headers.media_created = created;
    t.headers.media_modified = modified;
    r.u16(t.headers.language);
}

void scan_hdlr(BeReader r, TrackScan& t)
{
    std::uint8_t version = 0;
    std::uint32_t flags = 0, pre_defined = 0, type = 0;
    if (!read_full_box(r, version, flags) || !r.u32(pre_defined) || !r.u32(type))
        return;
    t.handler = four_chars(type);
    if (r.skip(12)) {
        const auto name = r.rest();
        t.headers.handler_name.assign(name.begin(), name.end());
    }
}

void scan_mdia(BeReader mdia, TrackState& st)
{
    TrackScan& t = st.track;
    // The handler first, wherever it stands: it says how to read the sample entry.
    for_each_box(mdia, [&](const BoxEntry& e, BeReader box) {
        if (e.type() == fourcc("hdlr"))
            scan_hdlr(box, t);
    });
    for_each_box(mdia, [&](const BoxEntry& e, BeReader box) {
        if (e.type() == fourcc("mdhd")) {
            scan_mdhd(box, t);
        } else if (e.type() == fourcc("minf")) {
            for_each_box(box, [&](const BoxEntry& inner, BeReader stbl) {
                if (inner.type() == fourcc("stbl"))
                    scan_stbl(stbl, st);
            });
        }
    });
}

void scan_tkhd(BeReader r, TrackScan& t)
{
    std::uint8_t version = 0;
    std::uint32_t flags = 0, track_id = 0;
    std::uint64_t created = 0, modified = 0;
    if (!read_full_box(r, version, flags) || !read_times(r, version, created, modified) || !r.u32(track_id))
        return;
    t.track_id = track_id;
    TrackHeaders& h = t.headers;
    h.tkhd_flags = flags;
    h.created = created;
    h.modified = modified;
    // reserved, duration, two reserved words; then layer, alternate group, volume
    if (!r.skip(4 + (version == 1 ? 8 : 4) + 8) || r.remaining() < 6)
        return;
    r.u16(h.layer);
    r.u16(h.alternate_group);
    r.u16(h.volume);
}

// `payload_at`: the file offset of the trak's payload.
TrackScan scan_trak(BeReader trak, std::uint64_t payload_at)
{
    TrackState st;
    TrackScan& t = st.track;
    for_each_box(trak, [&](const BoxEntry& e, BeReader box) {
        if (e.type() == fourcc("tref") || e.type() == fourcc("edts") || e.type() == fourcc("udta") ||
            e.type() == fourcc("meta"))
            t.kept_boxes.push_back({payload_at + e.offset, e.header});
        if (e.type() == fourcc("tkhd"))
            scan_tkhd(box, t);
        else if (e.type() == fourcc("mdia"))
            scan_mdia(box, st);
    });
    t.decoder = decoder_config_of(st.entry);
    t.codec = t.decoder.codec;
    return std::move(st.track);
}

} // namespace

namespace {

// Whether the file type's major brand is QuickTime's; `head` holds the box's first bytes.
bool quicktime_brand(std::span<const std::uint8_t> head, const BoxHeader& h)
{
    BeReader r(head);
    std::uint32_t brand = 0;
    return h.header_size == 8 && r.skip(8) && r.u32(brand) && brand == fourcc("qt  ");
}

// Walks the top-level boxes, recording them and where the movie box is;
// returns whether a file type box was among them.
bool walk_top_level(MediaScan& scan, TopLevelReads& reads)
{
    const std::uint64_t file_size = scan.file_size;
    bool saw_ftyp = false;
    std::uint64_t offset = 0;
    while (file_size >= 8 && file_size - offset >= 8) {
        std::array<std::uint8_t, 16> buffer{};
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(16, file_size - offset));
        const std::int64_t got = reads.header(offset, buffer.data(), want);
        if (got < 8)
            break;
        const std::span<const std::uint8_t> head(buffer.data(), static_cast<std::size_t>(got));
        const auto h = decode_box_header(head, file_size - offset);
        if (!h) {
            // A header whole but for its box running past the end: a recording cut off there.
            const auto declared = decode_box_header(head, std::numeric_limits<std::uint64_t>::max());
            if (declared && !declared->to_end && declared->header_size <= file_size - offset)
                scan.cut_box = FileBox{offset, *declared};
            break;
        }
        if (scan.boxes.size() < max_top_level_boxes)
            scan.boxes.push_back({offset, *h});
        reads.found(offset, *h, file_size);
        if (h->type == fourcc("ftyp")) {
            saw_ftyp = true;
            scan.quicktime = quicktime_brand(head, *h);
        } else if (h->type == fourcc("moof")) {
            scan.fragmented = true;
        } else if (h->type == fourcc("moov")) {
            scan.moov_offset = offset;
            scan.moov_size = h->size;
        }
        offset += h->size;
    }
    return saw_ftyp;
}

// The children of the movie box read whole, and its tracks.
void scan_moov(MediaScan& scan, std::span<const std::uint8_t> moov)
{
    const BeReader payload = box_payload(moov);
    const std::size_t payload_at = moov.size() - payload.remaining();
    for_each_box(payload, [&](const BoxEntry& e, BeReader child) {
        const std::uint64_t at = scan.moov_offset + payload_at + e.offset;
        scan.moov_boxes.push_back({at, e.header});
        if (e.type() != fourcc("trak"))
            return;
        scan.tracks.push_back(scan_trak(child, at + e.header.header_size));
        scan.tracks.back().trak_offset = payload_at + e.offset;
        scan.tracks.back().trak_size = e.size();
    });
}

} // namespace

MediaScan scan_media_from(std::uint64_t file_size, const ReadAtFn& read_bytes, CodecSet convert)
{
    MediaScan scan;
    scan.file_size = file_size;
    scan.kept_size = file_size;
    TopLevelReads reads(read_bytes);
    const bool saw_ftyp = walk_top_level(scan, reads);
    if (scan.moov_size == 0 || scan.moov_size > max_moov_size)
        return scan;
    std::vector<std::uint8_t> moov(static_cast<std::size_t>(scan.moov_size));
    if (read_bytes(scan.moov_offset, moov.data(), moov.size()) != static_cast<std::int64_t>(moov.size()))
        return scan;
    scan_moov(scan, moov);
    // Lossless audio of more than 24 bits would lose its low bits in the
    // 24-bit PCM written for deep audio: such tracks stay as they are.
    for (TrackScan& t : scan.tracks)
        if (!convert.has(t.decoder.codec) || t.decoder.bits > 24)
            t.decoder = {};
    if (scan.fragmented)
        add_fragment_samples(scan, moov, reads);
    scan.is_bmff = saw_ftyp || !scan.tracks.empty();
    scan.has_aac = std::any_of(scan.tracks.begin(), scan.tracks.end(),
                               [](const TrackScan& t) { return t.decoder.codec != Codec::none; });
    return scan;
}

TrackScan read_track(int fd, std::uint64_t offset, std::uint64_t size)
{
    if (size < 8 || size > max_moov_size)
        return {};
    std::vector<std::uint8_t> trak(static_cast<std::size_t>(size));
    if (pread_full(fd, trak.data(), trak.size(), offset) != static_cast<std::int64_t>(trak.size()))
        return {};
    const BeReader payload = box_payload(trak);
    return scan_trak(payload, offset + (trak.size() - payload.remaining()));
}

MediaScan scan_media(int fd, CodecSet convert)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return scan_media_from(static_cast<std::uint64_t>(st.st_size),
                           [fd](std::uint64_t offset, std::uint8_t* dest, std::size_t length) {
                               return pread_full(fd, dest, length, offset);
                           },
                           convert);
}

} // namespace kov
