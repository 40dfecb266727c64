// The decoding source against the real libavcodec, with the ffmpeg tool as
// the independent reference decoder.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <thread>

#include "aac_clip.hpp"
#include "common/unique_fd.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/decoded_cache.hpp"
#include "pcm/decoding_service.hpp"
#include "pcm/sample_convert.hpp"

namespace kov {
namespace {

using test::AacClip;
using test::PcmGeometry;
using test::track_of;

constexpr std::uint32_t unit_frames = 1024; // AAC-LC

std::int16_t sample_at(const std::vector<std::uint8_t>& pcm, std::size_t i)
{
    return static_cast<std::int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8);
}

// The stream probe on a track of these units, reporting into `g`.
void probe(DecodingService& decoding, int fd, const std::vector<AccessUnit>& units,
           const std::vector<std::uint8_t>& asc, PcmGeometry& g)
{
    PcmTrack t = track_of(units, asc, g, 0);
    decoding.probe_stream(fd, t);
    g = {t.rate, t.channels, t.frames_per_unit};
}

std::shared_ptr<DecodingService> system_service(bool reset = true)
{
    DecodingService::Settings settings;
    settings.reset = reset;
    return DecodingService::create(bind_system_codec_library(), settings);
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
            {"surround.mp4",
             {"-f", "lavfi", "-i",
              "aevalsrc=0.3*sin(220*2*PI*t)|0.3*sin(330*2*PI*t)|0.3*sin(440*2*PI*t)|0.3*sin(90*2*PI*t)|"
              "0.3*sin(550*2*PI*t)|0.3*sin(660*2*PI*t):c=5.1:s=48000:d=4",
              "-c:a", "aac", "-aac_pns", "0", "-ar", "48000", "-ac", "6"}},
            // The encoder's defaults: noise substitution on. Pink noise and tones.
            {"noise.m4a",
             {"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.3:duration=3:sample_rate=48000:seed=7", "-f",
              "lavfi", "-i", "sine=frequency=880:duration=3:sample_rate=48000", "-filter_complex", "amix=inputs=2",
              "-c:a", "aac", "-ar", "48000", "-ac", "2"}},
        };
        // HE-AAC: the LC core at 24 kHz, its configuration rewritten to SBR
        // (object type 5) or parametric stereo (29) with an extension at 48 kHz.
        static const std::vector<std::string> core24 = {
            "-f",   "lavfi", "-i",       "aevalsrc=0.5*sin(440*2*PI*t)+0.2*sin(3000*2*PI*t):s=24000:d=3",
            "-c:a", "aac",   "-aac_pns", "0",
            "-ac",  "1"};
        static const std::map<std::string, std::pair<std::vector<std::string>, std::vector<std::uint8_t>>> he = {
            {"he_sbr.m4a", {core24, {0x2b, 0x09, 0x88, 0x00}}},
            {"he_ps.m4a", {core24, {0xeb, 0x09, 0x88, 0x00}}},
            {"he_sbr51.m4a",
             {{"-f", "lavfi", "-i",
               "aevalsrc=0.3*sin(220*2*PI*t)|0.3*sin(330*2*PI*t)|0.3*sin(440*2*PI*t)|0.3*sin(90*2*PI*t)|"
               "0.3*sin(550*2*PI*t)|0.3*sin(660*2*PI*t):c=5.1:s=24000:d=3",
               "-c:a", "aac", "-aac_pns", "0", "-ac", "6"},
              {0x2b, 0x31, 0x88, 0x00}}},
        };
        static std::map<std::string, AacClip> made;
        if (const auto it = made.find(name); it != made.end())
            return it->second;
        const auto recipe =
            he.count(name) ? he.at(name) : std::make_pair(recipes.at(name), std::vector<std::uint8_t>{});
        auto c = test::make_aac_clip(dir(), name, recipe.first, recipe.second);
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
        ASSERT_TRUE(decoding->bound()) << "ffmpeg is installed but its libavcodec could not be bound";
    }

    // The service of this test alone.
    std::shared_ptr<DecodingService> decoding = system_service();

    struct Opened {
        const AacClip* clip = nullptr;
        UniqueFd fd;
        std::uint64_t total_frames = 0;
        std::uint64_t block_bytes = 0; // one unit's PCM
        std::uint64_t total_bytes = 0;
        std::unique_ptr<PcmSource> source;
    };

    // A decoding source for the clip's units played back to back, in the
    // format the decoder reports (HE-AAC: 2048 frames a unit); `channels`
    // overrides the stream's channel count.
    Opened open_source(const AacClip& clip, std::uint32_t channels = 0, const std::string& path = {})
    {
        return open_source_on(*decoding, clip, channels, path);
    }

    static Opened open_source_on(DecodingService& service, const AacClip& clip, std::uint32_t channels = 0,
                                 const std::string& path = {})
    {
        Opened o;
        o.clip = &clip;
        o.fd = UniqueFd(::open((path.empty() ? clip.path : path).c_str(), O_RDONLY | O_CLOEXEC));
        PcmGeometry g{clip.rate, channels ? channels : clip.channels, unit_frames};
        if (channels == 0)
            probe(service, o.fd.get(), clip.units, clip.asc, g);
        o.total_frames = clip.units.size() * g.frames_per_unit;
        o.block_bytes = std::uint64_t{g.frames_per_unit} * g.channels * 2;
        o.total_bytes = o.total_frames * g.channels * 2;
        o.source = service.make_source(track_of(clip.units, clip.asc, g, o.total_frames));
        return o;
    }

    static std::vector<std::uint8_t> read_all(int fd, PcmSource& source, std::uint64_t total, std::uint64_t piece)
    {
        std::vector<std::uint8_t> out(total);
        for (std::uint64_t at = 0; at < total; at += piece) {
            const std::uint64_t n = std::min(piece, total - at);
            EXPECT_EQ(source.read(fd, out.data() + at, n, at), static_cast<std::int64_t>(n)) << "at " << at;
        }
        return out;
    }
};

