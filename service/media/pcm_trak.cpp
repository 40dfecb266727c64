#include "media/pcm_trak.hpp"

#include <array>
#include <bit>
#include <limits>
#include <optional>
#include <string_view>

#include "media/be_reader.hpp"
#include "media/box_header.hpp"
#include "pcm/pcm_track.hpp"

namespace kov {

namespace {

constexpr std::uint64_t two_pow_32 = std::uint64_t{1} << 32;

std::uint64_t scale_down(std::uint64_t value, std::uint64_t mul, std::uint64_t div)
{
    if (div == 0)
        return 0;
    const unsigned __int128 r = static_cast<unsigned __int128>(value) * mul / div;
    return r > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                         : static_cast<std::uint64_t>(r);
}

// The first whole box of `type` among `boxes`, empty when there is none.
std::span<const std::uint8_t> first_of(const std::vector<std::vector<std::uint8_t>>& boxes, std::uint32_t type)
{
    for (const auto& b : boxes) {
        BeReader r(b);
        const auto h = read_box_header(r);
        if (h && h->type == type && h->size == b.size())
            return b;
    }
    return {};
}

struct EditEntry {
    std::uint64_t duration = 0;
    std::int64_t media_time = 0;
    std::uint32_t media_rate = 0;
};

// The entries of the first elst among the boxes of an edts payload; nothing
// when there is none or it holds fewer entries than it counts.
std::optional<std::vector<EditEntry>> read_elst(BeReader edts)
{
    std::optional<BeReader> elst;
    for_each_box(edts, [&](const BoxEntry& e, BeReader payload) {
        if (!elst && e.type() == fourcc("elst"))
            elst = payload;
    });
    std::uint8_t version = 0;
    std::uint32_t flags = 0, count = 0;
    if (!elst || !read_full_box(*elst, version, flags) || !elst->u32(count))
        return std::nullopt;
    BeReader& r = *elst;
    const std::uint64_t entry_size = version == 1 ? 20 : 12;
    if (std::uint64_t{count} * entry_size > r.remaining())
        return std::nullopt;
    std::vector<EditEntry> entries(count);
    for (EditEntry& e : entries) {
        if (version == 1) {
            std::uint64_t t = 0;
            r.u64(e.duration);
            r.u64(t);
            e.media_time = static_cast<std::int64_t>(t);
        } else {
            std::uint32_t d = 0, t = 0;
            r.u32(d);
            r.u32(t);
            e.duration = d;
            e.media_time = static_cast<std::int32_t>(t);
        }
        r.u32(e.media_rate);
    }
    return entries;
}

void write_edts(BeWriter& w, std::span<const EditEntry> entries)
{
    const std::size_t edts_at = w.begin_box("edts");
    const std::size_t elst_at = w.begin_full_box("elst", 1, 0);
    w.u32(static_cast<std::uint32_t>(entries.size()));
    for (const EditEntry& e : entries) {
        w.u64(e.duration);
        w.u64(static_cast<std::uint64_t>(e.media_time));
        w.u32(e.media_rate);
    }
    w.end_box(elst_at);
    w.end_box(edts_at);
}

// An edit list whose entries' media times are moved to the PCM frame at which
// that media time plays (the rescaling by rate, and the placement of the
// units). Segment durations count in the movie timescale and stay as they
// are. False, with nothing written, when there is no usable elst or it would
// not change.
bool write_placed_edts(BeWriter& w, BeReader edts, const PcmTrakParams& pcm)
{
    auto entries = read_elst(edts);
    if (!entries)
        return false;
    bool changed = false;
    for (EditEntry& e : *entries) {
        if (e.media_time < 0)
            continue;
        const auto time = static_cast<std::uint64_t>(e.media_time);
        const std::uint64_t frame =
            pcm.frame_at ? pcm.frame_at(time) : time_to_frame(time, pcm.media_timescale, pcm.rate);
        const std::int64_t placed = frame > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                                        ? std::numeric_limits<std::int64_t>::max()
                                        : static_cast<std::int64_t>(frame);
        changed = changed || placed != e.media_time;
        e.media_time = placed;
    }
    if (!changed && pcm.rate == pcm.media_timescale)
        return false;
    write_edts(w, *entries);
    return true;
}

// The channel layout box as ffmpeg's muxer writes it for PCM, for the order
// in which the AAC decoder delivers each channel configuration: a layout tag,
// or a channel bitmap (tag 0x10000) where no tag names that order. A program
// config element (configuration 0) and the rarer configurations name no
// order the layout could be sure of: no box.
struct ChannelLayout {
    std::uint32_t tag = 0;
    std::uint32_t bitmap = 0;
};
constexpr std::array<ChannelLayout, 8> channel_layouts{{
    {0, 0},
    {(100u << 16) | 1, 0}, // mono
    {(101u << 16) | 2, 0}, // stereo
    {(113u << 16) | 3, 0}, // L R C
    {0x10000, 0x107},      // L R C Cs
    {0x10000, 0x37},       // L R C Ls Rs
    {0x10000, 0x3f},       // L R C LFE Ls Rs
    {(128u << 16) | 8, 0}, // L R C LFE Ls Rs Lsd Rsd
}};

// The positions a channel bitmap can name.
constexpr std::uint32_t bitmap_positions = 0x3ffff;

void write_chan(BeWriter& w, const PcmTrakParams& pcm)
{
    ChannelLayout layout;
    if (pcm.channel_config != 0 && pcm.channel_config < channel_layouts.size())
        layout = channel_layouts[pcm.channel_config];
    else if (pcm.channel_bitmap != 0 && (pcm.channel_bitmap & ~bitmap_positions) == 0 &&
             static_cast<std::uint32_t>(std::popcount(pcm.channel_bitmap)) == pcm.channels)
        layout = {0x10000, pcm.channel_bitmap};
    else
        return;
    const std::size_t chan = w.begin_full_box("chan", 0, 0);
    w.u32(layout.tag);
    w.u32(layout.bitmap);
    w.u32(0); // no channel descriptions
    w.end_box(chan);
}

// The start of a sound description, up to its 16.16 rate.
void write_sound_fields(BeWriter& w, std::uint16_t version, std::uint16_t channels, std::uint16_t bits,
                        std::uint16_t compression_id, std::uint32_t rate_16_16)
{
    w.zeros(6);
    w.u16(1); // data reference index
    w.u16(version);
    w.u16(0); // revision level
    w.u32(0); // vendor
    w.u16(channels);
    w.u16(bits);
    w.u16(compression_id);
    w.u16(0); // packet size
    w.u32(rate_16_16);
}

void write_sample_entry(BeWriter& w, const PcmTrakParams& pcm)
{
    const std::uint32_t sample_bytes = pcm_sample_bytes(pcm.bits);
    const auto channels16 = static_cast<std::uint16_t>(pcm.channels);
    if (pcm.rate < 65536 && pcm.bits == 16) {
        const std::size_t sowt = w.begin_box("sowt");
        write_sound_fields(w, 0, channels16, 16, 0, pcm.rate << 16);
        write_chan(w, pcm);
        w.end_box(sowt);
        return;
    }
    if (pcm.rate < 65536) {
        // 24-bit integers take the version 1 description; without an
        // endianness box they are big-endian.
        const std::size_t in24 = w.begin_box("in24");
        write_sound_fields(w, 1, channels16, 24, 0, pcm.rate << 16);
        w.u32(1);                           // frames per packet
        w.u32(sample_bytes);                // bytes per packet, per channel
        w.u32(sample_bytes * pcm.channels); // bytes per frame
        w.u32(2);                           // bytes per sample: 2 for anything over 8 bits
        write_chan(w, pcm);
        w.end_box(in24);
        return;
    }
    // Rates that do not fit the 16.16 field need the version 2 description;
    // readers know it only under the linear PCM type, with the format in flags.
    const std::size_t lpcm = w.begin_box("lpcm");
    write_sound_fields(w, 2, 3, 16, 0xFFFE, 0x00010000);
    w.u32(72);
    w.u64(std::bit_cast<std::uint64_t>(static_cast<double>(pcm.rate)));
    w.u32(pcm.channels);
    w.u32(0x7F000000);
    w.u32(pcm.bits);
    // signed integer, packed, and big-endian for 24 bits
    w.u32(pcm.bits == 16 ? 12 : 14);
    w.u32(pcm.channels * sample_bytes);
    w.u32(1);
    write_chan(w, pcm);
    w.end_box(lpcm);
}

// Version 1 headers where a time or duration needs 64 bits.
struct HeaderVersions {
    std::uint8_t tkhd = 0;
    std::uint8_t mdhd = 0;
    std::uint64_t track_duration = 0; // in the movie timescale
};

HeaderVersions header_versions(const TrackHeaders& kept, const PcmTrakParams& pcm)
{
    HeaderVersions v;
    v.track_duration = pcm.movie_timescale ? scale_down(pcm.frames, pcm.movie_timescale, pcm.rate) : 0;
    const bool long_form = pcm.frames >= two_pow_32 || v.track_duration >= two_pow_32;
    v.tkhd = long_form || kept.created >= two_pow_32 || kept.modified >= two_pow_32 ? 1 : 0;
    v.mdhd = long_form || kept.media_created >= two_pow_32 || kept.media_modified >= two_pow_32 ? 1 : 0;
    return v;
}

// A time or duration field, 64-bit in version 1 boxes.
void write_field(BeWriter& w, std::uint8_t version, std::uint64_t value)
{
    if (version == 1)
        w.u64(value);
    else
        w.u32(static_cast<std::uint32_t>(value));
}

void write_tkhd(BeWriter& w, const TrackHeaders& kept, const PcmTrakParams& pcm, const HeaderVersions& v)
{
    const std::size_t tkhd = w.begin_full_box("tkhd", v.tkhd, kept.tkhd_flags);
    write_field(w, v.tkhd, kept.created);
    write_field(w, v.tkhd, kept.modified);
    w.u32(pcm.track_id ? pcm.track_id : 2);
    w.u32(0);
    write_field(w, v.tkhd, v.track_duration);
    w.zeros(8);
    w.u16(kept.layer);
    w.u16(kept.alternate_group);
    w.u16(kept.volume);
    w.u16(0);
    for (std::uint32_t m : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u})
        w.u32(m);
    w.u32(0);
    w.u32(0);
    w.end_box(tkhd);
}

void write_mdhd(BeWriter& w, const TrackHeaders& kept, const PcmTrakParams& pcm, const HeaderVersions& v)
{
    const std::size_t mdhd = w.begin_full_box("mdhd", v.mdhd, 0);
    write_field(w, v.mdhd, kept.media_created);
    write_field(w, v.mdhd, kept.media_modified);
    w.u32(pcm.rate);
    write_field(w, v.mdhd, pcm.frames);
    w.u16(kept.language);
    w.u16(0);
    w.end_box(mdhd);
}

// QuickTime names the component type (media or data handler) and counts its
// names (Pascal strings); ISO files leave the type 0 and end names with a
// zero. A kept name is written as it was stored.
void write_hdlr(BeWriter& w, bool quicktime, const char* component, const char* type, std::string_view name,
                std::span<const std::uint8_t> stored)
{
    const std::size_t at = w.begin_full_box("hdlr", 0, 0);
    if (quicktime)
        w.fourcc(component);
    else
        w.u32(0);
    w.fourcc(type);
    w.zeros(12);
    if (!stored.empty()) {
        w.bytes(stored);
    } else {
        if (quicktime)
            w.u8(static_cast<std::uint8_t>(name.size()));
        w.bytes(std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
        if (!quicktime)
            w.u8(0);
    }
    w.end_box(at);
}

void write_dinf(BeWriter& w)
{
    const std::size_t dinf = w.begin_box("dinf");
    const std::size_t dref = w.begin_full_box("dref", 0, 0);
    w.u32(1);
    w.end_box(w.begin_full_box("url ", 0, 0x000001));
    w.end_box(dref);
    w.end_box(dinf);
}

// One sample per PCM frame, all in one chunk; returns where the chunk's
// 64-bit offset goes, filled in once the layout knows where the PCM starts.
std::size_t write_stbl(BeWriter& w, const PcmTrakParams& pcm)
{
    const auto frames32 = static_cast<std::uint32_t>(pcm.frames);
    const std::size_t stbl = w.begin_box("stbl");
    const std::size_t stsd = w.begin_full_box("stsd", 0, 0);
    w.u32(1);
    write_sample_entry(w, pcm);
    w.end_box(stsd);
    const std::size_t stts = w.begin_full_box("stts", 0, 0);
    w.u32(1);
    w.u32(frames32);
    w.u32(1);
    w.end_box(stts);
    const std::size_t stsc = w.begin_full_box("stsc", 0, 0);
    w.u32(1);
    w.u32(1);
    w.u32(frames32);
    w.u32(1);
    w.end_box(stsc);
    const std::size_t stsz = w.begin_full_box("stsz", 0, 0);
    w.u32(pcm.channels * pcm_sample_bytes(pcm.bits));
    w.u32(frames32);
    w.end_box(stsz);
    const std::size_t co64 = w.begin_full_box("co64", 0, 0);
    w.u32(1);
    const std::size_t chunk_offset_at = w.size();
    w.u64(0);
    w.end_box(co64);
    w.end_box(stbl);
    return chunk_offset_at;
}

std::size_t write_mdia(BeWriter& w, const TrackHeaders& kept, const PcmTrakParams& pcm, const HeaderVersions& v)
{
    const std::size_t mdia = w.begin_box("mdia");
    write_mdhd(w, kept, pcm, v);
    write_hdlr(w, pcm.quicktime, "mhlr", "soun", "SoundHandler", kept.handler_name);
    const std::size_t minf = w.begin_box("minf");
    const std::size_t smhd = w.begin_full_box("smhd", 0, 0);
    w.u16(0);
    w.u16(0);
    w.end_box(smhd);
    if (pcm.quicktime)
        write_hdlr(w, true, "dhlr", "url ", "DataHandler", {});
    write_dinf(w);
    const std::size_t chunk_offset_at = write_stbl(w, pcm);
    w.end_box(minf);
    w.end_box(mdia);
    return chunk_offset_at;
}

} // namespace

std::size_t write_pcm_trak(BeWriter& w, const std::vector<std::vector<std::uint8_t>>& kept_boxes,
                           const TrackHeaders& kept, const PcmTrakParams& pcm)
{
    const HeaderVersions v = header_versions(kept, pcm);
    const std::size_t trak = w.begin_box("trak");
    write_tkhd(w, kept, pcm, v);
    w.bytes(first_of(kept_boxes, fourcc("tref")));
    if (const auto edts = first_of(kept_boxes, fourcc("edts")); !edts.empty()) {
        if (!write_placed_edts(w, box_payload(edts), pcm))
            w.bytes(edts);
    }
    const std::size_t chunk_offset_at = write_mdia(w, kept, pcm, v);
    w.bytes(first_of(kept_boxes, fourcc("udta")));
    w.bytes(first_of(kept_boxes, fourcc("meta")));
    w.end_box(trak);
    return chunk_offset_at;
}

} // namespace kov
