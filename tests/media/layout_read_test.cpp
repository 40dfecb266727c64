// read_at over a hand-made layout: every region boundary, and random ranges
// checked against the whole file assembled independently.

#include <fcntl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "common/unique_fd.hpp"
#include "media/be_writer.hpp"
#include "media/file_layout.hpp"
#include "support/test_env.hpp"

namespace kov {
namespace {

// PCM whose byte at stream offset i is a function of i, so any misplaced
// offset shows.
class PatternPcm final : public PcmSource {
public:
    explicit PatternPcm(std::uint64_t produce_limit = ~std::uint64_t{0}) : limit_(produce_limit) {}
    std::int64_t read(std::uint8_t* dest, std::uint64_t length, std::uint64_t offset) override
    {
        asked_offsets.push_back(offset);
        const std::uint64_t n = std::min(length, limit_);
        for (std::uint64_t i = 0; i < n; ++i)
            dest[i] = pattern(offset + i);
        return static_cast<std::int64_t>(n);
    }
    static std::uint8_t pattern(std::uint64_t i) { return static_cast<std::uint8_t>((i * 131 + 7) ^ (i >> 8)); }
    std::vector<std::uint64_t> asked_offsets;

private:
    std::uint64_t limit_;
};

struct Fixture {
    test::TempDir dir;
    std::vector<std::uint8_t> source;
    FileLayout layout;
    std::vector<std::uint8_t> expected; // the whole rewritten file
    PatternPcm* pcm = nullptr;

    explicit Fixture(std::uint64_t pcm_limit = ~std::uint64_t{0})
    {
        source.resize(3000);
        for (std::size_t i = 0; i < source.size(); ++i)
            source[i] = static_cast<std::uint8_t>(i * 7 + 3);
        EXPECT_TRUE(test::write_file(dir.file("src"), source));

        layout.source_size = source.size();
        layout.overlay_offset = 1004;
        layout.overlays.push_back({1000, {0, 0, 0x03, 0xE8}});
        layout.overlays.push_back({1004, {'f', 'r', 'e', 'e'}});
        layout.overlays.push_back({2500, {0, 0, 0x01, 0xF4}});
        layout.moov_offset = source.size();
        layout.moov_bytes.assign(421, 0);
        for (std::size_t i = 0; i < layout.moov_bytes.size(); ++i)
            layout.moov_bytes[i] = static_cast<std::uint8_t>(255 - i);
        layout.mdat_header_offset = layout.moov_offset + layout.moov_bytes.size();
        BeWriter(layout.mdat_header).u32(8 + 4000);
        BeWriter(layout.mdat_header).fourcc("mdat");
        layout.pcm_offset = layout.mdat_header_offset + 8;
        layout.frames = 1000;
        layout.channels = 2;
        layout.rate = 48000;
        layout.pcm_size = 4000;
        layout.total_size = layout.pcm_offset + layout.pcm_size;
        auto p = std::make_unique<PatternPcm>(pcm_limit);
        pcm = p.get();
        layout.source = std::move(p);

        expected = source;
        for (const auto& o : layout.overlays)
            std::memcpy(expected.data() + o.offset, o.bytes.data(), 4);
        expected.insert(expected.end(), layout.moov_bytes.begin(), layout.moov_bytes.end());
        expected.insert(expected.end(), layout.mdat_header.begin(), layout.mdat_header.end());
        for (std::uint64_t i = 0; i < layout.pcm_size; ++i)
            expected.push_back(i < pcm_limit ? PatternPcm::pattern(i) : 0);
        fd = UniqueFd(::open(dir.file("src").c_str(), O_RDONLY));
    }

    std::vector<std::uint8_t> read(std::uint64_t offset, std::uint64_t length, std::int64_t& result)
    {
        std::vector<std::uint8_t> out(length + 16, 0xAA);
        result = layout.read_at(fd.get(), out.data(), length, offset);
        return out;
    }

    UniqueFd fd;
};

TEST(LayoutRead, RangesAcrossEveryBoundaryMatchTheAssembledFile)
{
    Fixture f;
    ASSERT_EQ(f.expected.size(), f.layout.total_size);
    struct Case {
        std::uint64_t offset, length;
    } cases[] = {
        {0, f.layout.total_size},        // everything in one call
        {1002, 8},                       // two source bytes, "free", two source bytes
        {998, 12},                       // two adjacent overlays
        {1005, 2},                       // inside an overlay
        {2499, 6},                       // the size overlay near the end
        {2996, 4 + 421 + 8 + 10},        // last source bytes through the first PCM bytes
        {f.layout.pcm_offset + 3, 5},    // odd PCM offset
        {f.layout.total_size - 10, 100}, // clipped at the end
    };
    for (const auto& c : cases) {
        std::int64_t got = 0;
        const auto out = f.read(c.offset, c.length, got);
        const std::uint64_t n = std::min(c.length, f.layout.total_size - c.offset);
        ASSERT_EQ(got, static_cast<std::int64_t>(n)) << "offset " << c.offset;
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n),
                               f.expected.begin() + static_cast<std::ptrdiff_t>(c.offset)))
            << "offset " << c.offset << " length " << c.length;
        EXPECT_EQ(out[n], 0xAA) << "wrote past the result at offset " << c.offset;
    }
    // The PCM source is asked for the byte offset unchanged, odd or not.
    f.pcm->asked_offsets.clear();
    std::int64_t got = 0;
    f.read(f.layout.pcm_offset + 3, 5, got);
    ASSERT_EQ(f.pcm->asked_offsets.size(), 1u);
    EXPECT_EQ(f.pcm->asked_offsets[0], 3u);
}

