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
    plans[1].pcm.config.channel_config = p.channel_config;
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

std::uint32_t u32_at(std::span<const std::uint8_t> b, std::size_t at)
{
    std::uint32_t v = 0;
    BeReader(b).peek_at(at, v);
    return v;
}

std::uint64_t u64_at(std::span<const std::uint8_t> b, std::size_t at)
{
    std::uint64_t v = 0;
    BeReader(b).peek_at(at, v);
    return v;
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

TEST(LayoutMoov, KeepsEveryChildInPlaceButIodsAndAddsA401BytePcmTrak)
{
    const SourceMoov src = make_source({});
    const auto built = build(src.bytes, stereo48k());
    ASSERT_TRUE(built);
    const auto& out = built->bytes;
    EXPECT_EQ(u32_at(out, 0), out.size());
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
    EXPECT_EQ(kids[2].size(), 401u); // no channel configuration: no channel layout box

    const auto trak = std::span(out).subspan(kids[2].offset, 401);
    EXPECT_EQ(u32_at(path(trak, {"tkhd"}), 20), 2u);    // track_ID
    EXPECT_EQ(u32_at(path(trak, {"tkhd"}), 28), 2133u); // 1000 * 102400 / 48000
    const auto mdhd = path(trak, {"mdia", "mdhd"});
    EXPECT_EQ(u32_at(mdhd, 20), 48000u);
    EXPECT_EQ(u32_at(mdhd, 24), 102400u);
    const auto stbl = path(trak, {"mdia", "minf", "stbl"});
    const auto sowt = child(stbl, "stsd").subspan(16);
    EXPECT_EQ(u32_at(sowt, 0), 36u);
    EXPECT_EQ(u32_at(sowt, 4), fourcc("sowt"));
    EXPECT_EQ(u32_at(sowt, 32), 0xBB800000u); // 48000 in 16.16
    EXPECT_EQ(u32_at(child(stbl, "stsz"), 12), 4u);
    EXPECT_EQ(u32_at(child(stbl, "stsz"), 16), 102400u);
    EXPECT_EQ(u32_at(child(stbl, "stts"), 16), 102400u);
    EXPECT_EQ(u32_at(child(stbl, "stsc"), 20), 102400u);
    const auto co64 = child(stbl, "co64");
    ASSERT_EQ(co64.size(), 24u);
    ASSERT_EQ(built->chunk_offset_at.size(), 1u);
    EXPECT_EQ(static_cast<std::size_t>(co64.data() + 16 - out.data()), built->chunk_offset_at[0]);
}

TEST(LayoutMoov, EditListIsCopiedWhenRatesAgreeAndRescaledWhenTheyDiffer)
{
    const Bytes edts = box("edts", elst(0, 2048, 5000));
    const SourceMoov src = make_source(edts);

    const auto same = build(src.bytes, stereo48k(48000));
    ASSERT_TRUE(same);
    const auto copied = path(same->bytes, {"trak", "edts"}); // first trak is the copied video one
    EXPECT_TRUE(copied.empty());
    const auto kids = list_children(same->bytes);
    const auto new_trak = std::span(same->bytes).subspan(kids[2].offset, static_cast<std::size_t>(kids[2].size()));
    const auto same_edts = child(new_trak, "edts");
    EXPECT_TRUE(std::equal(same_edts.begin(), same_edts.end(), edts.begin(), edts.end()));
    EXPECT_EQ(new_trak.size(), 401u + edts.size());

    // 44100 Hz timescale, 48000 Hz PCM: 2048 becomes 2048 * 48000 / 44100.
    PcmTrakParams p = stereo48k(44100);
    p.frames = 111455;
    const auto rescaled = build(src.bytes, p);
    ASSERT_TRUE(rescaled);
    const auto rk = list_children(rescaled->bytes);
    const auto trak2 = std::span(rescaled->bytes).subspan(rk[2].offset, static_cast<std::size_t>(rk[2].size()));
    const auto new_elst = path(trak2, {"edts", "elst"});
    ASSERT_EQ(new_elst.size(), 16u + 20u);
    EXPECT_EQ(new_elst[8], 1); // version 1
    EXPECT_EQ(u32_at(new_elst, 12), 1u);
    EXPECT_EQ(u64_at(new_elst, 16), 5000u); // segment duration unchanged
    EXPECT_EQ(u64_at(new_elst, 24), 2229u); // media time rescaled
    EXPECT_EQ(u32_at(new_elst, 32), 0x00010000u);
    EXPECT_EQ(u32_at(path(trak2, {"mdia", "mdhd"}), 24), 111455u);

    // An empty edit (-1) stays as it is; version 1 entries are read too.
    const SourceMoov src1 = make_source(box("edts", elst(1, -1, 7000)));
    const auto empty_edit = build(src1.bytes, stereo48k(44100));
    ASSERT_TRUE(empty_edit);
    const auto ek = list_children(empty_edit->bytes);
    const auto trak3 = std::span(empty_edit->bytes).subspan(ek[2].offset, static_cast<std::size_t>(ek[2].size()));
    const auto elst3 = path(trak3, {"edts", "elst"});
    EXPECT_EQ(u64_at(elst3, 16), 7000u);
    EXPECT_EQ(u64_at(elst3, 24), ~std::uint64_t{0});

    // An elst whose count does not fit its box is not rewritten: copied.
    Bytes bad = elst(0, 2048, 5000);
    bad[15] = 3; // entry count 3, room for 1
    const Bytes bad_edts = box("edts", bad);
    const auto kept = build(make_source(bad_edts).bytes, stereo48k(44100));
    ASSERT_TRUE(kept);
    const auto kk = list_children(kept->bytes);
    const auto trak4 = std::span(kept->bytes).subspan(kk[2].offset, static_cast<std::size_t>(kk[2].size()));
    const auto kept_edts = child(trak4, "edts");
    EXPECT_TRUE(std::equal(kept_edts.begin(), kept_edts.end(), bad_edts.begin(), bad_edts.end()));
}

TEST(LayoutMoov, HighRatesUseTheVersion2SoundDescription)
{
    for (std::uint32_t rate : {88200u, 96000u}) {
        PcmTrakParams p = stereo48k(rate);
        p.rate = rate;
        p.channels = 6;
        const auto built = build(make_source({}).bytes, p);
        ASSERT_TRUE(built);
        const auto kids = list_children(built->bytes);
        const auto trak = std::span(built->bytes).subspan(kids[2].offset, static_cast<std::size_t>(kids[2].size()));
        // The longer description, and QuickTime's data handler: such a file reads as QuickTime.
        EXPECT_EQ(trak.size(), 401u + 36u + 44u);
        EXPECT_EQ(u32_at(child(path(trak, {"mdia"}), "hdlr"), 12), fourcc("mhlr"));
        EXPECT_EQ(u32_at(child(path(trak, {"mdia", "minf"}), "hdlr"), 12), fourcc("dhlr"));
        const auto sowt = child(path(trak, {"mdia", "minf", "stbl"}), "stsd").subspan(16);
        EXPECT_EQ(u32_at(sowt, 0), 72u);
        EXPECT_EQ(u32_at(sowt, 4), fourcc("lpcm"));
        EXPECT_EQ(sowt[17], 2); // version
        EXPECT_EQ(u32_at(sowt, 36), 72u);
        EXPECT_EQ(std::bit_cast<double>(u64_at(sowt, 40)), static_cast<double>(rate));
        EXPECT_EQ(u32_at(sowt, 48), 6u);
        EXPECT_EQ(u32_at(sowt, 60), 12u);
        EXPECT_EQ(u32_at(sowt, 64), 12u); // bytes per packet: 6 channels * 2
    }
}

TEST(LayoutMoov, LongTrackDurationSwitchesToVersion1Headers)
{
    Bytes mvhd(100, 0);
    mvhd[12] = 0x3B, mvhd[13] = 0x9A, mvhd[14] = 0xCA, mvhd[15] = 0x00; // 1e9 per second
    Bytes payload = box("mvhd", mvhd);
    for (int i = 0; i < 2; ++i) {
        const Bytes trak = box("trak", box("tkhd", Bytes(84, 0)));
        payload.insert(payload.end(), trak.begin(), trak.end());
    }
    PcmTrakParams p = stereo48k();
    p.frames = 48000 * 10; // ten seconds: 1e10 movie ticks
    const auto built = build(box("moov", payload), p);
    ASSERT_TRUE(built);
    const auto trak = std::span(built->bytes).subspan(list_children(built->bytes)[2].offset);
    const auto tkhd = child(trak, "tkhd");
    EXPECT_EQ(tkhd[8], 1);
    EXPECT_EQ(u64_at(tkhd, 36), 10000000000u);
    const auto mdhd = path(trak, {"mdia", "mdhd"});
    EXPECT_EQ(mdhd[8], 1);
    EXPECT_EQ(u64_at(mdhd, 32), 480000u);
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

    const auto first = box_bytes(built->bytes, kids[1]);
    const auto tkhd = child(first, "tkhd");
    EXPECT_EQ(tkhd[8], 1);                   // version
    EXPECT_EQ(u32_at(tkhd, 8), 0x01000003u); // version, flags
    EXPECT_EQ(u64_at(tkhd, 12), 5'000'000'000u);
    EXPECT_EQ(u64_at(tkhd, 20), 7u);
    EXPECT_EQ(u32_at(tkhd, 28), 1u);          // track ID
    EXPECT_EQ(u32_at(tkhd, 52), 0x00010002u); // layer, alternate group
    EXPECT_EQ(tkhd[56], 0);
    EXPECT_EQ(tkhd[57], 0x80); // volume
    const auto mdhd = path(first, {"mdia", "mdhd"});
    EXPECT_EQ(mdhd[8], 0); // media times fit 32 bits
    EXPECT_EQ(u32_at(mdhd, 12), 11u);
    EXPECT_EQ(u32_at(mdhd, 16), 12u);
    EXPECT_EQ(u32_at(mdhd, 28), 0x15C70000u); // language, pre_defined
    const auto hdlr = path(first, {"mdia", "hdlr"});
    EXPECT_EQ(Bytes(hdlr.end() - 5, hdlr.end()), (Bytes{'G', 'a', 'm', 'e', 0}));
    const auto kept_tref = child(first, "tref");
    EXPECT_TRUE(std::equal(kept_tref.begin(), kept_tref.end(), tref.begin(), tref.end()));
    const auto kept_udta = child(first, "udta");
    EXPECT_TRUE(std::equal(kept_udta.begin(), kept_udta.end(), udta.begin(), udta.end()));

    // 5.1 as a channel bitmap, 7.1 as a layout tag, as ffmpeg's muxer writes them.
    const std::pair<std::size_t, std::array<std::uint32_t, 2>> layouts[] = {{1, {0x10000, 0x3f}}, {3, {0x00800008, 0}}};
    for (const auto& [kid, want] : layouts) {
        const auto entry =
            child(path(box_bytes(built->bytes, kids[kid]), {"mdia", "minf", "stbl"}), "stsd").subspan(16);
        const auto chan = entry.subspan(36);
        ASSERT_EQ(chan.size(), 24u);
        EXPECT_EQ(u32_at(chan, 4), fourcc("chan"));
        EXPECT_EQ(u32_at(chan, 12), want[0]);
        EXPECT_EQ(u32_at(chan, 16), want[1]);
    }
}

} // namespace
} // namespace kov
