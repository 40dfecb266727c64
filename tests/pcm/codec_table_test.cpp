// Every codec × container in one table, on clips ffmpeg's own encoders make:
// a converted track becomes PCM in its place, decoding to what ffmpeg decodes
// from the source (bit for bit for lossless codecs), with the source's start
// and duration and the video packets untouched; a mount reads what --emit
// writes; a codec that is not converted leaves the file as it is.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "common/unique_fd.hpp"
#include "support/mount_harness.hpp"
#include "support/test_env.hpp"

using namespace kov::test;

namespace {

struct Row {
    const char* name; // the clip's file name
    std::vector<std::string> encode;
    bool converted; // by default
    bool video;
    int tolerance = 0; // in 16-bit steps from ffmpeg's continuous decode
};

const std::vector<std::string> noise{"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.3:duration=6:seed=7"};
const std::vector<std::string> tone{"-f", "lavfi", "-i", "sine=frequency=500:duration=6:sample_rate=48000"};
const std::vector<std::string> picture{"-f", "lavfi", "-i", "testsrc=duration=6:size=64x48:rate=10", "-c:v", "mpeg4"};

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::vector<Row>& rows()
{
    static const std::vector<Row> all{
        {"flac16.mp4", join({noise, picture, {"-c:a", "flac", "-sample_fmt", "s16", "-ac", "2", "-strict", "-2"}}), true, true},
        {"alac16.m4a", join({tone, {"-c:a", "alac", "-sample_fmt", "s16p", "-ac", "1"}}), true, false},
        {"alac16.mov", join({noise, picture, {"-c:a", "alac", "-sample_fmt", "s16p", "-ac", "2"}}), true, true},
        // 24-bit PCM output is not written yet: deeper lossless audio stays as it is.
        {"flac24.mp4", join({noise, {"-c:a", "flac", "-sample_fmt", "s32", "-strict", "-2"}}), false, false},
        {"alac24.mov", join({noise, {"-c:a", "alac", "-sample_fmt", "s32p"}}), false, false},
        // Opus: segments decoded apart after a pre-roll of 240 ms.
        {"opus-stereo.mp4", join({noise, picture, {"-c:a", "libopus", "-ac", "2", "-strict", "-2"}}), true, true, 2},
        {"opus-mono.mp4", join({tone, {"-c:a", "libopus", "-ac", "1", "-strict", "-2"}}), true, false, 2},
        // Lossy codecs not converted yet are told, and left as they are.
        {"vorbis.mp4", join({tone, {"-c:a", "libvorbis"}}), false, false},
        // E-AC-3 5.1: one frame of pre-roll.
        {"eac3.mov", join({noise, {"-c:a", "eac3", "-ac", "6"}}), true, false, 1},
        {"eac3.mp4", join({noise, picture, {"-c:a", "eac3", "-ac", "6"}}), true, true, 1},
    };
    return all;
}

std::string ffmpeg_out(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"ffmpeg", "-nostdin", "-v", "error"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = run_command(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

std::string stream_field(const std::string& path, const char* stream, const char* field)
{
    const auto r = run_command({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                                std::string("stream=") + field, "-of", "csv=p=0", path});
    // The first line, without the empty fields E-AC-3's side data adds.
    std::string line = r.out.substr(0, r.out.find('\n'));
    while (!line.empty() && line.back() == ',')
        line.pop_back();
    return line;
}

// Reads `size` bytes at `offset` past the page cache.
std::vector<std::uint8_t> read_direct(const std::string& path, std::uint64_t offset, std::size_t size)
{
    constexpr std::size_t page = 4096;
    const kov::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
    void* buf = std::aligned_alloc(page, (size + page - 1) / page * page);
    const ssize_t n = fd ? ::pread(fd.get(), buf, size, static_cast<off_t>(offset)) : -1;
    std::vector<std::uint8_t> out(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + std::max<ssize_t>(n, 0));
    std::free(buf);
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
    std::vector<const Row*> made;
    for (const Row& row : rows()) {
        if (ffmpeg_make(row.encode, src.file(row.name)))
            made.push_back(&row);
        else
            std::printf("skipped %s: this ffmpeg cannot encode it\n", row.name);
    }
    for (const Row* row : made) {
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

// Whole reads and random direct reads through a mount equal --emit for every
// converted row; a file not converted reads as its source.
TEST_F(CodecTable, EveryReadPatternThroughAMountGivesWhatEmitWrites)
{
    KOV_REQUIRE_FUSE();
    TempDir src, work;
    std::vector<const Row*> made;
    for (const Row& row : rows())
        if (ffmpeg_make(row.encode, src.file(row.name)))
            made.push_back(&row);
    ProgramMount mount({src.path()});
    ASSERT_TRUE(mount.ok());
    for (const Row* row : made) {
        SCOPED_TRACE(row->name);
        const std::string in = src.file(row->name), emitted = work.file(row->name);
        std::vector<std::uint8_t> want = read_file(in);
        if (row->converted) {
            ASSERT_EQ(run_command({program_path(), "--emit", in, emitted}).status, 0);
            want = read_file(emitted);
        }
        EXPECT_TRUE(read_file(mount.file(row->name)) == want);
        std::mt19937_64 rng(want.size());
        for (int i = 0; i < 40; ++i) {
            const std::uint64_t offset = rng() % (want.size() / 4096) * 4096;
            const std::size_t size = std::size_t{4096} << (rng() % 8);
            const auto got = read_direct(mount.file(row->name), offset, size);
            const std::size_t expect = static_cast<std::size_t>(std::min<std::uint64_t>(size, want.size() - offset));
            ASSERT_EQ(got.size(), expect) << offset;
            ASSERT_TRUE(std::equal(got.begin(), got.end(), want.begin() + static_cast<std::ptrdiff_t>(offset)))
                << "at " << offset << ", " << size << " bytes";
        }
    }
}

} // namespace
