// Every codec × container in one table, on clips ffmpeg's own encoders make:
// a converted track becomes PCM in its place, decoding to what ffmpeg decodes
// from the source (bit for bit for lossless codecs), with the source's start
// and duration, its layout, language and handler name, and the video packets
// untouched; a codec that is not converted leaves the file as it is. How a
// mount reads each clip is in pcm_mount_test.cpp.

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "codec_clips.hpp"
#include "support/mount_harness.hpp"
#include "support/test_env.hpp"

using namespace kov::test;

namespace {

std::string ffmpeg_out(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"ffmpeg", "-nostdin", "-v", "error"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = run_command(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// The largest difference between two runs of little-endian samples of
// `width` bytes, over the shorter.
int worst_difference(const std::string& got, const std::string& want, std::size_t width = 2)
{
    const auto sample = [width](const std::string& s, std::size_t at) {
        std::uint32_t u = 0;
        for (std::size_t b = 0; b < width; ++b)
            u |= std::uint32_t{static_cast<std::uint8_t>(s[at + b])} << (8 * b);
        const int shift = static_cast<int>(32 - 8 * width);
        return static_cast<std::int32_t>(u << shift) >> shift;
    };
    int worst = 0;
    for (std::size_t i = 0; i + width <= got.size() && i + width <= want.size(); i += width)
        worst = std::max(worst, std::abs(sample(got, i) - sample(want, i)));
    return worst;
}

// Fields of the first stream `stream` selects, or of every stream when it
// is empty, one line a stream.
std::string stream_field(const std::string& path, const char* stream, const char* field)
{
    std::vector<std::string> argv{"ffprobe", "-v", "error", "-show_entries", std::string("stream=") + field, "-of",
                                  "csv=p=0", path};
    if (*stream != '\0')
        argv.insert(argv.begin() + 3, {"-select_streams", stream});
    const auto r = run_command(argv);
    std::istringstream lines(r.out);
    std::string line, out;
    while (std::getline(lines, line)) {
        // Without the empty fields E-AC-3's side data adds.
        while (!line.empty() && line.back() == ',')
            line.pop_back();
        if (line.empty())
            continue;
        out += (out.empty() ? "" : "\n") + line;
        if (*stream != '\0')
            break;
    }
    return out;
}

class CodecTable : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!have_ffmpeg())
            GTEST_SKIP() << "ffmpeg is not installed";
    }
};

TEST_F(CodecTable, EachCodecBecomesPcmOrStaysAsItIs)
{
    TempDir src, work;
    std::vector<const CodecRow*> made;
    for (const CodecRow& row : codec_rows()) {
        if (ffmpeg_make(row.encode, src.file(row.name)))
            made.push_back(&row);
        else
            std::printf("skipped %s: this ffmpeg cannot encode it\n", row.name);
    }
    for (const CodecRow* row : made) {
        SCOPED_TRACE(row->name);
        const std::string in = src.file(row->name), out = work.file(std::string("emitted-") + row->name);
        const auto r = run_command({program_path(), "--emit", in, out});
        ASSERT_EQ(r.status, row->converted ? 0 : 1) << r.err;
        if (row->only_with != nullptr) {
            const auto named = run_command({program_path(), "--emit", in, out, "--convert", row->only_with});
            ASSERT_EQ(named.status, 0) << named.err;
        } else if (!row->converted) {
            continue;
        } else {
            // Naming only AAC leaves the codec alone.
            EXPECT_EQ(run_command({program_path(), "--emit", in, work.file("aac-only"), "--convert", "aac"}).status, 1);
        }

        EXPECT_EQ(stream_field(out, "a", "codec_name"), row->bits == 24 ? "pcm_s24be" : "pcm_s16le");
        EXPECT_EQ(stream_field(out, "a", "start_time,duration"), stream_field(in, "a", "start_time,duration"));
        EXPECT_EQ(stream_field(out, "a", "sample_rate,channels"), stream_field(in, "a", "sample_rate,channels"));
        // In its place, with its layout, language and handler name.
        EXPECT_EQ(stream_field(out, "", "index,codec_type"), stream_field(in, "", "index,codec_type"));
        EXPECT_EQ(stream_field(out, "a", "channel_layout:stream_tags=language,handler_name"),
                  stream_field(in, "a", "channel_layout:stream_tags=language,handler_name"));
        // Every sample within the row's tolerance of ffmpeg's own decode of
        // the source (bit for bit for lossless codecs, at the row's depth).
        // ffmpeg decodes Opus past the edit list's end: the track's length is
        // judged by its duration above.
        const char* format = row->bits == 24 ? "s24le" : "s16le";
        const std::size_t width = row->bits == 24 ? 3 : 2;
        const auto want = ffmpeg_out({"-i", in, "-map", "0:a", "-f", format, "-"});
        const auto got = ffmpeg_out({"-i", out, "-map", "0:a", "-f", format, "-"});
        ASSERT_FALSE(got.empty());
        ASSERT_TRUE(row->tolerance ? got.size() <= want.size() : got.size() == want.size());
        EXPECT_LE(worst_difference(got, want, width), row->tolerance);
        if (row->video) {
            EXPECT_EQ(ffmpeg_out({"-i", out, "-map", "0:v", "-c", "copy", "-f", "framemd5", "-"}),
                      ffmpeg_out({"-i", in, "-map", "0:v", "-c", "copy", "-f", "framemd5", "-"}));
        }
    }
}

