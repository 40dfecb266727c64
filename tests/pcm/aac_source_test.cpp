// The decoding source against the real libavcodec, with the ffmpeg tool as
// the independent reference decoder.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <stdexcept>
#include <thread>

#include "aac_clip.hpp"
#include "common/unique_fd.hpp"
#include "pcm/aac_decoder.hpp"
#include "pcm/aac_source.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/decoder_stock.hpp"
#include "pcm/silent_pcm.hpp"

namespace kov {
namespace {

using test::AacClip;
using test::PcmGeometry;
using test::track_of;

// The stream probe on a track of these units, reporting into `g`.
void probe(const CodecLibrary& lib, int fd, const std::vector<AccessUnit>& units, const std::vector<std::uint8_t>& asc,
           PcmGeometry& g)
{
    PcmTrack t = track_of(units, asc, g, 0);
    probe_stream(lib, fd, t);
    g = {t.rate, t.channels, t.frames_per_unit};
}

constexpr std::uint64_t unit_frames = 1024; // AAC-LC

std::int16_t sample_at(const std::vector<std::uint8_t>& pcm, std::size_t i)
{
    return static_cast<std::int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8);
}

class AacSource : public ::testing::Test {
protected:
    // ctest runs every test in a process of its own, so each clip is made
    // only when a test first needs it.
    static const AacClip& clip_named(const std::string& name)
    {
        static const std::map<std::string, std::vector<std::string>> recipes = {
            {"stereo.m4a",
             {"-f", "lavfi", "-i",
              "aevalsrc=0.5*sin(440*2*PI*t)|0.4*sin(660*2*PI*t)+0.1*sin(5000*2*PI*t*t):s=48000:d=3", "-c:a", "aac",
              "-aac_pns", "0", "-ar", "48000", "-ac", "2"}},
            {"mono.mov",
             {"-f", "lavfi", "-i", "sine=frequency=1000:duration=2:sample_rate=44100", "-c:a", "aac", "-aac_pns", "0",
              "-ar", "44100", "-ac", "1"}},
            // Long enough to outgrow the 8 MiB cache.
            {"surround.mp4",
             {"-f", "lavfi", "-i",
              "aevalsrc=0.3*sin(220*2*PI*t)|0.3*sin(330*2*PI*t)|0.3*sin(440*2*PI*t)|0.3*sin(90*2*PI*t)|"
              "0.3*sin(550*2*PI*t)|0.3*sin(660*2*PI*t):c=5.1:s=48000:d=16",
              "-c:a", "aac", "-aac_pns", "0", "-ar", "48000", "-ac", "6"}},
            // The encoder's default noise substitution stays on.
            {"noise.m4a",
             {"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.4:duration=2:sample_rate=48000:seed=7", "-c:a",
              "aac", "-ar", "48000", "-ac", "2"}},
        };
        static std::map<std::string, AacClip> made;
        if (const auto it = made.find(name); it != made.end())
            return it->second;
        auto c = test::make_aac_clip(dir(), name, recipes.at(name));
        if (!c)
            throw std::runtime_error("could not make the test clip " + name);
        return made.emplace(name, std::move(*c)).first->second;
    }

    static const test::TempDir& dir()
    {
        static test::TempDir d;
        return d;
    }

    void SetUp() override
    {
        if (!test::have_ffmpeg())
            GTEST_SKIP() << "ffmpeg is not installed";
        ASSERT_TRUE(codec_library_bound()) << "ffmpeg is installed but its libavcodec could not be bound";
    }

    struct Opened {
        UniqueFd fd;
        PcmGeometry geometry;
        std::uint64_t total_frames = 0;
        std::uint64_t block_bytes = 0;
        std::uint64_t total_bytes = 0;
        std::unique_ptr<PcmSource> source;
    };

    // A decoding source for the clip with its true geometry, one block per
    // access unit; `channels` overrides the stream's channel count.
    static Opened open_source(const AacClip& clip, std::uint32_t channels = 0)
    {
        Opened o;
        o.fd = UniqueFd(::open(clip.path.c_str(), O_RDONLY | O_CLOEXEC));
        o.geometry = {clip.rate, channels ? channels : clip.channels, unit_frames};
        o.total_frames = clip.units.size() * unit_frames;
        o.block_bytes = unit_frames * o.geometry.channels * 2;
        o.total_bytes = o.total_frames * o.geometry.channels * 2;
        o.source = make_pcm_source(o.fd.get(), track_of(clip.units, clip.asc, o.geometry, o.total_frames));
        return o;
    }

