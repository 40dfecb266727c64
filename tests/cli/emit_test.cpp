// --emit on real ffmpeg-made files, judged by ffprobe/ffmpeg: the output must
// be a valid file whose PCM track decodes to what ffmpeg decodes from the
// source's AAC, with every other stream's packets untouched.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "support/test_env.hpp"

namespace kov {
namespace {

using test::run_command;

struct StreamInfo {
    int index = 0;
    std::string codec;
    std::string type;
    int rate = 0;
    int channels = 0;
    long long duration_ts = 0;
    long long tb_num = 0, tb_den = 0;
};

std::vector<StreamInfo> streams_of(const std::string& path)
{
    const auto r = run_command({"ffprobe", "-v", "error", "-show_entries",
                                "stream=index,codec_type,codec_name,sample_rate,channels,duration_ts,time_base", "-of",
                                "default=noprint_wrappers=0", path});
    std::vector<StreamInfo> out;
    EXPECT_EQ(r.status, 0) << path << ": " << r.err;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        if (line == "[STREAM]") {
            out.emplace_back();
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos || out.empty())
            continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "index")
            out.back().index = std::atoi(value.c_str());
        else if (key == "codec_name")
            out.back().codec = value;
        else if (key == "codec_type")
            out.back().type = value;
        else if (key == "sample_rate")
            out.back().rate = std::atoi(value.c_str());
        else if (key == "channels")
            out.back().channels = std::atoi(value.c_str());
        else if (key == "duration_ts")
            out.back().duration_ts = std::atoll(value.c_str());
        else if (key == "time_base" && value.find('/') != std::string::npos)
            out.back().tb_num = std::atoll(value.c_str()),
            out.back().tb_den = std::atoll(value.c_str() + value.find('/') + 1);
    }
    return out;
}

