// The fragment scan on hand-made fragments: every data-offset rule and every
// source of defaults, decode times, cut-off files, hostile counts, and the
// merge with movie box tables that hybrid writers leave.

#include <gtest/gtest.h>

#include "fragment_builder.hpp"

using namespace kov;
using namespace kov::test;

namespace {

constexpr std::uint32_t d_dur = 0x100, d_size = 0x200, d_flags = 0x400, d_cto = 0x800;

std::vector<FragSample> expected_samples(const MoofSpec& moof, std::uint32_t track_id)
{
    std::vector<FragSample> out;
    for (const auto& t : moof)
        if (t.track_id == track_id)
            for (const auto& r : t.runs)
                out.insert(out.end(), r.samples.begin(), r.samples.end());
    return out;
}

} // namespace

TEST(FragmentScan, ResolvesOffsetsAndDefaults)
{
    // trex of track 1: duration 1024, size 7, non-sync; track 2: duration 512, size 9, sync.
    const std::vector<FragmentDefaults> trex{{1, 1, 1024, 7, 0x01010000}, {2, 1, 512, 9, 0}};
    const std::vector<FragSample> trex1(3, FragSample{7, 1024, false});
    const std::vector<FragSample> listed{{10, 100, true, 200}, {11, 101, false, -100}, {12, 102, false, 0}};
    struct Case {
        const char* name;
        MoofSpec moof;
    };
    const Case cases[] = {
        {"trex defaults, base at the moof", {{1, Base::moof, {}, {}, {}, {}, {{0, true, {}, trex1}}}}},
        {"first sample flags on trex defaults",
         {{1, Base::moof, {}, {}, {}, {}, {{0, true, 0x02000000u, {{7, 1024, true}, {7, 1024, false}}}}}}},
        {"tfhd defaults over trex, given base",
         {{1, Base::given, 2000u, 5u, 0u, {}, {{0, true, {}, {{5, 2000}, {5, 2000}}}}}}},
        {"every field listed, negative composition",
         {{1, Base::given, 2000u, 5u, 0u, {}, {{d_dur | d_size | d_flags | d_cto, true, {}, listed}}}}},
        {"listed flags with first sample flags",
         {{1,
           Base::moof,
           {},
           {},
           {},
           {},
           {{d_flags, true, 0x0u, {{7, 1024, true}, {7, 1024, true}, {7, 1024, false}}}}}}},
        {"given base after the data, negative run offsets",
         {{1, Base::given_after_data, {}, {}, {}, {}, {{d_size, true, {}, {{3, 1024, false}, {4, 1024, false}}}}}}},
        {"implicit base: a second track fragment follows the first one's data",
         {{1, Base::implicit, {}, {}, {}, {}, {{d_size, true, {}, {{30, 1024, false}}}}},
          {2, Base::implicit, {}, {}, {}, {}, {{0, false, {}, {{9, 512, true}, {9, 512, true}}}}}}},
        {"a run without an offset follows the run before it",
         {{1,
           Base::moof,
           {},
           {},
           {},
           {},
           {{d_size, true, {}, {{8, 1024, false}}}, {d_size, false, {}, {{6, 1024, false}}}}},
          {2, Base::given, {}, 4u, {}, {}, {{0, true, {}, {{4, 512, true}}}}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = fragmented_file(trex, {c.moof, c.moof});
        const auto got = scan_fragment_bytes(file);
        EXPECT_FALSE(got.scan.cut);
        EXPECT_EQ(got.scan.kept_end, file.size());
        ASSERT_EQ(got.scan.moof_offsets.size(), 2u);
        EXPECT_FALSE(got.read_media);

        // Each moof's samples lie back to back from the start of the payload of the mdat after it.
        for (const auto& track : got.scan.tracks) {
            const auto want = expected_samples(c.moof, track.track_id);
            ASSERT_EQ(track.samples.size(), 2 * want.size()) << "track " << track.track_id;
            for (std::size_t f = 0; f < 2; ++f) {
                const std::uint64_t moof_at = got.scan.moof_offsets[f];
                const std::uint64_t moof_size = (std::uint64_t{file[moof_at]} << 24) |
                                                (std::uint64_t{file[moof_at + 1]} << 16) |
                                                (std::uint64_t{file[moof_at + 2]} << 8) | file[moof_at + 3];
                std::uint64_t at = moof_at + moof_size + 8;
                for (const auto& t : c.moof) {
                    if (t.track_id == track.track_id)
                        break;
                    for (const auto& r : t.runs)
                        for (const auto& s : r.samples)
                            at += s.size;
                }
                for (std::size_t i = 0; i < want.size(); ++i) {
                    const MediaSample& s = track.samples[f * want.size() + i];
                    EXPECT_EQ(s.offset, at) << "fragment " << f << " sample " << i;
                    EXPECT_EQ(s.size, want[i].size);
                    EXPECT_EQ(s.duration, want[i].duration);
                    EXPECT_EQ(s.sync, want[i].sync);
                    EXPECT_EQ(s.composition_offset, want[i].composition);
                    at += want[i].size;
                }
            }
        }
    }
}

TEST(FragmentScan, DecodeTimesKeepGapsAndTheStart)
{
    const std::vector<FragmentDefaults> trex{{1, 1, 1024, 10, 0}};
    auto fragment = [](std::optional<std::uint64_t> tfdt) {
        return MoofSpec{{1, Base::moof, {}, {}, {}, tfdt, {{0, true, {}, std::vector<FragSample>(2, {10, 1024})}}}};
    };
    // 3,000 ticks in, a gap of 952 after the first fragment, then a fragment
    // without tfdt that follows on, then one whose tfdt needs 64 bits.
    const std::uint64_t wide = (1ull << 32) + 5;
    const Bytes file = fragmented_file(trex, {fragment(3000), fragment(3000 + 3000), fragment({}), fragment(wide)});
    const auto got = scan_fragment_bytes(file);
    ASSERT_EQ(got.scan.tracks.size(), 1u);
    const FragmentTrack& t = got.scan.tracks[0];
    EXPECT_TRUE(t.timed);
    EXPECT_EQ(t.start_time, 3000u);
    std::vector<std::uint32_t> durations;
    for (const auto& s : t.samples)
        durations.push_back(s.duration);
    const std::uint64_t before_wide = 3000 + 3000 + 4 * 1024;
    EXPECT_EQ(durations,
              (std::vector<std::uint32_t>{1024, 1024 + 952, 1024, 1024, 1024,
                                          static_cast<std::uint32_t>(wide - before_wide + 1024), 1024, 1024}));
}

TEST(FragmentScan, CutOffRecordingKeepsTheCompleteFragments)
{
    const std::vector<FragmentDefaults> trex{{1, 1, 1024, 50, 0}, {2, 1, 3000, 200, 0x01010000}};
    const MoofSpec moof{
        {1, Base::moof, {}, {}, {}, {}, {{0, true, {}, std::vector<FragSample>(3, {50, 1024})}}},
        {2, Base::moof, {}, {}, {}, {}, {{0, true, {}, std::vector<FragSample>(2, {200, 3000, false})}}}};
    const Bytes whole = fragmented_file(trex, {moof, moof, moof});
    const auto full = scan_fragment_bytes(whole);
    ASSERT_EQ(full.scan.moof_offsets.size(), 3u);
    ASSERT_EQ(full.scan.tracks.size(), 2u);

    // Every prefix: only fragments whose moof and samples are all there are
    // kept, nothing read lies beyond the prefix, and the kept bytes end before
    // the first fragment left out.
    const std::uint64_t first_moof = full.scan.moof_offsets[0];
    for (std::size_t n = 0; n <= whole.size(); ++n) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        const auto got = scan_fragment_bytes(cut);
        std::size_t complete = 0;
        for (std::size_t f = 0; f < 3; ++f) {
            const std::uint64_t end = f + 1 < 3 ? full.scan.moof_offsets[f + 1] - 12 : whole.size(); // before styp
            complete += end <= n;
        }
        ASSERT_EQ(got.scan.moof_offsets.size(), complete) << "prefix " << n;
        ASSERT_LE(got.scan.kept_end, n);
        // The kept bytes end where the first incomplete fragment (its styp,
        // moof or mdat) begins.
        if (complete < 3 && n >= first_moof - 12) {
            EXPECT_GE(got.scan.kept_end, full.scan.moof_offsets[complete] - 12) << "prefix " << n;
            EXPECT_LE(got.scan.kept_end, full.scan.moof_offsets[complete]) << "prefix " << n;
        }
        for (const auto& t : got.scan.tracks) {
            EXPECT_EQ(t.samples.size(), complete * (t.track_id == 1 ? 3u : 2u));
            for (const auto& s : t.samples)
                EXPECT_LE(s.offset + s.size, got.scan.kept_end);
        }
    }
}

TEST(FragmentScan, HostileRunsAreLeftOutWithoutAllocating)
{
    // A run claiming 4 billion samples (listed, or all from defaults), a data
    // offset before the start of the file or past its end: the fragment and
    // all after it are left out, the fragment before it is kept.
    const std::vector<FragmentDefaults> trex{{1, 1, 1024, 10, 0}, {2, 1, 1024, 0, 0}};
    const MoofSpec good{{1, Base::moof, {}, {}, {}, {}, {{0, true, {}, {{10, 1024}}}}}};
    Mp4Builder tail;
    struct Case {
        const char* name;
        std::uint32_t track_id, flags, count;
        std::int32_t data_offset;
    };
    const Case cases[] = {
        {"listed sizes", 1, 0x201, 0xffffffffu, 0},        {"default sizes", 1, 0x001, 0xffffffffu, 0},
        {"zero-sized defaults", 2, 0x001, 0xfffffff0u, 0}, {"before the file", 1, 0x001, 1, -0x7fffffff},
        {"past the end", 1, 0x001, 1, 0x7fffffff},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = fragmented_file(trex, {good});
        Mp4Builder b;
        b.box("moof", [&] {
            b.full_box("mfhd", 0, 0, [&] { b.w().u32(2); });
            b.box("traf", [&] {
                b.full_box("tfhd", 0, 0x020000, [&] { b.w().u32(c.track_id); });
                b.full_box("trun", 0, c.flags, [&] {
                    b.w().u32(c.count);
                    b.w().u32(static_cast<std::uint32_t>(c.data_offset));
                    b.w().u32(10);
                });
            });
        });
        b.mdat(64);
        const std::uint64_t bad_at = file.size();
        file.insert(file.end(), b.bytes().begin(), b.bytes().end());
        const Bytes after = fragmented_file(trex, {good});
        file.insert(file.end(), after.begin(), after.end()); // a sound fragment after the bad one
        const auto got = scan_fragment_bytes(file);
        EXPECT_TRUE(got.scan.cut);
        EXPECT_EQ(got.scan.kept_end, bad_at);
        ASSERT_EQ(got.scan.tracks.size(), 1u);
        EXPECT_EQ(got.scan.tracks[0].samples.size(), 1u);
    }
}

// Shapes that cost time out of proportion to their size when tracks, defaults
// or undo entries are searched linearly: a moof of 100,000 track fragments,
// of one track or each of another one declared in as many trex boxes. Each
// must be read whole, every sample with its own track's size.
TEST(FragmentScan, HostileShapesCostTimeInProportionToTheirBoxes)
{
    constexpr std::uint32_t many = 100000;
    struct Case {
        const char* name;
        std::uint32_t tracks; // track fragments name tracks 1..tracks in turn
    };
    for (const Case c : {Case{"one track", 1}, Case{"a track each", many}}) {
        SCOPED_TRACE(c.name);
        std::vector<FragmentDefaults> trex;
        for (std::uint32_t id = 1; id <= c.tracks; ++id)
            trex.push_back({id, 1, 1024, 10 + id % 7, 0});
        MoofSpec moof(many);
        for (std::uint32_t i = 0; i < many; ++i) {
            moof[i].track_id = 1 + i % c.tracks;
            moof[i].runs = {{0, true, {}, {{10 + moof[i].track_id % 7, 1024}}}};
        }
        const auto got = scan_fragment_bytes(fragmented_file(trex, {moof}));
        EXPECT_FALSE(got.scan.cut);
        ASSERT_EQ(got.scan.tracks.size(), c.tracks);
        std::size_t samples = 0;
        for (const FragmentTrack& t : got.scan.tracks) {
            samples += t.samples.size();
            for (const MediaSample& s : t.samples)
                ASSERT_EQ(s.size, 10 + t.track_id % 7) << "track " << t.track_id;
        }
        EXPECT_EQ(samples, many);
    }
}

TEST(FragmentScan, DefaultsComeFromTheMovieExtends)
{
    const Bytes file = fragmented_file({{3, 1, 1001, 40, 0x01010000}, {7, 2, 1024, 0, 0}}, {});
    const MediaScan movie = scan_bytes(file);
    const auto d =
        read_fragment_defaults(box_payload(std::span(file).subspan(movie.moov_offset, movie.moov_size)).rest());
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].track_id, 3u);
    EXPECT_EQ(d[0].duration, 1001u);
    EXPECT_EQ(d[0].size, 40u);
    EXPECT_EQ(d[0].flags, 0x01010000u);
    EXPECT_EQ(d[1].description_index, 2u);
}

