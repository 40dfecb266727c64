// Sample tables rebuilt from a sample list read back by the movie box scan
// (a separate reader): the same samples, chunks that follow the file, and the
// optional tables only when they carry something.

#include <gtest/gtest.h>

#include "media/box_header.hpp"
#include "media/sample_model.hpp"
#include "media/sample_table_writer.hpp"
#include "support/mp4_builder.hpp"

using namespace kov;
using namespace kov::test;

namespace {

// The payload of the first `type` child of `stbl`, or nothing.
std::optional<Bytes> child_payload(const Bytes& stbl, std::uint32_t type)
{
    BeReader r(stbl);
    while (r.remaining() >= 8) {
        const auto h = read_box_header(r);
        BeReader payload;
        if (!h || !r.sub(h->payload_size(), payload))
            break;
        if (h->type == type)
            return Bytes(payload.rest().begin(), payload.rest().end());
    }
    return std::nullopt;
}

} // namespace

TEST(SampleTables, ReadBackAsTheSamplesTheyDescribe)
{
    auto interleaved = [](std::uint64_t first, std::uint32_t size) {
        // Two samples per chunk, the chunks 1000 bytes apart (another track between them).
        std::vector<MediaSample> out;
        for (std::uint64_t i = 0; i < 7; ++i)
            out.push_back({first + (i / 2) * 1000 + (i % 2) * size, size, 1024, 0, true});
        return out;
    };
    std::vector<MediaSample> video;
    const std::int32_t ctts[] = {2, 0, 3, -1, 1, 2, 0};
    for (std::uint32_t i = 0; i < 7; ++i)
        video.push_back(
            {5000 + 10ull * i * (i + 1) / 2, 10 * (i + 1), i == 6 ? 3000u : 1001u, ctts[i] * 1001, i % 3 == 0});
    std::vector<MediaSample> positive = video;
    for (auto& s : positive)
        s.composition_offset = s.composition_offset < 0 ? 0 : s.composition_offset;
    std::vector<MediaSample> wide = interleaved((5ull << 32) - 1500, 7);
    std::vector<MediaSample> no_sync = positive;
    for (auto& s : no_sync)
        s.sync = false;

    struct Case {
        const char* name;
        std::vector<MediaSample> samples;
        std::uint32_t uniform; // stsz sample_size
        std::size_t chunks;    // entries of stco/co64
        bool co64;
        int ctts_version; // -1: no ctts
        bool stss;
    };
    const Case cases[] = {
        {"audio: uniform, all sync, chunks of two", interleaved(100, 6), 6, 4, false, -1, false},
        {"video: sizes, sync samples, negative composition", video, 0, 1, false, 1, true},
        {"video: positive composition", positive, 0, 1, false, 0, true},
        {"offsets past 4 GiB", wide, 7, 4, true, -1, false},
        {"video: no sync sample at all, an empty table", no_sync, 0, 1, false, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes stbl;
        BeWriter w(stbl);
        write_sample_tables(w, c.samples);

        // Read back with the movie box scan: a track whose stbl holds these tables.
        Mp4Builder b;
        b.box("moov", [&] {
            b.box("trak", [&] {
                b.box("mdia", [&] {
                    b.full_box("hdlr", 0, 0, [&] {
                        b.w().u32(0);
                        b.w().fourcc("vide");
                        b.w().zeros(13);
                    });
                    b.box("minf", [&] { b.box("stbl", [&] { b.w().bytes(stbl); }); });
                });
            });
        });
        const MediaScan scan = scan_bytes(b.bytes());
        ASSERT_EQ(scan.tracks.size(), 1u);
        const TrackScan& t = scan.tracks[0];
        EXPECT_EQ(t.uniform_size, c.uniform);
        EXPECT_EQ(t.chunk_offsets.size(), c.chunks);
        const auto back = table_samples(t, 1000);
        ASSERT_EQ(back.size(), c.samples.size());
        for (std::size_t i = 0; i < back.size(); ++i) {
            EXPECT_EQ(back[i].offset, c.samples[i].offset) << i;
            EXPECT_EQ(back[i].size, c.samples[i].size) << i;
            EXPECT_EQ(back[i].duration, c.samples[i].duration) << i;
            EXPECT_EQ(back[i].composition_offset, c.samples[i].composition_offset) << i;
            EXPECT_EQ(back[i].sync, c.samples[i].sync) << i;
        }

        EXPECT_EQ(child_payload(stbl, fourcc("co64")).has_value(), c.co64);
        const auto ctts_box = child_payload(stbl, fourcc("ctts"));
        ASSERT_EQ(ctts_box.has_value(), c.ctts_version >= 0);
        if (ctts_box) {
            EXPECT_EQ((*ctts_box)[0], c.ctts_version);
        }
        const auto stss_box = child_payload(stbl, fourcc("stss"));
        EXPECT_EQ(stss_box.has_value(), c.stss);
    }
}