// Through a mount that converts only AAC, every other codec's clip reads as
// its source, byte for byte.
TEST_F(CodecTable, AMountConvertingOnlyAacLeavesEveryOtherCodecAsItIs)
{
    KOV_REQUIRE_FUSE();
    TempDir src;
    std::vector<const CodecRow*> made;
    for (const CodecRow& row : codec_rows())
        if (ffmpeg_make(row.encode, src.file(row.name)))
            made.push_back(&row);
    ASSERT_FALSE(made.empty());
    ProgramMount mount({src.path(), "--convert", "aac"});
    ASSERT_TRUE(mount.ok());
    for (const CodecRow* row : made)
        EXPECT_TRUE(read_file(mount.file(row->name)) == read_file(src.file(row->name))) << row->name;
}

// A Vorbis packet the decoder refuses is that packet's time of silence; the
// packets after it decode as a continuous decode does, the next one included
// (a decoder opened anew after it would give nothing for that one).
TEST_F(CodecTable, ARefusedVorbisPacketIsOnePacketOfSilence)
{
    TempDir dir;
    const CodecRow& row = *std::find_if(codec_rows().begin(), codec_rows().end(),
                                        [](const CodecRow& r) { return std::string(r.name) == "vorbis.mp4"; });
    const std::string clean = dir.file("clean.mp4"), damaged = dir.file("damaged.mp4"), out = dir.file("out.mp4");
    if (!ffmpeg_make(row.encode, clean))
        GTEST_SKIP() << "this ffmpeg cannot encode Vorbis";
    // Packet 150: where it lies, and its presentation time and length in frames.
    const auto packets = run_command({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                                      "packet=pts,duration,pos", "-of", "csv=p=0", clean});
    std::istringstream lines(packets.out);
    std::string line;
    for (int i = 0; i <= 150; ++i)
        ASSERT_TRUE(std::getline(lines, line));
    std::uint64_t pts = 0, duration = 0, pos = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%" SCNu64 ",%" SCNu64 ",%" SCNu64, &pts, &duration, &pos), 3) << line;
    auto bytes = read_file(clean);
    ASSERT_LT(pos, bytes.size());
    bytes[pos] |= 1; // the first bit set: not an audio packet
    ASSERT_TRUE(write_file(damaged, bytes));
    ASSERT_EQ(run_command({program_path(), "--emit", damaged, out}).status, 0);

    // ffmpeg leaves the refused packet out; put its time back as silence.
    std::string want = ffmpeg_out({"-i", damaged, "-map", "0:a", "-f", "s16le", "-"});
    const std::size_t frame = 2 * 2;
    ASSERT_LE(pts * frame, want.size());
    want.insert(pts * frame, std::string(duration * frame, '\0'));
    const auto got = ffmpeg_out({"-i", out, "-map", "0:a", "-f", "s16le", "-"});
    ASSERT_LE(got.size(), want.size());
    ASSERT_GT(got.size(), (pts + duration) * frame);
    EXPECT_LE(worst_difference(got, want), row.tolerance);
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(pts * frame),
                            got.begin() + static_cast<std::ptrdiff_t>((pts + duration) * frame),
                            [](char c) { return c == 0; }));
}

} // namespace
