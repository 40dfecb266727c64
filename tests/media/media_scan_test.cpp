// The media analysis on hand-made structures: the header rule at top level and
// inside the movie box, the track fields, the descriptor walk, the access units.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "common/unique_fd.hpp"
#include "media/box_header.hpp"
#include "media/media_scan.hpp"
#include "media/sample_model.hpp"
#include "support/mp4_builder.hpp"
#include "support/test_env.hpp"

using namespace kov;
using namespace kov::test;

namespace {

TrackSpec aac_track()
{
    TrackSpec t;
    t.sample_count = 3;
    t.sample_sizes = {10, 20, 30};
    t.time_to_sample = {{3, 1024}};
    t.sample_to_chunk = {{1, 3, 1}};
    t.chunk_offsets = {1000};
    return t;
}

MediaScan scan_file(const std::string& path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return scan_media(fd.get());
}

} // namespace

TEST(BoxHeader, FollowsTheSizeRules)
{
    struct Case {
        Bytes head;
        std::uint64_t available;
        bool valid;
        std::uint64_t size;
        std::uint32_t header;
    };
    const Case cases[] = {
        {{0, 0, 0, 16, 'f', 'r', 'e', 'e'}, 16, true, 16, 8},
        {{0, 0, 0, 0, 'm', 'd', 'a', 't'}, 100, true, 100, 8},                        // size 0: to the end
        {{0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 2, 0, 0, 0, 0}, 1ull << 34, true, 1ull << 33, 16},
        {{0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 15}, 100, false, 0, 0}, // below its header
        {{0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 16}, 15, false, 0, 0},  // 64-bit needs 16 bytes
        {{0, 0, 0, 1, 'm', 'd', 'a', 't'}, 100, false, 0, 0},                         // 64-bit size not there
        {{0, 0, 0, 7, 'f', 'r', 'e', 'e'}, 100, false, 0, 0},
        {{0, 0, 0, 17, 'f', 'r', 'e', 'e'}, 16, false, 0, 0}, // longer than its parent
        {{0, 0, 0, 8, 'f', 'r', 'e'}, 100, false, 0, 0},
    };
    for (const auto& c : cases) {
        const auto h = decode_box_header(c.head, c.available);
        ASSERT_EQ(h.has_value(), c.valid) << "size byte " << int(c.head[3]) << " available " << c.available;
        if (h) {
            EXPECT_EQ(h->size, c.size);
            EXPECT_EQ(h->header_size, c.header);
        }
    }
    // Through a reader: on success it stands at the payload, on failure it has not moved.
    const Bytes two{0, 0, 0, 9, 'a', 'b', 'c', 'd', 0x42, 0, 0, 0, 9};
    BeReader r(two);
    const auto h = read_box_header(r);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->type, fourcc("abcd"));
    EXPECT_EQ(r.position(), 8u);
    r.skip(1);
    EXPECT_FALSE(read_box_header(r));
    EXPECT_EQ(r.position(), 9u);
}

TEST(MediaScan, NonFilesAndTinyFilesAreNotBmff)
{
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("tiny"), {0, 0, 0, 8, 'f', 't', 'y'}));
    for (const auto& s : {scan_file(dir.file("tiny")), scan_file(dir.path()), scan_media(-1)}) {
        EXPECT_FALSE(s.is_bmff);
        EXPECT_FALSE(s.has_aac);
        EXPECT_TRUE(s.tracks.empty());
    }
}

