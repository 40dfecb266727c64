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
    explicit PatternPcm(std::uint64_t produce_limit = ~std::uint64_t{0}, std::uint32_t seed = 0)
        : limit_(produce_limit), seed_(seed)
    {
    }
    std::int64_t read(int, std::uint8_t* dest, std::uint64_t length, std::uint64_t offset) override
    {
        asked_offsets.push_back(offset);
        const std::uint64_t n = std::min(length, limit_);
        for (std::uint64_t i = 0; i < n; ++i)
            dest[i] = pattern(offset + i, seed_);
        return static_cast<std::int64_t>(n);
    }
    static std::uint8_t pattern(std::uint64_t i, std::uint32_t seed = 0)
    {
        return static_cast<std::uint8_t>((i * 131 + 7 + seed * 29) ^ (i >> 8));
    }
    std::vector<std::uint64_t> asked_offsets;

  private:
    std::uint64_t limit_;
    std::uint32_t seed_;
};

// Source bytes with three overlays, the movie box and media data header, and
// two PCM streams whose bytes differ.
struct Fixture {
    test::TempDir dir;
    std::vector<std::uint8_t> source;
    FileLayout layout;
    std::vector<std::uint8_t> expected; // the whole rewritten file
    std::uint64_t moov_offset = 0;
    std::uint64_t pcm_offset = 0; // of the first stream

    explicit Fixture(std::uint64_t pcm_limit = ~std::uint64_t{0})
    {
        source.resize(3000);
        for (std::size_t i = 0; i < source.size(); ++i)
            source[i] = static_cast<std::uint8_t>(i * 7 + 3);
        EXPECT_TRUE(test::write_file(dir.file("src"), source));
        using K = LayoutRegion::Kind;
        auto add = [&](std::uint64_t size, K kind, std::uint32_t index = 0, std::array<std::uint8_t, 4> bytes = {}) {
            layout.regions.push_back({layout.total_size, size, kind, index, bytes});
            layout.total_size += size;
        };
        auto overlay = [&](std::array<std::uint8_t, 4> bytes) { add(4, K::overlay, 0, bytes); };

        layout.source_size = source.size();
        add(1000, K::source);
        overlay({0, 0, 0x03, 0xE8});
        overlay({'f', 'r', 'e', 'e'});
        add(1492, K::source);
        overlay({0, 0, 0x01, 0xF4});
        add(496, K::source);
        moov_offset = layout.total_size;
        layout.blocks.resize(2);
        layout.blocks[0].assign(421, 0);
        for (std::size_t i = 0; i < layout.blocks[0].size(); ++i)
            layout.blocks[0][i] = static_cast<std::uint8_t>(255 - i);
        BeWriter(layout.blocks[1]).u32(8 + 5000);
        BeWriter(layout.blocks[1]).fourcc("mdat");
        add(421, K::bytes, 0);
        add(8, K::bytes, 1);
        pcm_offset = layout.total_size;
        for (std::uint32_t i = 0; i < 2; ++i) {
            PcmStream s;
            s.offset = layout.total_size;
            s.size = i == 0 ? 4000 : 1000;
            s.source = std::make_unique<PatternPcm>(pcm_limit, i);
            add(s.size, K::pcm, i);
            layout.streams.push_back(std::move(s));
        }

        expected = source;
        for (const auto& r : layout.regions)
            if (r.kind == K::overlay)
                std::memcpy(expected.data() + r.start, r.overlay.data(), 4);
        for (const auto& block : layout.blocks)
            expected.insert(expected.end(), block.begin(), block.end());
        for (std::uint32_t k = 0; k < 2; ++k)
            for (std::uint64_t i = 0; i < layout.streams[k].size; ++i)
                expected.push_back(i < pcm_limit ? PatternPcm::pattern(i, k) : 0);
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
        {f.pcm_offset + 3, 5},           // odd PCM offset
        {f.pcm_offset + 3990, 20},       // from one PCM stream into the next
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
    // Each PCM source is asked for its own byte offset unchanged, odd or not.
    auto& first = static_cast<PatternPcm&>(*f.layout.streams[0].source).asked_offsets;
    auto& second = static_cast<PatternPcm&>(*f.layout.streams[1].source).asked_offsets;
    first.clear();
    second.clear();
    std::int64_t got = 0;
    f.read(f.pcm_offset + 3997, 10, got);
    EXPECT_EQ(first, (std::vector<std::uint64_t>{3997}));
    EXPECT_EQ(second, (std::vector<std::uint64_t>{0}));
}

TEST(LayoutRead, NothingAtOrPastTheEndAndForZeroLength)
{
    Fixture f;
    for (auto [offset, length] : {std::pair<std::uint64_t, std::uint64_t>{f.layout.total_size, 10},
                                  {f.layout.total_size + 5000, 10},
                                  {0, 0},
                                  {f.pcm_offset, 0}}) {
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
    const auto out = f.read(f.pcm_offset + 100, 50, got);
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
    const auto out = f.read(f.moov_offset, 20, got);
    EXPECT_EQ(got, 20);
    EXPECT_EQ(out[0], 255);
}

TEST(LayoutRead, ShrunkSourceFailsWhereBytesAreMissing)
{
    Fixture f;
    ASSERT_EQ(::truncate(f.dir.file("src").c_str(), 2000), 0);
    std::int64_t got = 0;
    f.read(1990, 20, got);
    EXPECT_EQ(got, -EIO) << "bytes cut away are not zeros";
    const auto out = f.read(1980, 20, got); // what is still there reads as before
    ASSERT_EQ(got, 20);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(out[static_cast<std::size_t>(i)], f.source[1980 + static_cast<std::size_t>(i)]);
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
    EXPECT_FALSE(f.layout.is_plain_source_range(f.moov_offset, 1));
}

} // namespace
} // namespace kov