TEST_F(AacSource, ProbeReportsTheDecodedFormat)
{
    for (const char* name : {"stereo.m4a", "mono.mov", "surround.mp4"}) {
        const AacClip& clip = clip_named(name);
        UniqueFd fd(::open(clip.path.c_str(), O_RDONLY | O_CLOEXEC));
        PcmGeometry g{8000, 3, 2048}; // deliberately wrong guesses
        probe(*decoding, fd.get(), clip.units, clip.asc, g);
        EXPECT_EQ(g.rate, clip.rate) << clip.path;
        EXPECT_EQ(g.channels, clip.channels) << clip.path;
        EXPECT_EQ(g.frames_per_unit, unit_frames) << clip.path;
    }
    // Nothing decodable: the guesses stay.
    const AacClip& clip = clip_named("stereo.m4a");
    UniqueFd fd(::open(clip.path.c_str(), O_RDONLY | O_CLOEXEC));
    std::vector<AccessUnit> unreadable = clip.units;
    for (auto& u : unreadable)
        u.offset += 1u << 30; // past the end of the file
    PcmGeometry g{8000, 3, 2048};
    probe(*decoding, fd.get(), unreadable, clip.asc, g);
    EXPECT_EQ(g.rate, 8000u);
    EXPECT_EQ(g.channels, 3u);
    EXPECT_EQ(g.frames_per_unit, 2048u);
}