TEST(MediaScan, TopLevelWalk)
{
    {
        Mp4Builder b; // ftyp and mdat, no moov
        b.ftyp().mdat(100);
        const auto s = scan_bytes(b.bytes());
        EXPECT_FALSE(s.is_bmff);
        EXPECT_EQ(s.moov_size, 0u);
    }
    {
        Mp4Builder b; // a movie with one track is enough, even without ftyp
        b.moov({aac_track()});
        const auto s = scan_bytes(b.bytes());
        EXPECT_TRUE(s.is_bmff);
        EXPECT_TRUE(s.has_aac);
        EXPECT_EQ(s.moov_offset, 0u);
        EXPECT_EQ(s.moov_size, b.size());
    }
    {
        Mp4Builder b; // a size-0 last box reaches the end of the file
        b.ftyp();
        const std::size_t at = b.size();
        b.box_to_end("moov", [&] { b.trak(aac_track()); });
        const auto s = scan_bytes(b.bytes());
        EXPECT_EQ(s.moov_offset, at);
        EXPECT_EQ(s.moov_size, b.size() - at);
        ASSERT_EQ(s.tracks.size(), 1u);
    }
    {
        Mp4Builder b; // an oversized moov ends the walk and is not recorded
        b.ftyp().moov({aac_track()});
        const std::size_t first = 24;
        b.raw_box("moov", 1000, 16);
        const auto s = scan_bytes(b.bytes());
        EXPECT_TRUE(s.is_bmff);
        EXPECT_EQ(s.moov_offset, first); // the earlier, sound moov stays recorded
        Mp4Builder only;
        only.ftyp().raw_box("moov", 1000, 16);
        const auto s2 = scan_bytes(only.bytes());
        EXPECT_FALSE(s2.is_bmff);
        EXPECT_EQ(s2.moov_size, 0u);
    }
    {
        TrackSpec other = aac_track();
        other.track_id = 7;
        Mp4Builder b; // two moovs: the last one is recorded
        b.ftyp().moov({aac_track()}).mdat(8);
        const std::size_t second = b.size();
        b.moov({other});
        const auto s = scan_bytes(b.bytes());
        EXPECT_EQ(s.moov_offset, second);
        ASSERT_EQ(s.tracks.size(), 1u);
        EXPECT_EQ(s.tracks[0].track_id, 7u);
    }
    {
        Mp4Builder b; // 64-bit sizes at top level and on the moov itself; moof marks fragments
        b.ftyp();
        b.box64("mdat", [&] { b.w().zeros(40); });
        const std::size_t at = b.size();
        b.box64("moov", [&] { b.trak(aac_track()); });
        b.box("moof", [&] { b.w().zeros(8); });
        const auto s = scan_bytes(b.bytes());
        EXPECT_TRUE(s.fragmented);
        EXPECT_EQ(s.moov_offset, at);
        ASSERT_EQ(s.tracks.size(), 1u);
        EXPECT_EQ(s.tracks[0].sample_sizes, (std::vector<std::uint32_t>{10, 20, 30}));
    }
}