TEST(FragmentMerge, HybridFilesGetEverySampleOnceInTimeOrder)
{
    auto samples = [](std::uint64_t first_offset, std::size_t n, std::uint32_t duration) {
        std::vector<MediaSample> out;
        for (std::size_t i = 0; i < n; ++i)
            out.push_back({first_offset + 100 * i, 100, duration, 0, true});
        return out;
    };
    struct Case {
        const char* name;
        std::vector<MediaSample> movie;
        FragmentTrack fragments;
        std::vector<std::uint64_t> offsets;
        std::vector<std::uint32_t> durations;
        std::uint64_t start;
    };
    const Case cases[] = {
        {"tables, then fragments that carry on",
         samples(1000, 3, 10),
         {1, true, 30, samples(5000, 2, 10)},
         {1000, 1100, 1200, 5000, 5100},
         {10, 10, 10, 10, 10},
         0},
        {"tables that also list every fragment sample",
         samples(1000, 4, 10),
         {1, true, 20, samples(1200, 2, 10)},
         {1000, 1100, 1200, 1300},
         {10, 10, 10, 10},
         0},
        {"fragments after a gap",
         samples(1000, 2, 10),
         {1, true, 50, samples(5000, 1, 10)},
         {1000, 1100, 5000},
         {10, 40, 10},
         0},
        {"fragments without a decode time follow the tables",
         samples(1000, 2, 10),
         {1, false, 0, samples(5000, 1, 7)},
         {1000, 1100, 5000},
         {10, 10, 7},
         0},
        {"fragments only, starting late", {}, {1, true, 500, samples(5000, 2, 10)}, {5000, 5100}, {10, 10}, 500},
        {"tables only", samples(1000, 2, 10), {}, {1000, 1100}, {10, 10}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint64_t start = 99;
        const auto merged = merge_fragment_samples(c.movie, FragmentTrack(c.fragments), start);
        std::vector<std::uint64_t> offsets;
        std::vector<std::uint32_t> durations;
        for (const auto& s : merged) {
            offsets.push_back(s.offset);
            durations.push_back(s.duration);
        }
        EXPECT_EQ(offsets, c.offsets);
        EXPECT_EQ(durations, c.durations);
        EXPECT_EQ(start, c.start);
    }
}