// Our stream keeps the encoder's priming samples (the decoder is told not to
// skip them); ffmpeg drops them. Past the priming the two must agree to the
// last bit, but for rounding: ffmpeg's float-to-16-bit conversion rounds half
// to even, ours half away from zero. Each segment starts from a fresh decoder
// with two units of pre-roll, which in plain AAC-LC without noise
// substitution decodes exactly as one continuous pass.
TEST_F(AacSource, DecodesLikeFfmpegAfterThePriming)
{
    for (const char* name : {"stereo.m4a", "mono.mov", "surround.mp4"}) {
        const AacClip& clip = clip_named(name);
        Opened o = open_source(clip);
        const std::vector<std::uint8_t> ours = read_all(o.fd.get(), *o.source, o.total_bytes, 10007);
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

// With noise substitution the noise of a band depends on every unit the
// decoder decoded before; each segment starts a fresh generator, so it
// differs from ffmpeg's one continuous pass in those bands, and only there:
// by far less than the signal, never like a shifted or misplaced block.
TEST_F(AacSource, NoiseSubstitutionDiffersFromAContinuousDecodeOnlyInItsNoise)
{
    const AacClip& clip = clip_named("noise.m4a");
    Opened o = open_source(clip);
    const auto ours = read_all(o.fd.get(), *o.source, o.total_bytes, 65536);
    const std::size_t skip = clip.priming * clip.channels;
    ASSERT_GE(ours.size() / 2, skip + clip.reference.size());
    int worst = 0;
    double diff_energy = 0;
    double energy = 0;
    for (std::size_t i = 0; i < clip.reference.size(); ++i) {
        const int d = sample_at(ours, skip + i) - clip.reference[i];
        worst = std::max(worst, std::abs(d));
        diff_energy += double{1} * d * d;
        energy += double{1} * clip.reference[i] * clip.reference[i];
    }
    const double snr_db = diff_energy > 0 ? 10 * std::log10(energy / diff_energy) : 999;
    std::printf("noise substitution vs ffmpeg's continuous decode: worst %d LSB, signal to difference %.1f dB\n", worst,
                snr_db);
    RecordProperty("noise_worst_lsb", worst);
    EXPECT_GT(snr_db, 10.0) << "more than noise bands differ";
}

// HE-AAC (SBR over a mono and a 5.1 core, parametric stereo): segments decoded
// behind their pre-roll equal one continuous pass through the stream (ffmpeg's,
// its edit list ignored) within a rounding step, at twice the core's rate.
TEST_F(AacSource, HeAacSegmentsDecodeLikeOneContinuousPass)
{
    for (const char* name : {"he_sbr.m4a", "he_ps.m4a", "he_sbr51.m4a"}) {
        const AacClip& clip = clip_named(name);
        Opened o = open_source(clip);
        EXPECT_EQ(clip.rate, 48000u) << name;
        ASSERT_EQ(o.total_frames, clip.units.size() * 2048) << name;
        const auto ours = read_all(o.fd.get(), *o.source, o.total_bytes, 10007);
        const auto r = test::run_command(
            {"ffmpeg", "-nostdin", "-v", "error", "-ignore_editlist", "1", "-i", clip.path, "-f", "s16le", "-"});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.out.size(), ours.size()) << name;
        int worst = 0;
        for (std::size_t i = 0; i + 1 < ours.size(); i += 2) {
            const auto theirs = static_cast<std::int16_t>(static_cast<std::uint8_t>(r.out[i]) |
                                                          static_cast<std::uint8_t>(r.out[i + 1]) << 8);
            worst = std::max(worst, std::abs(sample_at(ours, i / 2) - theirs));
        }
        std::printf("%s: worst %d LSB against a continuous decode\n", name, worst);
        EXPECT_LE(worst, 1) << name;
    }
}

TEST_F(AacSource, ChannelCountMismatchKeepsLeadingChannelsAndSilencesTheRest)
{
    const AacClip& stereo = clip_named("stereo.m4a");
    Opened narrow = open_source(stereo, 1); // decoder reports two, the stream has one
    const auto left = read_all(narrow.fd.get(), *narrow.source, narrow.total_bytes, 65536);
    Opened full = open_source(stereo);
    const auto both = read_all(full.fd.get(), *full.source, full.total_bytes, 65536);
    for (std::size_t i = 0; i < narrow.total_frames; ++i)
        ASSERT_EQ(sample_at(left, i), sample_at(both, 2 * i)) << "frame " << i;

    const AacClip& mono = clip_named("mono.mov");
    Opened wide = open_source(mono, 2); // decoder reports one, the stream has two
    Opened plain = open_source(mono);
    const auto two = read_all(wide.fd.get(), *wide.source, wide.total_bytes, 65536);
    const auto one = read_all(plain.fd.get(), *plain.source, plain.total_bytes, 65536);
    for (std::size_t i = 0; i < plain.total_frames; ++i) {
        ASSERT_EQ(sample_at(two, 2 * i), sample_at(one, i)) << "frame " << i;
        ASSERT_EQ(sample_at(two, 2 * i + 1), 0) << "frame " << i;
    }
}

// Every byte is a function of the file alone: whatever was read before, in
// whatever pieces, by however many readers, a byte reads the same. Noise
// substitution included.
TEST_F(AacSource, EveryReadPatternReadsTheSameBytes)
{
    using Pattern = std::function<std::vector<std::uint8_t>(Opened&)>;
    const auto random_reads = [](Opened& o, std::uint64_t seed, std::uint64_t max_len) {
        std::vector<std::uint8_t> out(o.total_bytes, 0);
        std::vector<bool> seen(o.total_bytes, false);
        std::mt19937_64 rng(seed);
        std::vector<std::uint8_t> buf;
        for (int i = 0; i < 150; ++i) {
            const std::uint64_t offset = rng() % o.total_bytes;
            const std::uint64_t length = std::min<std::uint64_t>(1 + rng() % max_len, o.total_bytes - offset);
            buf.assign(length, 0xAA);
            EXPECT_EQ(o.source->read(o.fd.get(), buf.data(), length, offset), static_cast<std::int64_t>(length));
            for (std::uint64_t k = 0; k < length; ++k) {
                if (seen[offset + k] && out[offset + k] != buf[k]) {
                    ADD_FAILURE() << "byte " << offset + k << " read differently the second time";
                    return out;
                }
                out[offset + k] = buf[k];
                seen[offset + k] = true;
            }
        }
        // Then the rest, backwards: every byte read at least once.
        for (std::uint64_t at = o.total_bytes; at > 0;) {
            const std::uint64_t length = std::min<std::uint64_t>(3000, at);
            at -= length;
            buf.assign(length, 0xAA);
            EXPECT_EQ(o.source->read(o.fd.get(), buf.data(), length, at), static_cast<std::int64_t>(length));
            for (std::uint64_t k = 0; k < length; ++k) {
                if (seen[at + k]) {
                    EXPECT_EQ(out[at + k], buf[k]) << "byte " << at + k;
                }
            }
            std::memcpy(out.data() + at, buf.data(), length);
        }
        return out;
    };
    const std::vector<std::pair<std::string, Pattern>> patterns = {
        {"straight, 1 MiB", [](Opened& o) { return read_all(o.fd.get(), *o.source, o.total_bytes, 1 << 20); }},
        {"straight, 4 KiB", [](Opened& o) { return read_all(o.fd.get(), *o.source, o.total_bytes, 4096); }},
        {"straight, odd pieces", [](Opened& o) { return read_all(o.fd.get(), *o.source, o.total_bytes, 10007); }},
        {"random, small", [&](Opened& o) { return random_reads(o, 1, 3 * o.block_bytes); }},
        {"random, large", [&](Opened& o) { return random_reads(o, 2, 300000); }},
        // Used decoders are reset and used again: a service that never
        // resets them, a fresh decoder for every segment, gives the same bytes.
        {"fresh decoders only",
         [&](Opened& o) {
             const auto fresh_only = system_service(false);
             Opened own = open_source_on(*fresh_only, *o.clip);
             return read_all(own.fd.get(), *own.source, own.total_bytes, 65536);
         }},
        {"straight after a release",
         [](Opened& o) {
             read_all(o.fd.get(), *o.source, o.total_bytes / 2, 8192);
             o.source->release();
             return read_all(o.fd.get(), *o.source, o.total_bytes, 65536);
         }},
        {"four readers at once",
         [&](Opened& o) {
             std::vector<std::vector<std::uint8_t>> got(4);
             std::vector<std::thread> threads;
             for (int t = 0; t < 4; ++t)
                 threads.emplace_back([&, t] {
                     got[t] = t % 2 ? read_all(o.fd.get(), *o.source, o.total_bytes, 4096 * (t + 1))
                                    : random_reads(o, 10 + t, 2 * o.block_bytes);
                 });
             for (auto& th : threads)
                 th.join();
             for (int t = 1; t < 4; ++t)
                 EXPECT_TRUE(got[t] == got[0]) << "reader " << t;
             return got[0];
         }},
    };
    for (const char* name : {"noise.m4a", "surround.mp4", "stereo.m4a", "he_sbr.m4a", "he_ps.m4a", "he_sbr51.m4a"}) {
        const AacClip& clip = clip_named(name);
        std::vector<std::uint8_t> first;
        for (const auto& [label, pattern] : patterns) {
            Opened o = open_source(clip); // a source of its own: nothing read before
            const auto got = pattern(o);
            if (first.empty()) {
                first = got;
                continue;
            }
            ASSERT_EQ(got.size(), first.size());
            const auto at = std::mismatch(got.begin(), got.end(), first.begin()).first - got.begin();
            EXPECT_EQ(at, static_cast<std::ptrdiff_t>(got.size()))
                << name << ", " << label << ": first difference at byte " << at;
        }
    }
}

// Units fill the frames from their place to the next unit's: a gap between
// them is silence, a unit longer than its slot is cut, and times that stray
// less than half a unit leave the audio unbroken.
TEST_F(AacSource, UnitsArePlacedByTheirTimes)
{
    const AacClip& clip = clip_named("stereo.m4a");
    Opened uniform = open_source(clip);
    const auto plain = read_all(uniform.fd.get(), *uniform.source, uniform.total_bytes, 65536);

    const std::size_t n = clip.units.size();
    ASSERT_GT(n, 40u);
    std::vector<std::uint64_t> starts(n), times(n);
    for (std::size_t i = 0; i < n; ++i) {
        starts[i] = i * unit_frames + (i >= 10 ? 3000 : 0) - (i >= 20 ? 600 : 0); // a gap after 9, unit 19 cut
        times[i] = i < 30 || i >= 40 ? starts[i] : i % 2 ? starts[i] + 500 : starts[i] - 500; // jitter: no break
    }
    const std::uint64_t total = starts.back() + unit_frames + 600; // silence after the last unit
    PcmTrack track = track_of(clip.units, clip.asc, {clip.rate, clip.channels, unit_frames}, total);
    track.timescale = 90000; // times as a video track would count them
    std::vector<PcmUnit> units;
    for (std::size_t i = 0; i < clip.units.size(); ++i)
        units.push_back({clip.units[i].offset, clip.units[i].size, times[i] * 90000 / 48000});
    track.units = unit_list_of(std::move(units));
    UniqueFd fd(::open(clip.path.c_str(), O_RDONLY | O_CLOEXEC));
    auto source = decoding->make_source(std::move(track));
    const std::uint64_t frame_bytes = clip.channels * 2;

    std::vector<std::uint8_t> expected(total * frame_bytes, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t slot = (i + 1 < n ? starts[i + 1] : total) - starts[i];
        const std::uint64_t frames = std::min<std::uint64_t>(unit_frames, slot);
        std::memcpy(expected.data() + starts[i] * frame_bytes, plain.data() + i * unit_frames * frame_bytes,
                    frames * frame_bytes);
    }
    for (std::uint64_t piece : {4096u, 1u << 20}) {
        const auto got = read_all(fd.get(), *source, expected.size(), piece);
        const auto at = std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin();
        EXPECT_EQ(at, static_cast<std::ptrdiff_t>(got.size())) << "first difference at frame " << at / frame_bytes;
    }
}

TEST_F(AacSource, ReadsAreCutAtTheEndOfTheStream)
{
    const AacClip& clip = clip_named("mono.mov");
    UniqueFd fd(::open(clip.path.c_str(), O_RDONLY | O_CLOEXEC));
    const std::uint64_t frames = 5000; // not a whole number of units
    auto source = decoding->make_source(track_of(clip.units, clip.asc, {clip.rate, 1, unit_frames}, frames));
    std::vector<std::uint8_t> buf(8192, 0xAA);
    EXPECT_EQ(source->read(fd.get(), buf.data(), 8192, 2 * frames - 100), 100);
    EXPECT_EQ(buf[100], 0xAA);
    EXPECT_EQ(source->read(fd.get(), buf.data(), 8192, 2 * frames), 0);
    EXPECT_EQ(source->read(fd.get(), buf.data(), 8192, ~std::uint64_t{0}), 0);
    EXPECT_EQ(source->read(fd.get(), buf.data(), 0, 0), 0);
}

// Units that cannot give audio play as silence in their own slot, and the
// stream reads the same at any read size; what the decoder carries over
// from a damaged unit touches at most the two units after it.
TEST_F(AacSource, DamagedOrMissingUnitsAreSilenceAtAnyReadSize)
{
    const AacClip& clip = clip_named("stereo.m4a");
    Opened clean = open_source(clip);
    const auto expected = read_all(clean.fd.get(), *clean.source, clean.total_bytes, 1 << 20);

    auto bytes = test::read_file(clip.path);
    std::mt19937 rng(5);
    const std::size_t garbled = 20;
    for (std::uint32_t i = 0; i < clip.units[garbled].size; ++i)
        bytes[clip.units[garbled].offset + i] = static_cast<std::uint8_t>(rng());
    const std::string damaged = dir().file("damaged.m4a");
    ASSERT_TRUE(test::write_file(damaged, bytes));

    AacClip odd = clip;
    odd.units[3].size = 0;                         // empty
    odd.units[40].offset = std::uint64_t{1} << 40; // beyond the end of the file
    odd.units[60].size = 0xFFFFFFF0;               // a damaged size table: refused, not allocated
    const std::vector<std::size_t> silent = {3, garbled, 40, 60};

    Opened first = open_source(odd, 0, damaged);
    const auto reference = read_all(first.fd.get(), *first.source, first.total_bytes, 4096);
    for (std::uint64_t piece : {65536u, 1u << 20, 4096u * 3 + 1}) {
        Opened o = open_source(odd, 0, damaged);
        EXPECT_TRUE(read_all(o.fd.get(), *o.source, o.total_bytes, piece) == reference)
            << "reads of " << piece << " bytes";
    }
    const std::uint64_t block = first.block_bytes;
    for (std::size_t u = 0; u < clip.units.size(); ++u) {
        const auto at = reference.begin() + static_cast<std::ptrdiff_t>(u * block);
        const bool is_silent = std::all_of(at, at + static_cast<std::ptrdiff_t>(block), [](auto b) { return b == 0; });
        if (std::find(silent.begin(), silent.end(), u) != silent.end()) {
            EXPECT_TRUE(is_silent) << "unit " << u;
            continue;
        }
        const bool disturbed = std::any_of(silent.begin(), silent.end(), [&](auto s) { return u > s && u <= s + 2; });
        if (!disturbed) {
            EXPECT_EQ(0, std::memcmp(&*at, expected.data() + u * block, block)) << "unit " << u;
        }
    }
}

// A stream damaged all through (every third unit garbled; garbled units read
// as anything, channel configurations included) decodes with fresh decoders
// after its damaged units and without decoding ahead: it still reads the
// same in any order and at any read size, and is as clean as the undamaged
// stream before its first damage.
TEST_F(AacSource, BadlyDamagedSurroundReadsTheSameInAnyOrder)
{
    const AacClip& clip = clip_named("surround.mp4");
    auto bytes = test::read_file(clip.path);
    std::mt19937 rng(11);
    const std::size_t first_damaged = 7;
    for (std::size_t u = first_damaged; u < clip.units.size(); u += 3)
        for (std::uint32_t i = 0; i < clip.units[u].size; ++i)
            bytes[clip.units[u].offset + i] = static_cast<std::uint8_t>(rng());
    const std::string damaged = dir().file("damaged-surround.mp4");
    ASSERT_TRUE(test::write_file(damaged, bytes));

    Opened first = open_source(clip, 0, damaged);
    const auto reference = read_all(first.fd.get(), *first.source, first.total_bytes, 4096 * 3 + 1);
    Opened big = open_source(clip, 0, damaged);
    EXPECT_TRUE(read_all(big.fd.get(), *big.source, big.total_bytes, 1 << 20) == reference);
    Opened backwards = open_source(clip, 0, damaged);
    std::vector<std::uint8_t> got(backwards.total_bytes);
    const std::uint64_t piece = 5000;
    for (std::uint64_t end = backwards.total_bytes; end > 0;) {
        const std::uint64_t at = end > piece ? end - piece : 0;
        ASSERT_EQ(backwards.source->read(backwards.fd.get(), got.data() + at, end - at, at),
                  static_cast<std::int64_t>(end - at));
        end = at;
    }
    EXPECT_TRUE(got == reference);

    Opened clean = open_source(clip);
    const auto expected = read_all(clean.fd.get(), *clean.source, clean.total_bytes, 1 << 20);
    EXPECT_EQ(0, std::memcmp(reference.data(), expected.data(), first_damaged * first.block_bytes));
}

// A source that cannot be read answers -EIO, and reads right afterwards once
// it can: nothing of the failed read was kept.
TEST_F(AacSource, UnreadableSourceGivesEio)
{
    const AacClip& clip = clip_named("stereo.m4a");
    UniqueFd folder(::open(dir().path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); // every pread fails
    auto source = decoding->make_source(
        track_of(clip.units, clip.asc, {clip.rate, clip.channels, unit_frames}, clip.units.size() * unit_frames));
    std::vector<std::uint8_t> buf(65536);
    EXPECT_EQ(source->read(folder.get(), buf.data(), buf.size(), 0), -EIO);
    EXPECT_EQ(source->read(folder.get(), buf.data(), 100, 300000), -EIO);
}

// Each read lends the source a descriptor for that read alone, closed right
// after it as a file handle's is: the bytes stay those of a source read
// through one descriptor, and once the decodes ahead have ended the live
// source holds no descriptor at all.
TEST_F(AacSource, HoldsADescriptorOnlyWhileReading)
{
    const auto open_descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const AacClip& clip = clip_named("surround.mp4");
    // Counted before the reference read: its decodes ahead hold a duplicate
    // for a while after it returns. At the end the reference's own descriptor
    // is the one more there may be.
    const auto base = open_descriptors() + 1;
    Opened whole = open_source(clip);
    const auto reference = read_all(whole.fd.get(), *whole.source, whole.total_bytes, 4096);
    Opened lent = open_source(clip);
    std::vector<std::uint8_t> got(lent.total_bytes);
    for (std::uint64_t at = 0; at < lent.total_bytes; at += 4096) {
        const UniqueFd fd(::fcntl(lent.fd.get(), F_DUPFD_CLOEXEC, 0));
        const std::uint64_t n = std::min<std::uint64_t>(4096, lent.total_bytes - at);
        ASSERT_EQ(lent.source->read(fd.get(), got.data() + at, n, at), static_cast<std::int64_t>(n));
    }
    EXPECT_TRUE(got == reference);
    lent.fd.reset();
    for (int i = 0; i < 500 && open_descriptors() != base; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(open_descriptors(), base);
}

// What a source has decoded serves its reads without the file until it is
// released; after that a read decodes again, through the descriptor it is
// handed, and reads the same bytes.
TEST_F(AacSource, ReleaseGivesBackDecodedBlocks)
{
    const AacClip& clip = clip_named("surround.mp4");
    Opened o = open_source(clip);
    const auto before = read_all(o.fd.get(), *o.source, o.total_bytes, 131072);
    UniqueFd folder(::open(dir().path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); // every pread fails
    std::vector<std::uint8_t> kept(65536);
    ASSERT_EQ(o.source->read(folder.get(), kept.data(), kept.size(), 0), static_cast<std::int64_t>(kept.size()));
    EXPECT_EQ(0, std::memcmp(kept.data(), before.data(), kept.size())) << "served from what was decoded";
    o.source->release();
    EXPECT_EQ(o.source->read(folder.get(), kept.data(), kept.size(), 0), -EIO) << "nothing decoded was kept";
    EXPECT_TRUE(read_all(o.fd.get(), *o.source, o.total_bytes, 131072) == before);
}

// The decoded cache of a service is bounded: with room for a fraction of
// one stream, a second source read after the first still decodes every byte
// right, and the first reads the same again.
TEST_F(AacSource, ABudgetSmallerThanAStreamStillReadsEveryByte)
{
    DecodingService::Settings settings;
    settings.decoded_budget = 64u << 10;
    const auto tight = DecodingService::create(bind_system_codec_library(), settings);
    const AacClip& clip = clip_named("surround.mp4");
    Opened reference = open_source(clip);
    const auto expected = read_all(reference.fd.get(), *reference.source, reference.total_bytes, 1 << 20);
    Opened first = open_source_on(*tight, clip);
    Opened second = open_source_on(*tight, clip);
    EXPECT_TRUE(read_all(first.fd.get(), *first.source, first.total_bytes, 65536) == expected);
    EXPECT_TRUE(read_all(second.fd.get(), *second.source, second.total_bytes, 4096 * 3 + 1) == expected);
    EXPECT_TRUE(read_all(first.fd.get(), *first.source, first.total_bytes, 1 << 20) == expected);
}

TEST(DecodedSegments, TheLeastRecentlyUsedGoFirstBeyondTheBudget)
{
    const auto segment = [](std::size_t bytes) {
        auto s = std::make_shared<DecodedSegment>();
        s->pcm.resize(bytes);
        return s;
    };
    const std::size_t one = segment(100000)->bytes();
    DecodedCache cache(3 * one);
    cache.put(1, 0, segment(100000));
    cache.put(1, 1, segment(100000));
    cache.put(2, 0, segment(100000));
    EXPECT_TRUE(cache.find(1, 0)); // now the most recent
    cache.put(2, 1, segment(100000));
    EXPECT_FALSE(cache.find(1, 1));
    EXPECT_TRUE(cache.find(1, 0) && cache.find(2, 0) && cache.find(2, 1));
    cache.put(3, 0, segment(500000)); // larger than the budget alone: kept, everything else goes
    EXPECT_TRUE(cache.find(3, 0));
    EXPECT_FALSE(cache.find(1, 0) || cache.find(2, 0) || cache.find(2, 1));
    cache.put(3, 1, segment(100)); // beside a large one: the large one goes
    cache.drop(3);
    EXPECT_FALSE(cache.find(3, 0) || cache.find(3, 1));
}

TEST(TimeToFrame, RoundsHalfUpAndSaturates)
{
    const struct {
        std::uint64_t time;
        std::uint32_t timescale, rate;
        std::uint64_t frame;
    } cases[] = {
        {1024, 48000, 48000, 1024},
        {90000, 90000, 48000, 48000},
        {1, 90000, 48000, 1}, // 0.533 rounds up
        {15, 16, 8, 8},
        {13, 16, 8, 7},
        {0, 0, 48000, 0},
        {~std::uint64_t{0}, 1, 48000, ~std::uint64_t{0}},
        {5, 0, 48000, 5}, // no timescale: frames
    };
    for (const auto& c : cases)
        EXPECT_EQ(time_to_frame(c.time, c.timescale, c.rate), c.frame) << c.time << "/" << c.timescale;
}

// Without a decoder (no library, or geometry no AAC decoder produces, as
// damaged sample entries give) the stream is silence of any length: reads
// far past the track's own end still answer in full.
TEST(AacSourceFallback, GivesSilenceWithoutADecoder)
{
    static constexpr const char* missing[] = {"libkov-missing-codec.so.1"};
    const auto absent = DecodingService::create(bind_codec_library(missing, missing), {});
    const auto system = system_service();
    EXPECT_FALSE(absent->bound());
    EXPECT_EQ(absent->description(), "");
    const std::vector<AccessUnit> units{{0, 100}, {100, 100}};
    const std::vector<std::uint8_t> asc{0x11, 0x90};
    test::TempDir dir;
    test::write_file(dir.file("f"), std::vector<std::uint8_t>(200, 0x55));
    UniqueFd fd(::open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC));

    PcmGeometry g{48000, 2, 1024};
    probe(*absent, fd.get(), units, asc, g);
    EXPECT_EQ(g.rate, 48000u);
    EXPECT_EQ(g.channels, 2u);
    EXPECT_EQ(g.frames_per_unit, 1024u);

    std::vector<std::unique_ptr<PcmSource>> sources;
    sources.push_back(absent->make_source(track_of(units, asc, g, 2048)));
    sources.push_back(system->make_source(track_of(units, asc, {48000, 0, 1024}, 2048)));
    sources.push_back(system->make_source(track_of(units, asc, {48000, 65535, 1024}, 2048)));
    sources.push_back(system->make_source(track_of(units, asc, {48000, 2, 1u << 30}, 2048)));
    for (auto& s : sources) {
        ASSERT_NE(s, nullptr);
        std::vector<std::uint8_t> buf(5000, 0xAA);
        EXPECT_EQ(s->read(fd.get(), buf.data(), 4000, 1u << 20), 4000);
        EXPECT_TRUE(std::all_of(buf.begin(), buf.begin() + 4000, [](auto b) { return b == 0; }));
        EXPECT_EQ(buf[4000], 0xAA);
        EXPECT_EQ(s->read(fd.get(), buf.data(), 0, 0), 0);
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
    convert_samples(s16_planes, 4 /* 64-bit float: no decoder of ours gives it */, samples, dch, 2, block);
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