TEST(MediaScan, ReadsTrackFields)
{
    TrackSpec video;
    video.track_id = 1;
    video.handler = "vide";
    video.format = "avc1";
    video.timescale = 12800;
    video.duration = 51200;
    video.uniform_size = 500;
    video.sample_count = 4;
    video.sample_to_chunk = {{1, 2, 1}};
    video.chunk_offsets = {100, 5000};
    TrackSpec audio = aac_track();
    audio.track_id = 2;
    audio.version1_headers = true;
    audio.duration = 1ull << 33;
    audio.channels = 6;
    audio.bits = 16;
    audio.sample_rate = 48000;
    const auto s = scan_bytes(movie_file({video, audio}));
    ASSERT_EQ(s.tracks.size(), 2u);
    const TrackScan& v = s.tracks[0];
    EXPECT_EQ(v.track_id, 1u);
    EXPECT_EQ(v.handler, "vide");
    EXPECT_EQ(v.format, "avc1");
    EXPECT_EQ(v.timescale, 12800u);
    EXPECT_EQ(v.duration, 51200u);
    EXPECT_EQ(v.decoder.codec, Codec::none);
    EXPECT_EQ(v.channels, 0u); // audio fields are read only for sound tracks
    EXPECT_EQ(v.uniform_size, 500u);
    EXPECT_TRUE(v.sample_sizes.empty());
    const auto units = table_samples(v, max_track_samples);
    ASSERT_EQ(units.size(), 4u);
    EXPECT_EQ(units[1].offset, 600u);
    EXPECT_EQ(units[3].offset, 5500u);
    EXPECT_EQ(units[3].size, 500u);

    const TrackScan& a = s.tracks[1];
    EXPECT_EQ(a.track_id, 2u);
    EXPECT_EQ(a.duration, 1ull << 33);
    EXPECT_EQ(a.timescale, 44100u);
    EXPECT_EQ(a.channels, 6u);
    EXPECT_EQ(a.sample_rate, 48000u);
    EXPECT_EQ(a.decoder.extradata, (Bytes{0x12, 0x10}));
    EXPECT_EQ(a.decoder.rate, 44100u); // AAC LC, 44.1 kHz, stereo
    EXPECT_EQ(a.decoder.channels, 2u);
    EXPECT_EQ(a.decoder.frames_per_unit, 1024u);
    EXPECT_EQ(a.decoder.codec, Codec::aac);
    EXPECT_EQ(a.time_to_sample.size(), 1u);
    EXPECT_EQ(a.time_to_sample[0].delta, 1024u);
    EXPECT_TRUE(s.has_aac);
}

TEST(MediaScan, TablesShorterThanTheirCountGiveNothing)
{
    TrackSpec t = aac_track();
    t.sample_count = 5; // three sizes written for five samples
    t.chunk_offsets = {1000, 2000};
    t.sample_to_chunk = {{1, 3, 1}};
    Bytes file = movie_file({t});
    const auto s = scan_bytes(file);
    ASSERT_EQ(s.tracks.size(), 1u);
    EXPECT_TRUE(s.tracks[0].sample_sizes.empty());
    EXPECT_EQ(s.tracks[0].sample_count, 5u);
    const auto units = table_samples(s.tracks[0], max_track_samples);
    ASSERT_EQ(units.size(), 5u); // two chunks of three, cut at the sample count
    for (const auto& u : units)
        EXPECT_EQ(u.size, 0u);
    EXPECT_EQ(units[3].offset, 2000u);

    // Counts that claim more entries than the box holds, in each table.
    for (const char* type : {"stts", "stsc", "stco"}) {
        Bytes copy = file;
        const std::string needle(type);
        const auto at = std::search(copy.begin(), copy.end(), needle.begin(), needle.end());
        ASSERT_NE(at, copy.end());
        *(at + 11) = 0x7f; // entry count, low byte
        const auto broken = scan_bytes(copy);
        ASSERT_EQ(broken.tracks.size(), 1u);
        const TrackScan& b = broken.tracks[0];
        EXPECT_EQ(b.time_to_sample.empty(), needle == "stts");
        EXPECT_EQ(b.sample_to_chunk.empty(), needle == "stsc");
        EXPECT_EQ(b.chunk_offsets.empty(), needle == "stco");
    }
}

TEST(MediaScan, ChunkOffsetBoxesAppendInFileOrder)
{
    Bytes file;
    {
        // A track with co64 then stco, built by hand.
        Mp4Builder m;
        m.box("moov", [&] {
            m.box("trak", [&] {
                m.box("mdia", [&] {
                    m.box("minf", [&] {
                        m.box("stbl", [&] {
                            m.full_box("co64", 0, 0, [&] {
                                m.w().u32(1);
                                m.w().u64(1ull << 40);
                            });
                            m.full_box("stco", 0, 0, [&] {
                                m.w().u32(2);
                                m.w().u32(7);
                                m.w().u32(9);
                            });
                        });
                    });
                });
            });
        });
        file = m.bytes();
    }
    const auto s = scan_bytes(file);
    ASSERT_EQ(s.tracks.size(), 1u);
    EXPECT_EQ(s.tracks[0].chunk_offsets, (std::vector<std::uint64_t>{1ull << 40, 7, 9}));
    EXPECT_TRUE(s.is_bmff);
    EXPECT_FALSE(s.has_aac);
}

