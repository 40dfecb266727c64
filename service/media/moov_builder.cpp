#include "media/moov_builder.hpp"

#include <bit>
#include <limits>

#include "media/be_reader.hpp"
#include "media/be_writer.hpp"

namespace kov {

namespace {

using u128 = unsigned __int128;

constexpr std::uint64_t two_pow_32 = std::uint64_t{1} << 32;

std::uint64_t scale_down(std::uint64_t value, std::uint64_t mul, std::uint64_t div)
{
    if (div == 0)
        return 0;
    const u128 r = static_cast<u128>(value) * mul / div;
    return r > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                         : static_cast<std::uint64_t>(r);
}

std::span<const std::uint8_t> child_bytes(std::span<const std::uint8_t> parent, const BoxEntry& e)
{
    return parent.subspan(e.offset, static_cast<std::size_t>(e.size));
}

const BoxEntry* first_of(const std::vector<BoxEntry>& list, std::uint32_t type)
{
    for (const auto& e : list)
        if (e.type == type)
            return &e;
    return nullptr;
}

// An elst whose entries get their media times moved from the AAC track's
// timescale to the PCM rate. Segment durations count in the movie timescale
// and stay as they are.
bool write_rescaled_elst(BeWriter& w, std::span<const std::uint8_t> edts, const PcmTrackParams& pcm)
{
    const auto children = list_children(edts);
    const BoxEntry* elst = first_of(children, fourcc("elst"));
    if (!elst || elst->size < 16)
        return false;
    BeReader r(child_bytes(edts, *elst).subspan(elst->header));
    std::uint8_t version = 0;
    std::uint32_t count = 0;
    if (!r.u8(version) || !r.skip(3) || !r.u32(count))
        return false;
    const std::uint64_t entry_size = version == 1 ? 20 : 12;
    if (std::uint64_t{count} * entry_size > r.remaining())
        return false;

    const std::size_t edts_at = w.begin_box("edts");
    const std::size_t elst_at = w.begin_full_box("elst", 1, 0);
    w.u32(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint64_t duration = 0;
        std::int64_t media_time = 0;
        std::uint32_t media_rate = 0;
        if (version == 1) {
            std::uint64_t t = 0;
            r.u64(duration);
            r.u64(t);
            media_time = static_cast<std::int64_t>(t);
        } else {
            std::uint32_t d = 0, t = 0;
            r.u32(d);
            r.u32(t);
            duration = d;
            media_time = static_cast<std::int32_t>(t);
        }
        r.u32(media_rate);
        if (media_time >= 0) {
            const std::uint64_t scaled =
                scale_down(static_cast<std::uint64_t>(media_time), pcm.rate, pcm.media_timescale);
            media_time = scaled > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                             ? std::numeric_limits<std::int64_t>::max()
                             : static_cast<std::int64_t>(scaled);
        }
        w.u64(duration);
        w.u64(static_cast<std::uint64_t>(media_time));
        w.u32(media_rate);
    }
    w.end_box(elst_at);
    w.end_box(edts_at);
    return true;
}

void write_edit_list(BeWriter& w, std::span<const std::uint8_t> source_trak, const PcmTrackParams& pcm)
{
    if (source_trak.size() < 8)
        return;
    const auto children = list_children(source_trak);
    const BoxEntry* edts = first_of(children, fourcc("edts"));
    if (!edts)
        return;
    const auto bytes = child_bytes(source_trak, *edts);
    if (pcm.rate != pcm.media_timescale && write_rescaled_elst(w, bytes, pcm))
        return;
    w.bytes(bytes);
}

void write_sound_description(BeWriter& w, const PcmTrackParams& pcm)
{
    if (pcm.rate < 65536) {
        w.u16(0); // version
        w.u16(0); // revision level
        w.u32(0); // vendor
        w.u16(static_cast<std::uint16_t>(pcm.channels));
        w.u16(16);
        w.u16(0); // compression ID
        w.u16(0); // packet size
        w.u32(pcm.rate << 16);
        return;
    }
    // Rates that do not fit the 16.16 field need the version 2 description.
    w.u16(2);
    w.u16(0);
    w.u32(0);
    w.u16(3);
    w.u16(16);
    w.u16(0xFFFE);
    w.u16(0);
    w.u32(0x00010000);
    w.u32(72);
    w.u64(std::bit_cast<std::uint64_t>(static_cast<double>(pcm.rate)));
    w.u32(pcm.channels);
    w.u32(0x7F000000);
    w.u32(16);
    w.u32(12); // signed integer, packed, little-endian
    w.u32(pcm.channels * 2);
    w.u32(1);
}

// Writes the PCM track; returns where its chunk offset lives.
std::size_t write_pcm_trak(BeWriter& w, std::span<const std::uint8_t> source_trak, const PcmTrackParams& pcm,
                           std::uint32_t movie_ts)
{
    const std::uint64_t track_duration = movie_ts ? scale_down(pcm.frames, movie_ts, pcm.rate) : 0;
    const bool long_form = pcm.frames >= two_pow_32 || track_duration >= two_pow_32;
    const std::uint8_t v = long_form ? 1 : 0;
    auto time_field = [&](std::uint64_t value) {
        if (long_form)
            w.u64(value);
        else
            w.u32(static_cast<std::uint32_t>(value));
    };
    const auto frames32 = static_cast<std::uint32_t>(pcm.frames);

    const std::size_t trak = w.begin_box("trak");
    const std::size_t tkhd = w.begin_full_box("tkhd", v, 0x000007);
    time_field(0);
    time_field(0);
    w.u32(pcm.track_id ? pcm.track_id : 2);
    w.u32(0);
    time_field(track_duration);
    w.zeros(8);
    w.u16(0);
    w.u16(0);
    w.u16(0x0100);
    w.u16(0);
    for (std::uint32_t m : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u})
        w.u32(m);
    w.u32(0);
    w.u32(0);
    w.end_box(tkhd);