    static std::vector<std::uint8_t> read_all(PcmSource& source, std::uint64_t total, std::uint64_t piece)
    {
        std::vector<std::uint8_t> out(total);
        for (std::uint64_t at = 0; at < total; at += piece) {
            const std::uint64_t n = std::min(piece, total - at);
            EXPECT_EQ(source.read(out.data() + at, n, at), n) << "at " << at;
        }
        return out;
    }

    static std::vector<std::uint8_t> read_block(PcmSource& source, const Opened& o, std::uint64_t block)
    {
        std::vector<std::uint8_t> out(o.block_bytes);
        EXPECT_EQ(source.read(out.data(), o.block_bytes, block * o.block_bytes), o.block_bytes);
        return out;
    }

    static DecoderStats stats(PcmSource& source)
    {
        const auto s = decoder_stats(source);
        EXPECT_TRUE(s.has_value()) << "not a decoding source";
        return s.value_or(DecoderStats{});
    }
};

TEST_F(AacSource, ProbeReportsTheDecodedFormat)
{
    for (const char* name : {"stereo.m4a", "mono.mov", "surround.mp4"}) {
        const AacClip& clip = clip_named(name);
        UniqueFd fd(::open(clip.path.c_str(), O_RDONLY | O_CLOEXEC));
        PcmGeometry g{8000, 3, 2048}; // deliberately wrong guesses
        probe(codec_library(), fd.get(), clip.units, clip.asc, g);
        EXPECT_EQ(g.rate, clip.rate) << clip.path;
        EXPECT_EQ(g.channels, clip.channels) << clip.path;
        EXPECT_EQ(g.frames_per_unit, unit_frames) << clip.path;
    }
}

TEST_F(AacSource, ProbeKeepsGuessesWhenNothingDecodes)
{
    const AacClip& clip = clip_named("stereo.m4a");
    UniqueFd fd(::open(clip.path.c_str(), O_RDONLY | O_CLOEXEC));
    std::vector<AccessUnit> unreadable = clip.units;
    for (auto& u : unreadable)
        u.offset += 1u << 30; // past the end of the file
    PcmGeometry g{8000, 3, 2048};
    probe(codec_library(), fd.get(), unreadable, clip.asc, g);
    EXPECT_EQ(g.rate, 8000u);
    EXPECT_EQ(g.channels, 3u);
    EXPECT_EQ(g.frames_per_unit, 2048u);
}

// Our stream keeps the encoder's priming samples (the decoder is told not to
// skip them, so block n is always access unit n); ffmpeg drops them. Past the
// priming the two must agree to the last bit, but for rounding: ffmpeg's
// float-to-16-bit conversion rounds half to even, ours half away from zero.
TEST_F(AacSource, DecodesLikeFfmpegAfterThePriming)
{
    for (const char* name : {"stereo.m4a", "mono.mov", "surround.mp4"}) {
        const AacClip& clip = clip_named(name);
        Opened o = open_source(clip);
        const std::vector<std::uint8_t> ours = read_all(*o.source, o.total_bytes, 10007);
        ASSERT_EQ(clip.priming, 1024u) << clip.path;
        const std::size_t skip = clip.priming * clip.channels;
        ASSERT_GE(ours.size() / 2, skip + clip.reference.size()) << clip.path;
        int worst = 0;
        std::size_t off_by_one = 0;
        for (std::size_t i = 0; i < clip.reference.size(); ++i) {
            const int d = std::abs(sample_at(ours, skip + i) - clip.reference[i]);
            worst = std::max(worst, d);
            off_by_one += d != 0;
        }
        EXPECT_LE(worst, 1) << clip.path;
        // Rounding differences are rare; a channel-order or offset fault is not.
        EXPECT_LT(off_by_one, clip.reference.size() / 100) << clip.path;
        // The priming itself is real decoder output, not padding.
        bool priming_has_sound = false;
        for (std::size_t i = 0; i < skip; ++i)
            priming_has_sound |= sample_at(ours, i) != 0;
        EXPECT_TRUE(priming_has_sound) << clip.path;
    }
}

TEST_F(AacSource, ChannelCountMismatchKeepsLeadingChannelsAndSilencesTheRest)
{
    const AacClip& stereo = clip_named("stereo.m4a");
    Opened narrow = open_source(stereo, 1); // decoder reports two, the stream has one
    const auto left = read_all(*narrow.source, narrow.total_bytes, 65536);
    Opened full = open_source(stereo);
    const auto both = read_all(*full.source, full.total_bytes, 65536);
    for (std::size_t i = 0; i < narrow.total_frames; ++i)
        ASSERT_EQ(sample_at(left, i), sample_at(both, 2 * i)) << "frame " << i;

    const AacClip& mono = clip_named("mono.mov");
    Opened wide = open_source(mono, 2); // decoder reports one, the stream has two
    Opened plain = open_source(mono);
    const auto two = read_all(*wide.source, wide.total_bytes, 65536);
    const auto one = read_all(*plain.source, plain.total_bytes, 65536);
    for (std::size_t i = 0; i < plain.total_frames; ++i) {
        ASSERT_EQ(sample_at(two, 2 * i), sample_at(one, i)) << "frame " << i;
        ASSERT_EQ(sample_at(two, 2 * i + 1), 0) << "frame " << i;
    }
}

// After any sequence of jumps every block reads exactly as in one straight
// pass from the start.
TEST_F(AacSource, JumpsReadTheSameBytesAsASequentialPass)
{
    for (const char* name : {"stereo.m4a", "surround.mp4"}) {
        const AacClip& clip = clip_named(name);
        Opened straight = open_source(clip);
        const auto expected = read_all(*straight.source, straight.total_bytes, straight.block_bytes);

        Opened o = open_source(clip);
        std::mt19937_64 rng(42);
        std::vector<std::uint8_t> got;
        for (int i = 0; i < 200; ++i) {
            const std::uint64_t offset = rng() % o.total_bytes;
            const std::uint64_t length = 1 + rng() % (3 * o.block_bytes);
            got.assign(length, 0xAA);
            const std::uint64_t n = o.source->read(got.data(), length, offset);
            ASSERT_EQ(n, std::min(length, o.total_bytes - offset));
            ASSERT_EQ(0, std::memcmp(got.data(), expected.data() + offset, n))
                << clip.path << ": jump " << i << " to " << offset << " (+" << length << ")";
        }
        EXPECT_GT(stats(*o.source).resets, 50u) << "the reads should have jumped";
    }
}

// Noise substitution draws from a generator whose position depends on what
// the decoder decoded before, so a block read after a jump may differ from the
// straight pass in its noise bands, and only there: by little, never like a
// shifted or misplaced block, which would differ by up to twice the signal's
// peak. Blocks 0 and 1 start from a fresh decoder and read exactly.
TEST_F(AacSource, NoiseSubstitutedStreamsDifferOnlyInTheirNoiseAfterAJump)
{
    const AacClip& clip = clip_named("noise.m4a");
    Opened straight = open_source(clip);
    const auto expected = read_all(*straight.source, straight.total_bytes, straight.block_bytes);
    Opened o = open_source(clip);
    const std::uint64_t blocks = clip.units.size();
    read_block(*o.source, o, blocks / 2);
    for (std::uint64_t b : {0u, 1u}) {
        const auto got = read_block(*o.source, o, b);
        EXPECT_EQ(0, std::memcmp(got.data(), expected.data() + b * o.block_bytes, o.block_bytes)) << "block " << b;
        read_block(*o.source, o, blocks - 1); // wander elsewhere
    }

    int worst = 0;
    std::uint64_t jumped = 0;
    std::uint64_t differing = 0;
    for (std::uint64_t b = 3; b < blocks; b += 7, ++jumped) {
        const auto got = read_block(*o.source, o, b);
        int block_worst = 0;
        for (std::uint64_t i = 0; i < o.block_bytes / 2; ++i)
            block_worst =
                std::max(block_worst, std::abs(sample_at(got, i) - sample_at(expected, b * o.block_bytes / 2 + i)));
        differing += block_worst > 0;
        worst = std::max(worst, block_worst);
    }
    std::printf("noise-substituted stream: %llu of %llu blocks differ after a jump, by at most %d LSB\n",
                static_cast<unsigned long long>(differing), static_cast<unsigned long long>(jumped), worst);
    RecordProperty("jump_difference_lsb", worst);
    int peak = 0;
    for (std::size_t i = 0; i < expected.size() / 2; ++i)
        peak = std::max(peak, std::abs(int{sample_at(expected, i)}));
    EXPECT_LT(worst, peak / 2) << "more than noise bands differ";
}

TEST_F(AacSource, SequentialReadsDecodeEachUnitOnce)
{
    const AacClip& clip = clip_named("stereo.m4a");
    Opened o = open_source(clip);
    read_all(*o.source, o.total_bytes, 131072);
    const DecoderStats s = stats(*o.source);
    EXPECT_EQ(s.packets_sent, clip.units.size());
    EXPECT_EQ(s.frames_received, clip.units.size());
    EXPECT_EQ(s.frames_dropped, 0u);
    EXPECT_EQ(s.resets, 1u);
    EXPECT_EQ(s.fresh_decoders, 1u); // the first read's

    // Two reads that meet at a block boundary decode each unit once.
    Opened p = open_source(clip);
    std::vector<std::uint8_t> buf(200);
    EXPECT_EQ(p.source->read(buf.data(), 100, p.block_bytes - 100), 100u);
    EXPECT_EQ(p.source->read(buf.data(), 100, p.block_bytes), 100u);
    EXPECT_EQ(stats(*p.source).packets_sent, 2u);
    EXPECT_EQ(stats(*p.source).resets, 1u);
}

// Units that lie together in the file are fetched with one read per source
// read; a file cut short still decodes exactly up to its first incomplete unit.
TEST_F(AacSource, ReadsNeighbouringUnitsTogetherAndStopsAtTheFirstIncompleteOne)
{
    const AacClip& clip = clip_named("stereo.m4a");
    Opened whole = open_source(clip);
    const auto expected = read_all(*whole.source, whole.total_bytes, 131072);
    EXPECT_LT(stats(*whole.source).source_reads * 8, clip.units.size());

    const std::size_t cut = 40;
    auto bytes = test::read_file(clip.path);
    bytes.resize(clip.units[cut].offset + clip.units[cut].size / 2);
    AacClip truncated = clip;
    truncated.path = dir().file("truncated.m4a");
    ASSERT_TRUE(test::write_file(truncated.path, bytes));
    Opened o = open_source(truncated);
    std::vector<std::uint8_t> got(64 * o.block_bytes);
    EXPECT_EQ(o.source->read(got.data(), got.size(), 0), cut * o.block_bytes);
    EXPECT_EQ(0, std::memcmp(got.data(), expected.data(), cut * o.block_bytes));
}

// Fresh decoders come from the stock opened ahead in the background, shared by
// every file with the same configuration: the one opened to check a new
// source serves its first read, and jumps to the first two blocks take one.
TEST_F(AacSource, FreshDecodersComeFromTheStock)
{
    const AacClip& clip = clip_named("stereo.m4a");
    Opened straight = open_source(clip);
    const auto expected = read_all(*straight.source, straight.total_bytes, straight.block_bytes);

    const auto wait_for_stock = [&] {
        for (int i = 0; i < 500 && DecoderStock::instance().ready(clip.asc) < DecoderStock::depth; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return DecoderStock::instance().ready(clip.asc);
    };
    ASSERT_EQ(wait_for_stock(), DecoderStock::depth);
    Opened o = open_source(clip);
    read_block(*o.source, o, 30);
    EXPECT_EQ(stats(*o.source).decoders_from_stock, 1u);
    for (std::uint64_t b : {0u, 50u, 1u, 80u, 0u}) {
        ASSERT_EQ(wait_for_stock(), DecoderStock::depth) << "before block " << b;
        const auto got = read_block(*o.source, o, b);
        EXPECT_EQ(0, std::memcmp(got.data(), expected.data() + b * o.block_bytes, o.block_bytes)) << "block " << b;
    }
    const DecoderStats s = stats(*o.source);
    EXPECT_EQ(s.fresh_decoders, 4u);
    EXPECT_EQ(s.decoders_from_stock, 4u);
    EXPECT_EQ(s.flushes, 2u);

    // Jumps in a row, faster than the stock refills, and sources that go
    // while decoders are being opened for them.
    for (int i = 0; i < 20; ++i) {
        Opened p = open_source(clip);
        read_block(*p.source, p, 3);
        read_block(*p.source, p, 0);
        read_block(*p.source, p, 1);
        const auto got = read_block(*p.source, p, 0);
        EXPECT_EQ(0, std::memcmp(got.data(), expected.data(), p.block_bytes));
    }
}

TEST_F(AacSource, AJumpCostsOneFlushAndTwoPrerollUnits)
{
    const AacClip& clip = clip_named("stereo.m4a");
    Opened o = open_source(clip);
    read_block(*o.source, o, 5);
    DecoderStats s = stats(*o.source);
    EXPECT_EQ(s.packets_sent, 3u); // units 3, 4, 5
    EXPECT_EQ(s.frames_dropped, 2u);
    EXPECT_EQ(s.cache_first, 5u);
    EXPECT_EQ(s.cache_blocks, 1u);
    EXPECT_EQ(s.fresh_decoders, 1u);

    read_block(*o.source, o, 6); // right after the cache: goes on
    s = stats(*o.source);
    EXPECT_EQ(s.packets_sent, 4u);
    EXPECT_EQ(s.resets, 1u);

    read_block(*o.source, o, 40); // forwards, past the cache
    s = stats(*o.source);
    EXPECT_EQ(s.resets, 2u);
    EXPECT_EQ(s.flushes, 1u);
    EXPECT_EQ(s.fresh_decoders, 1u);
    EXPECT_EQ(s.packets_sent, 7u); // units 38, 39, 40
    EXPECT_EQ(s.frames_dropped, 4u);

    read_block(*o.source, o, 2); // backwards, before the cache
    s = stats(*o.source);
    EXPECT_EQ(s.resets, 3u);
    EXPECT_EQ(s.flushes, 2u);
    EXPECT_EQ(s.packets_sent, 10u); // units 0, 1, 2
    EXPECT_EQ(s.frames_dropped, 6u);

    // Blocks 0 and 1 have less pre-roll than a flushed decoder needs: they
    // start from a fresh one.
    read_block(*o.source, o, 1);
    s = stats(*o.source);
    EXPECT_EQ(s.resets, 4u);
    EXPECT_EQ(s.flushes, 2u);
    EXPECT_EQ(s.fresh_decoders, 2u);
    EXPECT_EQ(s.packets_sent, 12u); // units 0 and 1; block 0 is pre-roll
    EXPECT_EQ(s.frames_dropped, 7u);

    read_block(*o.source, o, 0); // before the cache again: block 0 has no pre-roll
    s = stats(*o.source);
    EXPECT_EQ(s.resets, 5u);
    EXPECT_EQ(s.fresh_decoders, 3u);
    EXPECT_EQ(s.packets_sent, 13u);
    EXPECT_EQ(s.frames_dropped, 7u);
}

// Other profiles than plain AAC-LC keep more state across a flush (SBR,
// prediction): every jump starts from a fresh decoder. SBR shows as twice the
// frames per unit.
TEST_F(AacSource, JumpsOfOtherProfilesAlwaysTakeAFreshDecoder)
{
    const AacClip& clip = clip_named("stereo.m4a");
    UniqueFd fd(::open(clip.path.c_str(), O_RDONLY | O_CLOEXEC));
    const std::uint64_t frames = clip.units.size() * 2 * unit_frames;
    auto sbr = make_pcm_source(fd.get(), track_of(clip.units, clip.asc, {clip.rate, clip.channels, 2 * unit_frames}, frames));
    std::vector<std::uint8_t> asc = clip.asc;
    asc[0] = static_cast<std::uint8_t>((asc[0] & 0x07) | (1 << 3)); // object type 1: AAC Main
    auto main = make_pcm_source(fd.get(), track_of(clip.units, asc, {clip.rate, clip.channels, unit_frames}, clip.units.size() * unit_frames));
    for (PcmSource* source : {sbr.get(), main.get()}) {
        std::vector<std::uint8_t> buf(4096);
        for (std::uint64_t block : {30u, 10u, 60u})
            source->read(buf.data(), buf.size(), block * 2 * unit_frames * clip.channels * 2);
        const DecoderStats s = stats(*source);
        EXPECT_EQ(s.resets, 3u);
        EXPECT_EQ(s.flushes, 0u);
        EXPECT_EQ(s.fresh_decoders, 3u);
    }
}

TEST_F(AacSource, EndOfStreamIsSignalledOnce)
{
    const AacClip& clip = clip_named("stereo.m4a");
    UniqueFd fd(::open(clip.path.c_str(), O_RDONLY | O_CLOEXEC));
    // One block more than there are units: the decoder runs dry before it.
    const std::uint64_t frames = (clip.units.size() + 1) * unit_frames;
    auto source = make_pcm_source(fd.get(), track_of(clip.units, clip.asc, {clip.rate, clip.channels, unit_frames}, frames));
    const std::uint64_t block = unit_frames * clip.channels * 2;
    const std::uint64_t last_unit = clip.units.size() - 1;
    std::vector<std::uint8_t> buf(2 * block, 0xAA);

    // The last real block and the phantom one: only the real one arrives.
    EXPECT_EQ(source->read(buf.data(), 2 * block, last_unit * block), block);
    EXPECT_EQ(stats(*source).eos_sent, 1u);
    EXPECT_EQ(source->read(buf.data(), block, (last_unit + 1) * block), 0u);
    EXPECT_EQ(source->read(buf.data(), block, (last_unit + 1) * block), 0u);
    EXPECT_EQ(stats(*source).eos_sent, 1u);
    EXPECT_EQ(stats(*source).resets, 1u);
}

TEST_F(AacSource, ReadsAreCutAtTheEndOfTheStream)
{
    const AacClip& clip = clip_named("mono.mov");
    UniqueFd fd(::open(clip.path.c_str(), O_RDONLY | O_CLOEXEC));
    const std::uint64_t frames = 5000; // not a whole number of blocks
    auto source = make_pcm_source(fd.get(), track_of(clip.units, clip.asc, {clip.rate, 1, unit_frames}, frames));
    std::vector<std::uint8_t> buf(8192, 0xAA);
    EXPECT_EQ(source->read(buf.data(), 8192, 2 * frames - 100), 100u);
    EXPECT_EQ(buf[100], 0xAA);
    EXPECT_EQ(source->read(buf.data(), 8192, 2 * frames), 0u);
    EXPECT_EQ(source->read(buf.data(), 8192, ~std::uint64_t{0}), 0u);
    EXPECT_EQ(source->read(buf.data(), 0, 0), 0u);
}

TEST_F(AacSource, LongReadsKeepTheirBlocksAndLaterReadsTrimTheCache)
{
    const AacClip& clip = clip_named("surround.mp4");
    Opened o = open_source(clip);
    const DecoderStats fresh = stats(*o.source);
    ASSERT_EQ(fresh.cache_capacity, 8388608 / o.block_bytes);

    // One read larger than the cache keeps every block it covers.
    std::vector<std::uint8_t> buf(o.total_bytes);
    ASSERT_EQ(o.source->read(buf.data(), o.total_bytes, 0), o.total_bytes);
    EXPECT_EQ(stats(*o.source).cache_blocks, clip.units.size());

    // The next read evicts blocks before it down to the capacity.
    ASSERT_GT(clip.units.size(), fresh.cache_capacity) << "the clip is too short to fill the cache";
    read_block(*o.source, o, clip.units.size() - 1);
    EXPECT_EQ(stats(*o.source).cache_blocks, fresh.cache_capacity);
    // Blocks still cached are served without decoding.
    const std::uint64_t sent = stats(*o.source).packets_sent;
    read_block(*o.source, o, stats(*o.source).cache_first);
    EXPECT_EQ(stats(*o.source).packets_sent, sent);
}

TEST_F(AacSource, EmptyAndUnreadableUnits)
{
    const AacClip& clip = clip_named("stereo.m4a");
    std::vector<AccessUnit> units = clip.units;
    units[3].size = 0;                        // an empty unit: one block of silence
    units[9].offset = std::uint64_t{1} << 40; // beyond the end of the file
    units[20].size = 0xFFFFFFF0;              // a damaged size table: refused, not allocated
    UniqueFd fd(::open(clip.path.c_str(), O_RDONLY | O_CLOEXEC));
    auto source =
        make_pcm_source(fd.get(), track_of(units, clip.asc, {clip.rate, clip.channels, unit_frames}, units.size() * unit_frames));
    const std::uint64_t block = unit_frames * clip.channels * 2;
    std::vector<std::uint8_t> buf(12 * block, 0xAA);

    // Decoding stops at the unreadable unit; the read returns what precedes it.
    EXPECT_EQ(source->read(buf.data(), 12 * block, 0), 9 * block);
    EXPECT_TRUE(std::all_of(buf.begin() + 3 * block, buf.begin() + 4 * block, [](auto b) { return b == 0; }));
    EXPECT_FALSE(std::all_of(buf.begin() + 4 * block, buf.begin() + 5 * block, [](auto b) { return b == 0; }));
    EXPECT_EQ(stats(*source).silent_blocks, 1u);

    // Later blocks remain reachable by a jump past the damage.
    Opened straight = open_source(clip);
    const auto expected = read_block(*straight.source, straight, 30);
    EXPECT_EQ(source->read(buf.data(), block, 30 * block), block);
    EXPECT_EQ(0, std::memcmp(buf.data(), expected.data(), block));
    EXPECT_EQ(source->read(buf.data(), 3 * block, 19 * block), block);
}

// A damaged access unit costs its own block and disturbs the next two (the
// decoder's overlap); it must neither shift later blocks nor stall reads.
TEST_F(AacSource, ADamagedUnitDoesNotShiftOrStallTheStream)
{
    const AacClip& clip = clip_named("stereo.m4a");
    const std::size_t bad = 20;
    auto bytes = test::read_file(clip.path);
    std::mt19937 rng(5);
    for (std::uint32_t i = 0; i < clip.units[bad].size; ++i)
        bytes[clip.units[bad].offset + i] = static_cast<std::uint8_t>(rng());
    AacClip damaged = clip;
    damaged.path = dir().file("damaged.m4a");
    ASSERT_TRUE(test::write_file(damaged.path, bytes));

    Opened clean = open_source(clip);
    const auto expected = read_all(*clean.source, clean.total_bytes, clean.block_bytes);
    Opened o = open_source(damaged);
    const auto got = read_all(*o.source, o.total_bytes, 131072); // checks every read is whole
    EXPECT_EQ(stats(*o.source).silent_blocks, 1u);
    const std::uint64_t block = o.block_bytes;
    EXPECT_EQ(0, std::memcmp(got.data(), expected.data(), bad * block));
    EXPECT_EQ(0, std::memcmp(got.data() + (bad + 3) * block, expected.data() + (bad + 3) * block,
                             o.total_bytes - (bad + 3) * block));

    // Jumps land on the same bytes as the pass above, also next to the damage.
    for (std::uint64_t b : {bad + 1, bad + 2, bad - 1, bad + 3, bad})
        EXPECT_EQ(0, std::memcmp(read_block(*o.source, o, b).data(), got.data() + b * block, block)) << "block " << b;
}

TEST_F(AacSource, ConcurrentReadersSeeTheSameStream)
{
    const AacClip& clip = clip_named("stereo.m4a");
    Opened straight = open_source(clip);
    const auto expected = read_all(*straight.source, straight.total_bytes, 131072);
    Opened shared = open_source(clip);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937_64 rng(t + 1);
            std::vector<std::uint8_t> buf;
            for (int i = 0; i < 60; ++i) {
                const std::uint64_t offset = rng() % shared.total_bytes;
                const std::uint64_t length = std::min<std::uint64_t>(1 + rng() % 20000, shared.total_bytes - offset);
                buf.assign(length, 0);
                if (shared.source->read(buf.data(), length, offset) != static_cast<std::int64_t>(length) ||
                    std::memcmp(buf.data(), expected.data() + offset, length) != 0)
                    ++mismatches[t];
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(AacSourceFallback, GivesSilenceWithoutADecoder)
{
    static constexpr const char* missing[] = {"libkov-missing-codec.so.1"};
    const CodecLibrary absent = bind_codec_library(missing, missing);
    const std::vector<AccessUnit> units{{0, 100}, {100, 100}};
    const std::vector<std::uint8_t> asc{0x11, 0x90};
    test::TempDir dir;
    test::write_file(dir.file("f"), std::vector<std::uint8_t>(200, 0x55));
    UniqueFd fd(::open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC));

    PcmGeometry g{48000, 2, 1024};
    probe(absent, fd.get(), units, asc, g);
    EXPECT_EQ(g.rate, 48000u);
    EXPECT_EQ(g.channels, 2u);
    EXPECT_EQ(g.frames_per_unit, 1024u);

    std::vector<std::unique_ptr<PcmSource>> sources;
    sources.push_back(make_pcm_source(absent, fd.get(), track_of(units, asc, g, 2048)));
    sources.push_back(make_pcm_source(codec_library(), fd.get(), track_of({}, asc, g, 2048))); // no units
    sources.push_back(make_pcm_source(codec_library(), -1, track_of(units, asc, g, 2048)));    // no descriptor to duplicate
    sources.push_back(make_pcm_source(codec_library(), fd.get(), track_of(units, asc, {48000, 0, 1024}, 2048))); // no blocks
    // Geometry no AAC decoder produces (damaged sample entries) is not decoded.
    sources.push_back(make_pcm_source(codec_library(), fd.get(), track_of(units, asc, {48000, 65535, 1024}, 2048)));
    sources.push_back(make_pcm_source(codec_library(), fd.get(), track_of(units, asc, {48000, 2, 1u << 30}, 2048)));
    for (auto& s : sources) {
        ASSERT_NE(s, nullptr);
        EXPECT_NE(dynamic_cast<SilentPcm*>(s.get()), nullptr);
        std::vector<std::uint8_t> buf(5000, 0xAA);
        EXPECT_EQ(s->read(buf.data(), 4000, 1u << 20), 4000u); // silence ignores the offset
        EXPECT_TRUE(std::all_of(buf.begin(), buf.begin() + 4000, [](auto b) { return b == 0; }));
        EXPECT_EQ(buf[4000], 0xAA);
        EXPECT_EQ(s->read(buf.data(), 0, 0), 0u);
    }
}

// Decoder output in each sample format, with the decoder's channel count
// above and below the stream's, and fewer samples than a block holds.
TEST(SampleConversion, MapsEveryFormatOntoTheStreamChannels)
{
    // Decoder channel k, frame i carries the value 100 * (k + 1) + i.
    const std::uint32_t dch = 3;
    const std::int64_t samples = 3;
    std::vector<std::int16_t> s16(dch * samples);
    std::vector<float> flt(dch * samples);
    std::vector<std::vector<std::int16_t>> s16p(dch, std::vector<std::int16_t>(samples));
    std::vector<std::vector<float>> fltp(dch, std::vector<float>(samples));
    for (std::uint32_t k = 0; k < dch; ++k)
        for (std::int64_t i = 0; i < samples; ++i) {
            const auto v = static_cast<std::int16_t>(100 * (k + 1) + i);
            s16[i * dch + k] = s16p[k][i] = v;
            flt[i * dch + k] = fltp[k][i] = static_cast<float>(v) / 32768.0f;
        }
    const std::uint8_t* s16_planes[] = {reinterpret_cast<const std::uint8_t*>(s16.data())};
    const std::uint8_t* flt_planes[] = {reinterpret_cast<const std::uint8_t*>(flt.data())};
    const std::uint8_t* s16p_planes[dch];
    const std::uint8_t* fltp_planes[dch];
    for (std::uint32_t k = 0; k < dch; ++k) {
        s16p_planes[k] = reinterpret_cast<const std::uint8_t*>(s16p[k].data());
        fltp_planes[k] = reinterpret_cast<const std::uint8_t*>(fltp[k].data());
    }
    const struct {
        int format;
        const std::uint8_t* const* planes;
    } inputs[] = {{1, s16_planes}, {6, s16p_planes}, {3, flt_planes}, {8, fltp_planes}};

    for (const auto& in : inputs) {
        for (std::uint32_t channels : {2u, 4u}) {
            const std::uint32_t block_frames = 4; // one more than the decoder gave
            std::vector<std::uint8_t> block(block_frames * channels * 2, 0);
            convert_samples(in.planes, in.format, samples, dch, channels, block);
            for (std::uint32_t i = 0; i < block_frames; ++i)
                for (std::uint32_t k = 0; k < channels; ++k) {
                    const int want = (i < samples && k < dch) ? static_cast<int>(100 * (k + 1) + i) : 0;
                    EXPECT_EQ(sample_at(block, i * channels + k), want)
                        << "format " << in.format << ", " << channels << " channels, frame " << i << ", channel " << k;
                }
        }
    }
    std::vector<std::uint8_t> block(24, 0);
    convert_samples(s16_planes, 2 /* 32-bit integer */, samples, dch, 2, block);
    EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](auto b) { return b == 0; }));
}

TEST(SampleConversion, RoundsHalfAwayFromZeroAndSaturates)
{
    const struct {
        float in;
        std::int16_t out;
    } cases[] = {
        {1.0f, 32767},       {-1.0f, -32768},           {2.5f, 32767},       {-7.0f, -32768},   {0.5f / 32768, 1},
        {-0.5f / 32768, -1}, {0.49f / 32768, 0},        {-0.49f / 32768, 0}, {1.5f / 32768, 2}, {-1.5f / 32768, -2},
        {0.0f, 0},           {32766.5f / 32768, 32767}, {std::nanf(""), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(float_to_s16(c.in), c.out) << c.in;
}

} // namespace
} // namespace kov