TEST(MediaScan, HandlerAfterMinfStillReadsTheAudioEntry)
{
    TrackSpec t = aac_track();
    t.hdlr_after_minf = true;
    const auto s = scan_bytes(movie_file({t}));
    ASSERT_EQ(s.tracks.size(), 1u);
    EXPECT_EQ(s.tracks[0].handler, "soun");
    EXPECT_EQ(s.tracks[0].format, "mp4a");
    EXPECT_EQ(s.tracks[0].decoder.codec, Codec::aac);
    EXPECT_EQ(s.tracks[0].decoder.extradata, t.asc);
    EXPECT_EQ(s.tracks[0].channels, 2u);
    EXPECT_EQ(s.tracks[0].sample_rate, 44100u);
}

TEST(MediaScan, DecoderConfiguration)
{
    struct Case {
        const char* what;
        TrackSpec track;
        Codec codec; // as told; converted when the default set holds it
        std::size_t asc_size;
        std::uint32_t asc_rate, asc_channels;
        bool sbr;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, auto edit, Codec codec, std::size_t asc_size, std::uint32_t rate,
                   std::uint32_t ch, bool sbr) {
        TrackSpec t = aac_track();
        edit(t);
        cases.push_back({what, t, codec, asc_size, rate, ch, sbr});
    };
    add("HE-AAC", [](TrackSpec& t) { t.asc = {0x2b, 0x92, 0x08, 0x00}; }, Codec::aac, 4, 44100, 2, true);
    add("one-byte DSI", [](TrackSpec& t) { t.asc = {0x12}; }, Codec::aac, 1, 0, 0, false);
    add("explicit rate", [](TrackSpec& t) { t.asc = {0x17, 0x80, 0x5d, 0xc0, 0x08}; }, Codec::aac, 5, 48000, 1, false);
    // Object type 31 + 7: ER AAC ELD.
    add("escaped object type", [](TrackSpec& t) { t.asc = {0xf8, 0xe6, 0x40}; }, Codec::aac, 3, 48000, 2, false);
    // SBR and parametric stereo over an AAC-LC core, explicitly: 24 kHz mono core, 48 kHz out.
    add("SBR, explicit", [](TrackSpec& t) { t.asc = {0x2b, 0x09, 0x88, 0x00}; }, Codec::aac, 4, 48000, 1, true);
    add("PS, explicit", [](TrackSpec& t) { t.asc = {0xeb, 0x09, 0x88, 0x00}; }, Codec::aac, 4, 48000, 1, true);
    add("MPEG-2 AAC LC 0x67", [](TrackSpec& t) { t.object_type = 0x67; }, Codec::aac, 2, 44100, 2, false);
    add("inside wave, QuickTime version 1", [](TrackSpec& t) {
        t.sound_version = 1;
        t.esds_in_wave = true;
    }, Codec::aac, 2, 44100, 2, false);
    // Only the object type inside the configuration tells AAC from the rest of MPEG-4 audio.
    add("0x40 without a configuration", [](TrackSpec& t) { t.asc.clear(); }, Codec::none, 0, 0, 0, false);
    add("0x40, MPEG-1 layer 1 (escaped 32)", [](TrackSpec& t) { t.asc = {0xf8, 0x06, 0x40}; }, Codec::none, 0, 0, 0, false);
    add("0x40, SBR over a non-AAC core", [](TrackSpec& t) { t.asc = {0x2b, 0x09, 0x9c, 0x00}; }, Codec::none, 0, 0, 0, false);
    add("Vorbis 0xDD", [](TrackSpec& t) {
        t.object_type = 0xdd;
        t.asc = {0x02, 0x1e, 0x5b, 0x01, 0x76, 0x6f, 0x72, 0x62};
    }, Codec::vorbis, 0, 0, 0, false);
    add("other format, other object type", [](TrackSpec& t) {
        t.format = "ac-3";
        t.object_type = 0xa5;
        t.asc.clear();
    }, Codec::ac3, 0, 0, 0, false);
    // MP3 in MP4 says "mp4a" too, but its object type names MPEG-1/2 audio.
    add("MP3 0x6B", [](TrackSpec& t) {
        t.object_type = 0x6b;
        t.asc.clear();
    }, Codec::mp3, 0, 0, 0, false);
    add("MPEG-2 audio 0x69", [](TrackSpec& t) { t.object_type = 0x69; }, Codec::mp3, 0, 0, 0, false);
    add("not a sound track", [](TrackSpec& t) { t.handler = "vide"; }, Codec::none, 0, 0, 0, false);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto s = scan_bytes(movie_file({c.track}));
        ASSERT_EQ(s.tracks.size(), 1u);
        const TrackScan& t = s.tracks[0];
        const bool converted = default_conversions().has(c.codec);
        EXPECT_EQ(t.codec, c.codec);
        EXPECT_EQ(t.decoder.codec, converted ? c.codec : Codec::none);
        EXPECT_EQ(s.has_aac, converted);
        if (converted && c.codec != Codec::aac)
            continue; // the other codecs' configurations are judged on clips ffmpeg made
        EXPECT_EQ(t.decoder.extradata.size(), c.asc_size);
        EXPECT_EQ(t.decoder.rate, c.asc_rate);
        EXPECT_EQ(t.decoder.channels, c.asc_channels);
        EXPECT_EQ(t.decoder.frames_per_unit, c.codec == Codec::aac ? (c.sbr ? 2048u : 1024u) : 0u);
    }
}