// The packets of one stream, as per-packet MD5 lines with their timing.
std::string packet_hashes(const std::string& path, int index)
{
    const auto r = run_command({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:" + std::to_string(index),
                                "-c", "copy", "-f", "framemd5", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

std::string decode_s16(const std::string& path, int index)
{
    const auto r = run_command(
        {"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:" + std::to_string(index), "-f", "s16le", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

struct EmitCase {
    const char* name;
    std::vector<std::string> ffmpeg_args;
    int rate;
    int channels;
};

const std::string stereo48 = "aevalsrc=0.8*sin(440*2*PI*t)|0.5*sin(660*2*PI*t):s=48000:d=3";
const std::string video = "testsrc=d=3:s=160x120:r=25";

// Without noise substitution: the decode of each segment from a fresh
// decoder then equals ffmpeg's one continuous pass but for rounding. (With
// it, noise bands differ; the decoding tests measure by how much.)
std::vector<EmitCase> emit_cases()
{
    return {
        {"stereo48k_moov_last.mp4",
         {"-f", "lavfi", "-i", stereo48, "-f", "lavfi", "-i", video, "-c:a", "aac", "-aac_pns", "0", "-c:v", "mpeg4"},
         48000,
         2},
        {"stereo48k_moov_first.mp4",
         {"-f", "lavfi", "-i", stereo48, "-f", "lavfi", "-i", video, "-c:a", "aac", "-aac_pns", "0", "-c:v", "mpeg4",
          "-movflags", "+faststart"},
         48000,
         2},
        {"mono44k.mov",
         {"-f", "lavfi", "-i", "aevalsrc=0.7*sin(300*2*PI*t)*sin(3*t):s=44100:d=3", "-f", "lavfi", "-i", video, "-c:a",
          "aac", "-aac_pns", "0", "-c:v", "mpeg4"},
         44100,
         1},
        {"surround.mp4",
         {"-f", "lavfi", "-i",
          "aevalsrc=sin(440*2*PI*t)|sin(550*2*PI*t)|sin(660*2*PI*t)|0.3*sin(50*2*PI*t)|sin(770*2*PI*t)|"
          "sin(880*2*PI*t):s=48000:d=2:c=5.1",
          "-f", "lavfi", "-i", video, "-c:a", "aac", "-aac_pns", "0", "-c:v", "mpeg4", "-shortest"},
         48000,
         6},
        {"hi96k.mov",
         {"-f", "lavfi", "-i", "aevalsrc=0.5*sin(1000*2*PI*t)|0.5*sin(1500*2*PI*t):s=96000:d=2", "-c:a", "aac",
          "-aac_pns", "0"},
         96000,
         2},
        {"audio_only.m4a", {"-f", "lavfi", "-i", stereo48, "-c:a", "aac", "-aac_pns", "0"}, 48000, 2},
        {"two_aac.mp4",
         {"-f",       "lavfi", "-i",   stereo48,
          "-f",       "lavfi", "-i",   "sine=frequency=220:sample_rate=44100:duration=3",
          "-f",       "lavfi", "-i",   video,
          "-map",     "2:v",   "-map", "0:a",
          "-map",     "1:a",   "-c:a", "aac",
          "-aac_pns", "0",     "-c:v", "mpeg4"},
         48000,
         2},
        {"aac_and_ac3.mp4",
         {"-f",     "lavfi", "-i",       stereo48,
          "-f",     "lavfi", "-i",       "sine=frequency=220:sample_rate=48000:duration=3",
          "-f",     "lavfi", "-i",       video,
          "-map",   "2:v",   "-map",     "0:a",
          "-map",   "1:a",   "-c:v",     "mpeg4",
          "-c:a:0", "aac",   "-aac_pns", "0",
          "-c:a:1", "ac3"},
         48000,
         2},
    };
}

class Emit : public ::testing::TestWithParam<EmitCase> {};

TEST_P(Emit, OutputIsValidAndItsPcmEqualsFfmpegsDecodeOfTheSource)
{
    if (!test::have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    const EmitCase& c = GetParam();
    test::TempDir dir;
    const std::string src = dir.file(c.name), out = dir.file(std::string("out_") + c.name);
    ASSERT_TRUE(test::ffmpeg_make(c.ffmpeg_args, src));

    const auto r = run_command({test::program_path(), "--emit", src, out});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string expect_line = "emit: wrote " + out + " (" + std::to_string(test::read_file(out).size()) +
                                    " bytes); audio " + std::to_string(c.channels) + " ch @ " + std::to_string(c.rate) +
                                    " Hz, ";
    EXPECT_EQ(r.err.rfind(expect_line, 0), 0u) << r.err;

    const auto before = streams_of(src);
    const auto after = streams_of(out);
    std::vector<StreamInfo> kept_before, kept_after, aac, pcm;
    for (const auto& s : before)
        (s.codec == "aac" ? aac : kept_before).push_back(s);
    for (const auto& s : after)
        (s.codec == "pcm_s16le" ? pcm : kept_after).push_back(s);
    ASSERT_FALSE(aac.empty());
    ASSERT_EQ(pcm.size(), aac.size()) << "every AAC track becomes a PCM track";
    EXPECT_EQ(pcm[0].rate, c.rate);
    EXPECT_EQ(pcm[0].channels, c.channels);
    ASSERT_EQ(kept_after.size(), kept_before.size());
    for (std::size_t i = 0; i < before.size() && i < after.size(); ++i)
        EXPECT_EQ(after[i].type, before[i].type) << "stream " << i << " moved";
    for (std::size_t i = 0; i < kept_before.size(); ++i) {
        EXPECT_EQ(kept_after[i].codec, kept_before[i].codec);
        EXPECT_EQ(packet_hashes(out, kept_after[i].index), packet_hashes(src, kept_before[i].index))
            << "stream " << kept_before[i].codec << " changed";
    }

    // ffmpeg converts the decoder's float samples with round-half-to-even, we
    // round half away from zero: the two can differ by one step at exact halves.
    // Length: the source's edit list and sample durations declare the stream's
    // length, and ffmpeg trims our PCM track to exactly that, while its AAC
    // decode keeps the whole last access unit (the encoder's tail padding). So
    // our audio must be the declared length and a prefix of ffmpeg's decode
    // that is at most one access unit shorter.
    for (std::size_t k = 0; k < aac.size(); ++k) {
        SCOPED_TRACE("audio track " + std::to_string(k));
        EXPECT_EQ(pcm[k].rate, aac[k].rate);
        EXPECT_EQ(pcm[k].channels, aac[k].channels);
        const std::string want = decode_s16(src, aac[k].index);
        const std::string got = decode_s16(out, pcm[k].index);
        const std::size_t frame_bytes = static_cast<std::size_t>(aac[k].channels) * 2;
        ASSERT_GT(aac[k].tb_den, 0);
        const long long declared = aac[k].duration_ts * aac[k].tb_num * aac[k].rate / aac[k].tb_den;
        EXPECT_EQ(got.size(), static_cast<std::size_t>(declared) * frame_bytes) << "not the declared length";
        ASSERT_LE(got.size(), want.size());
        EXPECT_LT(want.size() - got.size(), 1024 * frame_bytes);
        ASSERT_GT(got.size(), static_cast<std::size_t>(aac[k].rate) * frame_bytes);
        int worst = 0;
        bool audible = false;
        for (std::size_t i = 0; i + 1 < got.size(); i += 2) {
            const auto a = static_cast<std::int16_t>(static_cast<std::uint8_t>(want[i]) |
                                                     static_cast<std::uint8_t>(want[i + 1]) << 8);
            const auto b = static_cast<std::int16_t>(static_cast<std::uint8_t>(got[i]) |
                                                     static_cast<std::uint8_t>(got[i + 1]) << 8);
            worst = std::max(worst, std::abs(a - b));
            audible = audible || std::abs(b) > 1000;
        }
        EXPECT_LE(worst, 1);
        EXPECT_TRUE(audible) << "the PCM is silent";
    }
}

INSTANTIATE_TEST_SUITE_P(RealFiles, Emit, ::testing::ValuesIn(emit_cases()), [](const auto& param_info) {
    std::string n = param_info.param.name;
    std::replace_if(
        n.begin(), n.end(), [](char ch) { return !std::isalnum(ch); }, '_');
    return n;
});

TEST(EmitCommand, RefusalsAndFailuresHaveTheirMessagesAndStatuses)
{
    if (!test::have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    test::TempDir dir;
    const std::string silent_video = dir.file("video.mp4"), cut = dir.file("cut.mp4");
    ASSERT_TRUE(test::ffmpeg_make({"-f", "lavfi", "-i", video, "-c:v", "mpeg4"}, silent_video));
    // The movie box first and the media data cut short: nothing could be appended after it.
    ASSERT_TRUE(test::ffmpeg_make(
        {"-f", "lavfi", "-i", stereo48, "-c:a", "aac", "-aac_pns", "0", "-movflags", "+faststart"}, cut));
    auto cut_bytes = test::read_file(cut);
    cut_bytes.resize(cut_bytes.size() - 100);
    ASSERT_TRUE(test::write_file(cut, cut_bytes));
    const std::string out = dir.file("out.mp4");

    auto r = run_command({test::program_path(), "--emit", silent_video, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "emit: " + silent_video + " has no AAC audio to rewrite\n");
    EXPECT_TRUE(test::read_file(out).empty());
    EXPECT_NE(test::run_shell("test -e '" + out + "'"), 0) << "output created";

    r = run_command({test::program_path(), "--emit", cut, out});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "emit: failed to build layout for " + cut + "\n");

    const std::string missing = dir.file("nope.mp4");
    r = run_command({test::program_path(), "--emit", missing, out});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "emit: cannot open " + missing + ": No such file or directory\n");

    const std::string src = dir.file("a.mp4");
    ASSERT_TRUE(test::ffmpeg_make({"-f", "lavfi", "-i", stereo48, "-c:a", "aac", "-aac_pns", "0"}, src));
    // The input named as output (here through a symbolic link) is refused
    // before anything is truncated.
    const auto original = test::read_file(src);
    ASSERT_EQ(test::run_shell("ln -s '" + src + "' '" + dir.file("link.mp4") + "'"), 0);
    r = run_command({test::program_path(), "--emit", src, dir.file("link.mp4")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "emit: cannot create " + dir.file("link.mp4") + ": it is the input file\n");
    EXPECT_EQ(test::read_file(src), original);

    const std::string nowhere = dir.file("no/such/folder/out.mov");
    r = run_command({test::program_path(), "--emit", src, nowhere});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "emit: cannot create " + nowhere + ": No such file or directory\n");
}

TEST(EmitCommand, LastBoxDeclaringSizeZeroStillGivesAReadableFile)
{
    if (!test::have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    test::TempDir dir;
    const std::string src = dir.file("zero.mp4"), out = dir.file("out.mov");
    ASSERT_TRUE(test::ffmpeg_make({"-f", "lavfi", "-i", stereo48, "-f", "lavfi", "-i", video, "-c:a", "aac", "-aac_pns",
                                   "0", "-c:v", "mpeg4", "-movflags", "+faststart"},
                                  src));
    // With the movie box first, the media data box is last: declare it as
    // running to the end of the file, which readers accept.
    auto bytes = test::read_file(src);
    const std::string text(bytes.begin(), bytes.end());
    const auto moov = text.find("moov");
    const auto mdat = text.find("mdat", moov);
    ASSERT_NE(mdat, std::string::npos);
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(mdat - 4), bytes.begin() + static_cast<std::ptrdiff_t>(mdat),
              0);
    ASSERT_TRUE(test::write_file(src, bytes));
    ASSERT_EQ(streams_of(src).size(), 2u);

    const auto r = run_command({test::program_path(), "--emit", src, out});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto after = streams_of(out);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].codec, "mpeg4");
    EXPECT_EQ(after[1].codec, "pcm_s16le");
    EXPECT_EQ(packet_hashes(out, after[0].index), packet_hashes(src, 0));
}

} // namespace
} // namespace kov