TEST(LayoutRead, NothingAtOrPastTheEndAndForZeroLength)
{
    Fixture f;
    for (auto [offset, length] : {std::pair<std::uint64_t, std::uint64_t>{f.layout.total_size, 10},
                                  {f.layout.total_size + 5000, 10},
                                  {0, 0},
                                  {f.layout.pcm_offset, 0}}) {
        std::int64_t got = -5;
        const auto out = f.read(offset, length, got);
        EXPECT_EQ(got, 0);
        EXPECT_EQ(out[0], 0xAA) << "destination touched";
    }
}

TEST(LayoutRead, RandomRangesEqualTheAssembledFile)
{
    Fixture f;
    std::mt19937_64 rng(42);
    for (int i = 0; i < 3000; ++i) {
        const std::uint64_t offset = rng() % (f.layout.total_size + 20);
        const std::uint64_t length = rng() % 2000;
        std::int64_t got = 0;
        const auto out = f.read(offset, length, got);
        const std::uint64_t n = offset >= f.layout.total_size ? 0 : std::min(length, f.layout.total_size - offset);
        ASSERT_EQ(got, static_cast<std::int64_t>(n));
        ASSERT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n),
                               f.expected.begin() + static_cast<std::ptrdiff_t>(std::min(offset, f.layout.total_size))))
            << "offset " << offset << " length " << length;
    }
}

TEST(LayoutRead, ShortPcmProductionReadsAsZeros)
{
    Fixture f(3); // the source produces at most 3 bytes per call
    std::int64_t got = 0;
    const auto out = f.read(f.layout.pcm_offset + 100, 50, got);
    ASSERT_EQ(got, 50);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(out[static_cast<std::size_t>(i)], PatternPcm::pattern(100 + static_cast<std::uint64_t>(i)));
    for (int i = 3; i < 50; ++i)
        EXPECT_EQ(out[static_cast<std::size_t>(i)], 0) << i;
}

TEST(LayoutRead, FailingSourceReadGivesEioEvenAfterOverlayBytes)
{
    Fixture f;
    // A directory descriptor: every pread fails with EISDIR.
    f.fd = UniqueFd(::open(f.dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(f.fd);
    std::int64_t got = 0;
    f.read(1004, 10, got); // starts in the overlay, goes on into source bytes
    EXPECT_EQ(got, -EIO);
    // The in-memory regions need no source read.
    const auto out = f.read(f.layout.moov_offset, 20, got);
    EXPECT_EQ(got, 20);
    EXPECT_EQ(out[0], 255);
}

TEST(LayoutRead, ShrunkSourceReadsZerosWhereBytesAreMissing)
{
    Fixture f;
    ASSERT_EQ(::truncate(f.dir.file("src").c_str(), 2000), 0);
    std::int64_t got = 0;
    const auto out = f.read(1990, 20, got);
    ASSERT_EQ(got, 20);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(out[static_cast<std::size_t>(i)], f.source[1990 + static_cast<std::size_t>(i)]);
    for (int i = 10; i < 20; ++i)
        EXPECT_EQ(out[static_cast<std::size_t>(i)], 0);
}

TEST(LayoutRead, PlainSourceRangesAvoidEveryOverlay)
{
    Fixture f;
    EXPECT_TRUE(f.layout.is_plain_source_range(0, 1000));
    EXPECT_FALSE(f.layout.is_plain_source_range(0, 1001));
    EXPECT_FALSE(f.layout.is_plain_source_range(1003, 2));
    EXPECT_TRUE(f.layout.is_plain_source_range(1008, 1492));
    EXPECT_FALSE(f.layout.is_plain_source_range(1008, 1493));
    EXPECT_TRUE(f.layout.is_plain_source_range(2504, 496));
    EXPECT_FALSE(f.layout.is_plain_source_range(2504, 497)); // runs into the movie box
    EXPECT_FALSE(f.layout.is_plain_source_range(f.layout.moov_offset, 1));
}

} // namespace
} // namespace kov