TEST(MediaScan, QuickTimeSoundDescriptionVersion2)
{
    TrackSpec t = aac_track();
    t.sound_version = 2;
    t.esds_in_wave = true;
    t.sample_rate = 88200.0;
    t.channels = 6;
    t.bits = 0;
    t.asc = {0x10, 0xb0}; // AAC LC, 88.2 kHz, 6 channels
    const auto s = scan_bytes(movie_file({t}));
    ASSERT_EQ(s.tracks.size(), 1u);
    EXPECT_EQ(s.tracks[0].sample_rate, 88200u);
    EXPECT_EQ(s.tracks[0].channels, 6u);
    EXPECT_EQ(s.tracks[0].decoder.rate, 88200u);
    EXPECT_EQ(s.tracks[0].decoder.channels, 6u);
    EXPECT_EQ(s.tracks[0].decoder.codec, Codec::aac);

    t.sample_rate = -1.0; // nonsense rates read as 0, never as undefined conversions
    EXPECT_EQ(scan_bytes(movie_file({t})).tracks[0].sample_rate, 0u);
    t.sample_rate = 1e300;
    EXPECT_EQ(scan_bytes(movie_file({t})).tracks[0].sample_rate, 0u);
}

TEST(SampleModel, FollowsTheChunkTimingSyncAndCompositionTables)
{
    TrackScan t;
    t.sample_count = 6;
    t.sample_sizes = {1, 2, 3, 4, 5, 6};
    t.sample_to_chunk = {{1, 2, 1}, {3, 1, 1}};
    t.chunk_offsets = {100, 200, 300, 400};
    t.time_to_sample = {{1, 3200}, {0, 7}, {3, 1024}}; // the empty run is skipped; the last sample has none
    t.sync_samples = {1, 4};
    t.sync_table = true;
    t.composition_offsets = {{2, 512}, {1, -256}};
    const auto units = table_samples(t, max_track_samples);
    struct Want {
        std::uint64_t offset;
        std::uint32_t size, duration;
        std::int32_t composition;
        bool sync;
    };
    const std::vector<Want> want{{100, 1, 3200, 512, true}, {101, 2, 1024, 512, false}, {200, 3, 1024, -256, false},
                                 {203, 4, 1024, 0, true},   {300, 5, 0, 0, false},      {400, 6, 0, 0, false}};
    ASSERT_EQ(units.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(units[i].offset, want[i].offset) << i;
        EXPECT_EQ(units[i].size, want[i].size) << i;
        EXPECT_EQ(units[i].duration, want[i].duration) << i;
        EXPECT_EQ(units[i].composition_offset, want[i].composition) << i;
        EXPECT_EQ(units[i].sync, want[i].sync) << i;
    }
    EXPECT_EQ(table_samples(t, 2).size(), 2u);

    TrackScan odd = t; // entries that point nowhere contribute nothing
    odd.sample_to_chunk = {{0, 5, 1}, {3, 0, 1}, {5, 1, 1}};
    EXPECT_TRUE(table_samples(odd, max_track_samples).empty()); // chunk 0, no samples per chunk, beyond the last chunk
    odd.sample_to_chunk = {{2, 1, 1}};
    ASSERT_EQ(table_samples(odd, max_track_samples).size(), 3u); // chunks before the first entry give nothing
    odd.chunk_offsets.clear();
    EXPECT_TRUE(table_samples(odd, max_track_samples).empty());
}

