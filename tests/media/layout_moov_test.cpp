// The new movie box, checked field by field on source movie boxes built here.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "media/be_reader.hpp"
#include "media/be_writer.hpp"
#include "media/box_header.hpp"
#include "media/moov_builder.hpp"
#include "media/pcm_trak.hpp"

namespace kov {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A source movie box: mvhd (timescale 1000), a video trak, an AAC trak
// (optionally with an edit list), an iods that must be dropped, a meta and a
// udta that must be kept.
struct SourceMoov {
    Bytes bytes;
    Bytes video_trak;
    Bytes meta;
    Bytes udta;
};

Bytes box(const char* type, const Bytes& payload)
{
    Bytes out;
    BeWriter w(out);
    const auto at = w.begin_box(type);
    w.bytes(payload);
    w.end_box(at);
    return out;
}

Bytes elst(std::uint8_t version, std::int64_t media_time, std::uint64_t duration)
{
    Bytes p;
    BeWriter w(p);
    w.u8(version);
    w.u24(0);
    w.u32(1);
    if (version == 1) {
        w.u64(duration);
        w.u64(static_cast<std::uint64_t>(media_time));
    } else {
        w.u32(static_cast<std::uint32_t>(duration));
        w.u32(static_cast<std::uint32_t>(media_time));
    }
    w.u32(0x00010000);
    return box("elst", p);
}

SourceMoov make_source(const Bytes& aac_edts)
{
    SourceMoov s;
    Bytes mvhd(100, 0);
    mvhd[12] = 0, mvhd[13] = 0, mvhd[14] = 0x03, mvhd[15] = 0xE8;
    s.video_trak = box("trak", box("tkhd", Bytes(84, 1)));
    Bytes aac_payload = box("tkhd", Bytes(84, 2));
    aac_payload.insert(aac_payload.end(), aac_edts.begin(), aac_edts.end());
    const Bytes aac_mdia = box("mdia", Bytes(40, 3));
    aac_payload.insert(aac_payload.end(), aac_mdia.begin(), aac_mdia.end());
    s.udta = box("udta", Bytes{1, 2, 3, 4});
    s.meta = box("meta", Bytes{0, 0, 0, 0, 5, 6});
    Bytes payload = box("mvhd", mvhd);
    for (const Bytes& b : {s.video_trak, box("trak", aac_payload), box("iods", Bytes(16, 9)), s.meta, s.udta})
        payload.insert(payload.end(), b.begin(), b.end());
    s.bytes = box("moov", payload);
    return s;
}

// The children of a whole box, with offsets from the box's first byte.
std::vector<BoxEntry> list_children(std::span<const std::uint8_t> box)
{
    const auto payload = box_payload(box).rest();
    auto list = list_boxes(payload);
    for (auto& e : list)
        e.offset += static_cast<std::size_t>(payload.data() - box.data());
    return list;
}

// Reads from bytes in memory, as from a file holding them.
ReadAtFn reader_of(const Bytes& file)
{
    return [&file](std::uint64_t offset, std::uint8_t* dest, std::size_t length) -> std::int64_t {
        if (offset > file.size())
            return -1;
        const std::size_t n = std::min<std::size_t>(length, file.size() - static_cast<std::size_t>(offset));
        std::memcpy(dest, file.data() + offset, n);
        return static_cast<std::int64_t>(n);
    };
}

// The scan of a file that is just `moov`, with default headers and the
// tracks numbered from 1 (the traks here hold filler, not real headers).
MediaScan scan_of(const Bytes& moov)
{
    MediaScan scan = scan_media_from(moov.size(), reader_of(moov));
    for (std::size_t i = 0; i < scan.tracks.size(); ++i) {
        scan.tracks[i].track_id = static_cast<std::uint32_t>(i + 1);
        scan.tracks[i].headers = TrackHeaders{};
    }
    return scan;
}

// The second track converted.
std::vector<TrackPlan> second_to_pcm(const PcmTrakParams& p, std::size_t tracks = 2)
{
    std::vector<TrackPlan> plans(tracks);
    plans[1].action = TrackPlan::Action::to_pcm;
    plans[1].pcm.rate = p.rate;
    plans[1].pcm.channels = p.channels;
    plans[1].pcm.total_frames = p.frames;
    plans[1].pcm.timescale = p.media_timescale;
    plans[1].pcm.bits = p.bits;
    plans[1].pcm.config.channel_config = p.channel_config;
    plans[1].pcm.config.channel_bitmap = p.channel_bitmap;
    return plans;
}

std::optional<BuiltMoov> build(const Bytes& moov, const PcmTrakParams& p)
{
    MediaScan scan = scan_of(moov);
    scan.tracks[1].timescale = p.media_timescale;
    return build_moov(reader_of(moov), scan, second_to_pcm(p, scan.tracks.size()));
}

std::span<const std::uint8_t> child(std::span<const std::uint8_t> parent, const char* type)
{
    for (const auto& e : list_children(parent))
        if (e.type() == (std::uint32_t(std::uint8_t(type[0])) << 24 | std::uint32_t(std::uint8_t(type[1])) << 16 |
                         std::uint32_t(std::uint8_t(type[2])) << 8 | std::uint8_t(type[3])))
            return parent.subspan(e.offset, static_cast<std::size_t>(e.size()));
    return {};
}

std::span<const std::uint8_t> path(std::span<const std::uint8_t> root, std::initializer_list<const char*> types)
{
    auto cur = root;
    for (const char* t : types)
        cur = child(cur, t);
    return cur;
}

// A new movie box as the analysis reads it back, as the only box of a file.
MediaScan scan_back(const Bytes& moov)
{
    return scan_media_from(moov.size(), reader_of(moov));
}

// The duration a track header states (the analysis has no use for it).
std::uint64_t tkhd_duration(std::span<const std::uint8_t> tkhd)
{
    BeReader r = box_payload(tkhd);
    std::uint8_t version = 0;
    std::uint32_t flags = 0, track_id = 0, reserved = 0;
    std::uint64_t created = 0, modified = 0, duration = 0;
    if (!read_full_box(r, version, flags))
        return 0;
    if (version == 1) {
        r.u64(created), r.u64(modified), r.u32(track_id), r.u32(reserved), r.u64(duration);
        return duration;
    }
    std::uint32_t c = 0, m = 0, d = 0;
    r.u32(c), r.u32(m), r.u32(track_id), r.u32(reserved), r.u32(d);
    return d;
}

struct Edit {
    std::uint64_t duration = 0;
    std::int64_t media_time = 0;
    std::uint32_t rate = 0;
    bool operator==(const Edit&) const = default;
};

// The entries of an elst box, either version.
std::vector<Edit> edits_of(std::span<const std::uint8_t> elst)
{
    BeReader r = box_payload(elst);
    std::uint8_t version = 0;
    std::uint32_t flags = 0, count = 0;
    std::vector<Edit> out;
    if (!read_full_box(r, version, flags) || !r.u32(count))
        return out;
    for (std::uint32_t i = 0; i < count; ++i) {
        Edit e;
        if (version == 1) {
            std::uint64_t t = 0;
            if (!r.u64(e.duration) || !r.u64(t))
                break;
            e.media_time = static_cast<std::int64_t>(t);
        } else {
            std::uint32_t d = 0, t = 0;
            if (!r.u32(d) || !r.u32(t))
                break;
            e.duration = d;
            e.media_time = static_cast<std::int32_t>(t);
        }
        r.u32(e.rate);
        out.push_back(e);
    }
    return out;
}

// The layout tag and channel bitmap of the chan box inside a sample
// description, found by its type; nothing without one.
std::optional<std::pair<std::uint32_t, std::uint32_t>> channel_layout_of(std::span<const std::uint8_t> stsd)
{
    const std::array<std::uint8_t, 4> type{'c', 'h', 'a', 'n'};
    const auto at = std::search(stsd.begin(), stsd.end(), type.begin(), type.end());
    if (at - stsd.begin() < 4)
        return std::nullopt;
    BeReader r = box_payload(stsd.subspan(static_cast<std::size_t>(at - stsd.begin() - 4)));
    std::uint8_t version = 0;
    std::uint32_t flags = 0, tag = 0, bitmap = 0, descriptions = 0;
    if (!read_full_box(r, version, flags) || !r.u32(tag) || !r.u32(bitmap) || !r.u32(descriptions) ||
        descriptions != 0 || r.remaining() != 0)
        return std::nullopt;
    return std::pair{tag, bitmap};
}

// The component type of a handler box: QuickTime names it, ISO leaves 0.
std::uint32_t component_of(std::span<const std::uint8_t> hdlr)
{
    BeReader r = box_payload(hdlr);
    std::uint8_t version = 0;
    std::uint32_t flags = 0, component = 0;
    read_full_box(r, version, flags) && r.u32(component);
    return component;
}

PcmTrakParams stereo48k(std::uint32_t media_timescale = 48000)
{
    PcmTrakParams p;
    p.track_id = 2;
    p.rate = 48000;
    p.channels = 2;
    p.frames = 102400;
    p.media_timescale = media_timescale;
    return p;
}

TEST(LayoutMoov, KeepsEveryChildInPlaceButIodsAndDescribesThePcm)
{
    const SourceMoov src = make_source({});
    const auto built = build(src.bytes, stereo48k());
    ASSERT_TRUE(built);
    const auto& out = built->bytes;
    const auto kids = list_children(out);
    ASSERT_EQ(kids.size(), 5u);
    EXPECT_EQ(kids[0].type(), fourcc("mvhd"));
    EXPECT_EQ(kids[1].type(), fourcc("trak"));
    EXPECT_EQ(kids[2].type(), fourcc("trak"));
    EXPECT_EQ(kids[3].type(), fourcc("meta"));
    EXPECT_EQ(kids[4].type(), fourcc("udta"));
    EXPECT_TRUE(std::equal(src.video_trak.begin(), src.video_trak.end(), out.begin() + kids[1].offset));
    EXPECT_TRUE(std::equal(src.meta.begin(), src.meta.end(), out.begin() + kids[3].offset));
    EXPECT_TRUE(std::equal(src.udta.begin(), src.udta.end(), out.begin() + kids[4].offset));

    // One sample per frame of 4 bytes, all in one chunk.
    const MediaScan back = scan_back(out);
    ASSERT_EQ(back.tracks.size(), 2u);
    const TrackScan& t = back.tracks[1];
    EXPECT_EQ(t.track_id, 2u);
    EXPECT_EQ(t.handler, "soun");
    EXPECT_EQ(t.format, "sowt");
    EXPECT_EQ(t.timescale, 48000u);
    EXPECT_EQ(t.duration, 102400u);
    EXPECT_EQ(t.sample_rate, 48000u);
    EXPECT_EQ(t.channels, 2u);
    EXPECT_EQ(t.bits, 16u);
    EXPECT_EQ(t.sample_count, 102400u);
    EXPECT_EQ(t.uniform_size, 4u);
    ASSERT_EQ(t.time_to_sample.size(), 1u);
    EXPECT_EQ(t.time_to_sample[0].count, 102400u);
    EXPECT_EQ(t.time_to_sample[0].delta, 1u);
    ASSERT_EQ(t.sample_to_chunk.size(), 1u);
    EXPECT_EQ(t.sample_to_chunk[0].first_chunk, 1u);
    EXPECT_EQ(t.sample_to_chunk[0].samples_per_chunk, 102400u);
    const auto trak = box_bytes(out, kids[2]);
    EXPECT_EQ(tkhd_duration(child(trak, "tkhd")), 2133u); // 1000 * 102400 / 48000
    // No channel configuration: no channel layout box.
    EXPECT_FALSE(channel_layout_of(path(trak, {"mdia", "minf", "stbl", "stsd"})));

    // The layout writes where the PCM starts at the place it was told.
    ASSERT_EQ(built->chunk_offset_at.size(), 1u);
    Bytes placed = out;
    BeWriter(placed).patch_u64(built->chunk_offset_at[0], 0x1'2345'6789);
    EXPECT_EQ(scan_back(placed).tracks[1].chunk_offsets, (std::vector<std::uint64_t>{0x1'2345'6789}));
}

TEST(LayoutMoov, EditListIsCopiedWhenRatesAgreeAndRescaledWhenTheyDiffer)
{
    // The converted track of a built movie box.
    auto new_trak = [](const BuiltMoov& built) { return box_bytes(built.bytes, list_children(built.bytes)[2]); };
    const Bytes edts = box("edts", elst(0, 2048, 5000));
    const SourceMoov src = make_source(edts);

    const auto same = build(src.bytes, stereo48k(48000));
    ASSERT_TRUE(same);
    EXPECT_TRUE(path(same->bytes, {"trak", "edts"}).empty()); // the copied video track has none
    const auto same_edts = child(new_trak(*same), "edts");
    EXPECT_TRUE(std::equal(same_edts.begin(), same_edts.end(), edts.begin(), edts.end()));

    // 44100 Hz timescale, 48000 Hz PCM: 2048 becomes 2048 * 48000 / 44100;
    // the segment duration counts in the movie timescale and stays.
    PcmTrakParams p = stereo48k(44100);
    p.frames = 111455;
    const auto rescaled = build(src.bytes, p);
    ASSERT_TRUE(rescaled);
    EXPECT_EQ(edits_of(path(new_trak(*rescaled), {"edts", "elst"})), (std::vector<Edit>{{5000, 2229, 0x00010000}}));
    EXPECT_EQ(scan_back(rescaled->bytes).tracks[1].duration, 111455u);

    // An empty edit (-1) stays as it is; version 1 entries are read too.
    const auto empty_edit = build(make_source(box("edts", elst(1, -1, 7000))).bytes, stereo48k(44100));
    ASSERT_TRUE(empty_edit);
    EXPECT_EQ(edits_of(path(new_trak(*empty_edit), {"edts", "elst"})), (std::vector<Edit>{{7000, -1, 0x00010000}}));

    // An elst whose count does not fit its box is not rewritten: copied.
    Bytes bad = elst(0, 2048, 5000);
    BeWriter(bad).patch_u32(12, 3); // entry count 3, room for 1
    const Bytes bad_edts = box("edts", bad);
    const auto kept = build(make_source(bad_edts).bytes, stereo48k(44100));
    ASSERT_TRUE(kept);
    const auto kept_edts = child(new_trak(*kept), "edts");
    EXPECT_TRUE(std::equal(kept_edts.begin(), kept_edts.end(), bad_edts.begin(), bad_edts.end()));
}

// 24-bit PCM takes QuickTime's version 1 description (in24), rates over
// 65535 Hz the version 2 one (lpcm), whose flags say 16-bit little-endian or
// 24-bit big-endian.
TEST(LayoutMoov, DeepOrFastPcmUsesQuickTimeSoundDescriptions)
{
    struct Case {
        std::uint32_t rate, bits;
        const char* format;
        std::uint32_t frame_bytes, lpcm_flags;
    };
    for (const Case c : {Case{88200, 16, "lpcm", 12, 12}, Case{96000, 16, "lpcm", 12, 12},
                         Case{48000, 24, "in24", 18, 0}, Case{96000, 24, "lpcm", 18, 14}}) {
        SCOPED_TRACE(c.rate);
        PcmTrakParams p = stereo48k(c.rate);
        p.rate = c.rate;
        p.channels = 6;
        p.bits = c.bits;
        const auto built = build(make_source({}).bytes, p);
        ASSERT_TRUE(built);
        const TrackScan t = scan_back(built->bytes).tracks[1];
        EXPECT_EQ(t.format, c.format);
        EXPECT_EQ(t.sample_rate, c.rate);
        EXPECT_EQ(t.channels, 6u);
        EXPECT_EQ(t.bits, c.bits);
        EXPECT_EQ(t.uniform_size, c.frame_bytes);
        const auto trak = box_bytes(built->bytes, list_children(built->bytes)[2]);
        const auto stsd = path(trak, {"mdia", "minf", "stbl", "stsd"});
        if (c.lpcm_flags) {
            // Past the stsd's header and count, the entry's header, its first
            // 28 bytes of fields and six fields of version 2.
            BeReader r(stsd.subspan(16 + 8 + 28 + 24));
            std::uint32_t flags = 0, bytes_per_frame = 0;
            ASSERT_TRUE(r.u32(flags) && r.u32(bytes_per_frame));
            EXPECT_EQ(flags, c.lpcm_flags);
            EXPECT_EQ(bytes_per_frame, c.frame_bytes);
        }
        // QuickTime's data handler as well: such a file reads as QuickTime.
        EXPECT_EQ(component_of(path(trak, {"mdia", "hdlr"})), fourcc("mhlr"));
        EXPECT_EQ(component_of(path(trak, {"mdia", "minf", "hdlr"})), fourcc("dhlr"));
    }
}

TEST(LayoutMoov, LongTrackDurationSwitchesToVersion1Headers)
{
    Bytes mvhd(100, 0);
    BeWriter(mvhd).patch_u32(12, 1'000'000'000); // the movie timescale: 1e9 per second
    Bytes payload = box("mvhd", mvhd);
    for (int i = 0; i < 2; ++i) {
        const Bytes trak = box("trak", box("tkhd", Bytes(84, 0)));
        payload.insert(payload.end(), trak.begin(), trak.end());
    }
    PcmTrakParams p = stereo48k();
    p.frames = 48000 * 10; // ten seconds: 1e10 movie ticks
    const auto built = build(box("moov", payload), p);
    ASSERT_TRUE(built);
    const auto trak = box_bytes(built->bytes, list_children(built->bytes)[2]);
    EXPECT_EQ(tkhd_duration(child(trak, "tkhd")), 10'000'000'000u);
    EXPECT_EQ(child(trak, "tkhd")[8], 1); // version
    const TrackScan t = scan_back(built->bytes).tracks[1];
    EXPECT_EQ(t.duration, 480000u);
    EXPECT_EQ(path(trak, {"mdia", "mdhd"})[8], 1);
}

TEST(LayoutMoov, ChildListStopsAtBoxesThatDoNotFit)
{
    Bytes payload = box("mvhd", Bytes(100, 0));
    const Bytes ok = box("trak", Bytes(10, 0));
    payload.insert(payload.end(), ok.begin(), ok.end());
    Bytes too_long = box("trak", Bytes(10, 0));
    too_long[3] = 200; // claims more than the parent holds
    payload.insert(payload.end(), too_long.begin(), too_long.end());
    EXPECT_EQ(list_children(box("moov", payload)).size(), 2u);

    Bytes zero_sized = box("free", Bytes(30, 0));
    zero_sized[3] = 0; // size 0: to the end of the parent
    const auto kids = list_children(box("moov", zero_sized));
    ASSERT_EQ(kids.size(), 1u);
    EXPECT_EQ(kids[0].size(), 38u);
}

} // namespace
} // namespace kov

namespace kov {
namespace {

TEST(LayoutMoov, ConvertedTracksKeepTheirHeadersReferencesAndUserDataAndGetAChannelLayout)
{
    // Two AAC traks with references and user data, around a video trak.
    const Bytes tref = box("tref", box("chap", Bytes{0, 0, 0, 3}));
    const Bytes udta = box("udta", box("name", Bytes{'G', 'a', 'm', 'e'}));
    Bytes aac = box("tkhd", Bytes(84, 0));
    for (const Bytes& b : {tref, box("mdia", Bytes(8, 0)), udta})
        aac.insert(aac.end(), b.begin(), b.end());
    Bytes payload = box("mvhd", Bytes(100, 0));
    for (const Bytes& b : {box("trak", aac), box("trak", box("tkhd", Bytes(84, 1))), box("trak", aac)})
        payload.insert(payload.end(), b.begin(), b.end());
    const Bytes moov = box("moov", payload);

    MediaScan scan = scan_of(moov);
    TrackHeaders& h = scan.tracks[0].headers;
    h.tkhd_flags = 3;
    h.created = 5'000'000'000; // past 32 bits: version 1 headers
    h.modified = 7;
    h.layer = 1;
    h.alternate_group = 2;
    h.volume = 0x80;
    h.media_created = 11;
    h.media_modified = 12;
    h.language = 0x15C7; // "eng"
    h.handler_name = {'G', 'a', 'm', 'e', 0};
    std::vector<TrackPlan> plans(3);
    for (std::size_t i : {0u, 2u}) {
        plans[i].action = TrackPlan::Action::to_pcm;
        plans[i].pcm.rate = 48000;
        plans[i].pcm.channels = i == 0 ? 6 : 8;
        plans[i].pcm.total_frames = 1000;
        plans[i].pcm.timescale = 48000;
        plans[i].pcm.config.channel_config = i == 0 ? 6 : 7;
    }
    const auto built = build_moov(reader_of(moov), scan, plans);
    ASSERT_TRUE(built);
    ASSERT_EQ(built->chunk_offset_at.size(), 2u);
    const auto kids = list_children(built->bytes);
    ASSERT_EQ(kids.size(), 4u);
    EXPECT_LT(built->chunk_offset_at[0], kids[2].offset); // in track order
    EXPECT_GT(built->chunk_offset_at[1], kids[3].offset);

    const MediaScan back = scan_back(built->bytes);
    ASSERT_EQ(back.tracks.size(), 3u);
    const TrackScan& first = back.tracks[0];
    EXPECT_EQ(first.track_id, 1u);
    const TrackHeaders& got = first.headers;
    EXPECT_EQ(got.tkhd_flags, 3u);
    EXPECT_EQ(got.created, 5'000'000'000u);
    EXPECT_EQ(got.modified, 7u);
    EXPECT_EQ(got.layer, 1u);
    EXPECT_EQ(got.alternate_group, 2u);
    EXPECT_EQ(got.volume, 0x80u);
    EXPECT_EQ(got.media_created, 11u);
    EXPECT_EQ(got.media_modified, 12u);
    EXPECT_EQ(got.language, 0x15C7u);
    EXPECT_EQ(got.handler_name, (Bytes{'G', 'a', 'm', 'e', 0}));
    // Version 1 where a time needs it, and only there.
    const auto trak = box_bytes(built->bytes, kids[1]);
    EXPECT_EQ(child(trak, "tkhd")[8], 1);
    EXPECT_EQ(path(trak, {"mdia", "mdhd"})[8], 0);
    const auto kept_tref = child(trak, "tref");
    EXPECT_TRUE(std::equal(kept_tref.begin(), kept_tref.end(), tref.begin(), tref.end()));
    const auto kept_udta = child(trak, "udta");
    EXPECT_TRUE(std::equal(kept_udta.begin(), kept_udta.end(), udta.begin(), udta.end()));

    // 5.1 as a channel bitmap, 7.1 as a layout tag, as ffmpeg's muxer writes them.
    const std::pair<std::size_t, std::pair<std::uint32_t, std::uint32_t>> layouts[] = {{1, {0x10000, 0x3f}},
                                                                                       {3, {0x00800008, 0}}};
    for (const auto& [kid, want] : layouts)
        EXPECT_EQ(channel_layout_of(path(box_bytes(built->bytes, kids[kid]), {"mdia", "minf", "stbl", "stsd"})),
                  want);
}

// Channels known by their positions become a bitmap, but only when it names
// as many channels as the track has and nothing a bitmap cannot hold.
TEST(LayoutMoov, ChannelPositionsBecomeABitmapWhenTheyFit)
{
    struct Case {
        std::uint32_t channels, bitmap;
        bool written;
    };
    for (const Case c : {Case{6, 0x60f, true}, Case{5, 0x607, true}, Case{8, 0x60f, false}, Case{1, 0x40000, false}}) {
        SCOPED_TRACE(c.bitmap);
        PcmTrakParams p = stereo48k();
        p.channels = c.channels;
        p.channel_bitmap = c.bitmap;
        const auto built = build(make_source({}).bytes, p);
        ASSERT_TRUE(built);
        const auto trak = box_bytes(built->bytes, list_children(built->bytes)[2]);
        const auto layout = channel_layout_of(path(trak, {"mdia", "minf", "stbl", "stsd"}));
        EXPECT_EQ(layout, c.written ? std::optional(std::pair{0x10000u, c.bitmap}) : std::nullopt);
    }
}

} // namespace
} // namespace kov
