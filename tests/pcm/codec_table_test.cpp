// Every codec × container in one table, on clips ffmpeg's own encoders make:
// a converted track becomes PCM in its place, decoding to what ffmpeg decodes
// from the source (bit for bit for lossless codecs), with the source's start
// and duration, its layout, language and handler name, and the video packets
// untouched; a codec that is not converted leaves the file as it is. How a
// mount reads each clip is in pcm_mount_test.cpp.

#include <gtest/gtest.h>

#include <algorithm>
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
        if (!row->converted)
            continue;
        // Naming only AAC leaves the codec alone.
        EXPECT_EQ(run_command({program_path(), "--emit", in, work.file("aac-only"), "--convert", "aac"}).status, 1);

        EXPECT_EQ(stream_field(out, "a", "codec_name"), "pcm_s16le");
        EXPECT_EQ(stream_field(out, "a", "start_time,duration"), stream_field(in, "a", "start_time,duration"));
        EXPECT_EQ(stream_field(out, "a", "sample_rate,channels"), stream_field(in, "a", "sample_rate,channels"));
        // In its place, with its layout, language and handler name.
        EXPECT_EQ(stream_field(out, "", "index,codec_type"), stream_field(in, "", "index,codec_type"));
        EXPECT_EQ(stream_field(out, "a", "channel_layout:stream_tags=language,handler_name"),
                  stream_field(in, "a", "channel_layout:stream_tags=language,handler_name"));
        // Every sample within the row's tolerance of ffmpeg's own decode of
        // the source (bit for bit for lossless codecs). ffmpeg decodes Opus
        // past the edit list's end: the track's length is judged by its duration above.
        const auto want = ffmpeg_out({"-i", in, "-map", "0:a", "-f", "s16le", "-"});
        const auto got = ffmpeg_out({"-i", out, "-map", "0:a", "-f", "s16le", "-"});
        ASSERT_FALSE(got.empty());
        ASSERT_TRUE(row->tolerance ? got.size() <= want.size() : got.size() == want.size());
        int worst = 0;
        for (std::size_t i = 0; i + 1 < got.size(); i += 2) {
            const auto sample = [](const std::string& s, std::size_t at) {
                return static_cast<std::int16_t>(static_cast<std::uint8_t>(s[at]) | static_cast<std::uint8_t>(s[at + 1]) << 8);
            };
            worst = std::max(worst, std::abs(sample(got, i) - sample(want, i)));
        }
        EXPECT_LE(worst, row->tolerance);
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

} // namespace