TEST(SampleModel, HostileCountsStayBounded)
{
    TrackScan t; // a few bytes of tables claiming four billion samples
    t.sample_count = 0xffffffffu;
    t.uniform_size = 1;
    t.sample_to_chunk = {{1, 0xffffffffu, 1}};
    t.chunk_offsets = {0};
    const auto units = table_samples(t, max_track_samples);
    EXPECT_LT(units.size(), t.sample_count);
    EXPECT_GE(units.size(), 1u << 20); // still far beyond any real file
    EXPECT_EQ(units.back().offset, units.size() - 1);
    // A file holds at most one sample per byte.
    const auto shared = std::make_shared<const TrackScan>(t);
    EXPECT_EQ(table_sample_list(shared, 5000)(~std::size_t{0}).size(), 5000u);
}

TEST(MediaScan, EveryPrefixAndEveryInnerCutIsSafe)
{
    TrackSpec t = aac_track();
    t.sound_version = 1;
    t.esds_in_wave = true;
    Mp4Builder b;
    b.ftyp().mdat(32);
    const std::size_t moov_at = b.size();
    b.moov({t, aac_track()});
    const Bytes& full = b.bytes();
    const auto whole = scan_bytes(full);
    ASSERT_EQ(whole.tracks.size(), 2u);
    for (std::size_t n = 0; n < full.size(); ++n) {
        const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        const auto s = scan_bytes(prefix);
        // The moov is last, so any cut truncates it: it runs past the end and is not read.
        EXPECT_FALSE(s.is_bmff) << n;
        EXPECT_TRUE(s.tracks.empty()) << n;
    }
    // Cut the movie box's contents at every length and fix up its size, so the
    // walk meets truncated children at every depth.
    const Bytes payload(full.begin() + static_cast<std::ptrdiff_t>(moov_at + 8), full.end());
    for (std::size_t n = 0; n <= payload.size(); ++n) {
        Mp4Builder m;
        m.box("moov", [&] { m.w().bytes(std::span(payload.data(), n)); });
        const auto s = scan_bytes(m.bytes());
        ASSERT_LE(s.tracks.size(), 2u);
        for (const auto& tr : s.tracks) {
            EXPECT_TRUE(tr.sample_sizes.empty() || tr.sample_sizes.size() == tr.sample_count) << n;
            EXPECT_LE(table_samples(tr, max_track_samples).size(), tr.sample_count);
            EXPECT_LE(tr.decoder.extradata.size(), 2u);
        }
    }
}