    write_edit_list(w, source_trak, pcm);

    const std::size_t mdia = w.begin_box("mdia");
    const std::size_t mdhd = w.begin_full_box("mdhd", v, 0);
    time_field(0);
    time_field(0);
    w.u32(pcm.rate);
    time_field(pcm.frames);
    w.u16(0x55C4); // "und"
    w.u16(0);
    w.end_box(mdhd);

    const std::size_t hdlr = w.begin_full_box("hdlr", 0, 0);
    w.u32(0);
    w.fourcc("soun");
    w.zeros(12);
    static constexpr char handler_name[] = "SoundHandler";
    w.bytes(std::span(reinterpret_cast<const std::uint8_t*>(handler_name), sizeof handler_name));
    w.end_box(hdlr);

    const std::size_t minf = w.begin_box("minf");
    const std::size_t smhd = w.begin_full_box("smhd", 0, 0);
    w.u16(0);
    w.u16(0);
    w.end_box(smhd);
    const std::size_t dinf = w.begin_box("dinf");
    const std::size_t dref = w.begin_full_box("dref", 0, 0);
    w.u32(1);
    w.end_box(w.begin_full_box("url ", 0, 0x000001));
    w.end_box(dref);
    w.end_box(dinf);

    const std::size_t stbl = w.begin_box("stbl");
    const std::size_t stsd = w.begin_full_box("stsd", 0, 0);
    w.u32(1);
    const std::size_t sowt = w.begin_box("sowt");
    w.zeros(6);
    w.u16(1); // data reference index
    write_sound_description(w, pcm);
    w.end_box(sowt);
    w.end_box(stsd);

    // One sample per PCM frame, all in one chunk.
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
    w.u32(pcm.channels * 2);
    w.u32(frames32);
    w.end_box(stsz);
    const std::size_t co64 = w.begin_full_box("co64", 0, 0);
    w.u32(1);
    const std::size_t chunk_offset_at = w.size();
    w.u64(0); // filled in once the layout knows where the PCM starts
    w.end_box(co64);
    w.end_box(stbl);
    w.end_box(minf);
    w.end_box(mdia);
    w.end_box(trak);
    return chunk_offset_at;
}

} // namespace

std::vector<BoxEntry> list_children(std::span<const std::uint8_t> box)
{
    std::vector<BoxEntry> out;
    BeReader head(box);
    std::uint32_t own_size = 0;
    if (!head.u32(own_size) || box.size() < 8)
        return out;
    std::size_t pos = own_size == 1 ? 16 : 8;
    while (pos < box.size() && box.size() - pos >= 8) {
        BeReader r(box.subspan(pos));
        BoxEntry e;
        std::uint32_t size32 = 0;
        r.u32(size32);
        r.u32(e.type);
        e.offset = pos;
        e.size = size32;
        if (size32 == 1) {
            if (r.remaining() < 8)
                break;
            r.u64(e.size);
            e.header = 16;
        } else if (size32 == 0) {
            e.size = box.size() - pos;
        }
        if (e.size < e.header || e.size > box.size() - pos)
            break;
        out.push_back(e);
        pos += static_cast<std::size_t>(e.size);
    }
    return out;
}

std::uint32_t movie_timescale(std::span<const std::uint8_t> source_moov)
{
    std::uint32_t timescale = 0;
    for (const auto& e : list_children(source_moov)) {
        if (e.type != fourcc("mvhd"))
            continue;
        timescale = 0;
        // The payload is taken to start 8 bytes in, whatever the header form.
        const BeReader payload(child_bytes(source_moov, e).subspan(8));
        const std::size_t length = payload.remaining();
        std::uint8_t version = 0;
        if (length < 4 || !payload.peek_at(0, version))
            continue;
        if (version == 1 && length >= 36)
            payload.peek_at(20, timescale);
        else if (length >= 24)
            payload.peek_at(12, timescale);
    }
    return timescale;
}

std::optional<BuiltMoov> build_moov(std::span<const std::uint8_t> source_moov, const MediaScan& scan,
                                    std::size_t selected, const PcmTrackParams& pcm)
{
    const auto children = list_children(source_moov);
    const std::uint32_t movie_ts = movie_timescale(source_moov);

    BuiltMoov out;
    out.bytes.reserve(static_cast<std::size_t>(source_moov.size()) + 512);
    BeWriter w(out.bytes);
    const std::size_t moov = w.begin_box("moov");
    for (const auto& e : children)
        if (e.type == fourcc("mvhd"))
            w.bytes(child_bytes(source_moov, e));

    std::span<const std::uint8_t> selected_trak;
    std::size_t trak_index = 0;
    for (const auto& e : children) {
        if (e.type != fourcc("trak"))
            continue;
        const std::size_t index = trak_index++;
        if (index == selected)
            selected_trak = child_bytes(source_moov, e);
        if (index < scan.tracks.size() && scan.tracks[index].aac)
            continue;
        w.bytes(child_bytes(source_moov, e));
    }
    out.chunk_offset_at = write_pcm_trak(w, selected_trak, pcm, movie_ts);
    for (const auto& e : children)
        if (e.type == fourcc("udta"))
            w.bytes(child_bytes(source_moov, e));
    if (out.bytes.size() > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    w.end_box(moov);
    return out;
}

} // namespace kov
