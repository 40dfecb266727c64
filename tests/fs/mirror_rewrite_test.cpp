// AAC media read through a real mount of the kov-orvane program: every byte
// equals what --emit writes for the same file, whatever the read pattern.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <fstream>
#include <thread>

#include "media/file_layout.hpp"
#include "media/media_scan.hpp"
#include "pcm/decoding_service.hpp"
#include "support/mount_harness.hpp"

namespace kov::test {
namespace {
// The decoding service of these tests.
DecodingService& decoding()
{
    static const auto service = DecodingService::create(bind_system_codec_library(), {});
    return *service;
}


// An ffmpeg-made AAC clip and its --emit output. Noise substitution is off,
// so every decode of the same range gives the same samples.
struct AacClip {
    std::string name;
    std::vector<std::uint8_t> source;
    std::vector<std::uint8_t> emitted;
};

bool make_clip(const TempDir& src, const TempDir& work, const std::string& name, const std::vector<std::string>& args,
               AacClip& clip)
{
    clip.name = name;
    if (!ffmpeg_make(args, src.file(name)))
        return false;
    const auto r = run_command({program_path(), "--emit", src.file(name), work.file(name + ".emit")});
    if (r.status != 0) {
        ADD_FAILURE() << "--emit " << name << " failed: " << r.err;
        return false;
    }
    clip.source = read_file(src.file(name));
    clip.emitted = read_file(work.file(name + ".emit"));
    return !clip.emitted.empty();
}

std::vector<std::string> aac_args(const std::string& audio, const std::string& extra_codec_args = {})
{
    std::vector<std::string> args{
        "-f",   "lavfi", "-i",   audio, "-f",       "lavfi", "-i",       "testsrc=duration=2:size=96x64:rate=12",
        "-c:v", "mpeg4", "-c:a", "aac", "-aac_pns", "0",     "-shortest"};
    if (!extra_codec_args.empty())
        args.insert(args.end(), {"-f", extra_codec_args});
    return args;
}

class RewrittenFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!have_ffmpeg())
            GTEST_SKIP() << "ffmpeg is not installed";
        KOV_REQUIRE_FUSE();
        AacClip a, b, c;
        ASSERT_TRUE(
            make_clip(src_, work_, "stereo.mp4", aac_args("sine=frequency=440:duration=2:sample_rate=44100"), a));
        ASSERT_TRUE(
            make_clip(src_, work_, "mono.mov", aac_args("sine=frequency=1000:duration=2:sample_rate=48000", "mov"), b));
        ASSERT_TRUE(make_clip(
            src_, work_, "audio_only.m4a",
            {"-f", "lavfi", "-i", "sine=frequency=300:duration=1.3", "-ac", "2", "-c:a", "aac", "-aac_pns", "0"}, c));
        clips_ = {a, b, c};
    }

    // Offsets where one region of the rewritten file meets the next.
    std::vector<std::uint64_t> boundaries(const std::string& name)
    {
        const UniqueFd fd(::open(src_.file(name).c_str(), O_RDONLY | O_CLOEXEC));
        const auto layout = build_layout(fd.get(), scan_media(fd.get()), decoding());
        if (!layout)
            return {};
        std::vector<std::uint64_t> at;
        for (const auto& r : layout->regions)
            at.push_back(r.start + (r.kind == LayoutRegion::Kind::pcm ? r.size / 2 + 1 : 0));
        at.push_back(layout->total_size);
        return at;
    }

    TempDir src_, work_;
    std::vector<AacClip> clips_;
};

void expect_range(int fd, const std::vector<std::uint8_t>& want, std::uint64_t off, std::size_t len,
                  const std::string& what)
{
    std::vector<std::uint8_t> got(len);
    const ssize_t n = ::pread(fd, got.data(), len, static_cast<off_t>(off));
    const std::size_t expect = off >= want.size() ? 0 : std::min<std::size_t>(len, want.size() - off);
    ASSERT_EQ(n, static_cast<ssize_t>(expect)) << what << " offset " << off << " length " << len;
    ASSERT_TRUE(std::equal(got.begin(), got.begin() + n, want.begin() + static_cast<std::ptrdiff_t>(off)))
        << what << " offset " << off << " length " << len;
}

TEST_F(RewrittenFiles, WholeFileEqualsEmitAndStatReportsItsSize)
{
    ProgramMount mnt({src_.path()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();
    for (const auto& clip : clips_) {
        struct stat st {};
        ASSERT_EQ(::stat(mnt.file(clip.name).c_str(), &st), 0);
        EXPECT_EQ(static_cast<std::size_t>(st.st_size), clip.emitted.size()) << clip.name;
        EXPECT_GT(clip.emitted.size(), clip.source.size()) << clip.name;
        const auto got = read_file(mnt.file(clip.name));
        EXPECT_TRUE(got == clip.emitted) << clip.name << ": " << got.size() << " bytes read";
    }
    // ffprobe, an independent reader, sees uncompressed audio in the mounted file.
    const auto r = run_command({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "stream=codec_name",
                                "-of", "csv=p=0", mnt.file("stereo.mp4")});
    EXPECT_EQ(r.out, "pcm_s16le\n") << r.err;
    mnt.expect_clean_stop();
}

TEST_F(RewrittenFiles, RangesAcrossRegionBoundariesMatchEmit)
{
    ProgramMount mnt({src_.path()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();
    std::uint64_t seed = 0x9e3779b97f4a7c15ull;
    for (const auto& clip : clips_) {
        const UniqueFd fd(::open(mnt.file(clip.name).c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(fd);
        const auto edges = boundaries(clip.name);
        ASSERT_FALSE(edges.empty());
        for (const std::uint64_t edge : edges)
            for (const std::int64_t delta : {-4097, -5, -3, -1, 0, 1, 2, 7})
                for (const std::size_t len : {1ul, 3ul, 9ul, 4096ul, 70001ul}) {
                    if (delta < 0 && edge < static_cast<std::uint64_t>(-delta))
                        continue;
                    expect_range(fd.get(), clip.emitted, edge + delta, len, clip.name);
                }
        for (int i = 0; i < 300; ++i) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            const std::uint64_t off = (seed >> 17) % (clip.emitted.size() + 64);
            const std::size_t len = 1 + (seed >> 45) % 200000;
            expect_range(fd.get(), clip.emitted, off, len, clip.name);
        }
    }
}

TEST_F(RewrittenFiles, EightThreadsReadingAtOnceGetCorrectBytes)
{
    ProgramMount mnt({src_.path()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();
    std::atomic<int> mismatches{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&, t] {
            // Threads 0-3 share one file; the others spread over all of them.
            const AacClip& clip = clips_[t < 4 ? 0 : t % clips_.size()];
            const UniqueFd fd(::open(mnt.file(clip.name).c_str(), O_RDONLY | O_CLOEXEC));
            std::uint64_t seed = 1000 + t;
            std::vector<std::uint8_t> got(65536 + 13);
            for (int i = 0; i < 150 && fd; ++i) {
                seed = seed * 6364136223846793005ull + 1442695040888963407ull;
                const std::uint64_t off = (seed >> 20) % clip.emitted.size();
                const std::size_t len = 1 + (seed >> 44) % got.size();
                const ssize_t n = ::pread(fd.get(), got.data(), len, static_cast<off_t>(off));
                const std::size_t want = std::min<std::size_t>(len, clip.emitted.size() - off);
                if (n != static_cast<ssize_t>(want) ||
                    !std::equal(got.begin(), got.begin() + n, clip.emitted.begin() + static_cast<std::ptrdiff_t>(off)))
                    ++mismatches;
            }
            if (!fd)
                ++mismatches;
        });
    }
    for (auto& r : readers)
        r.join();
    EXPECT_EQ(mismatches.load(), 0);
    mnt.expect_clean_stop();
}

TEST_F(RewrittenFiles, FileStillBeingCopiedIsAnalysedAgainWhenComplete)
{
    const AacClip& clip = clips_[0];
    const std::string path = src_.file("arriving.mp4");
    const std::size_t part = clip.source.size() * 3 / 5;
    ASSERT_TRUE(write_file(path, {clip.source.begin(), clip.source.begin() + static_cast<std::ptrdiff_t>(part)}));
    ProgramMount mnt({src_.path()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();

    // Incomplete: no movie box yet, so it passes through unchanged.
    EXPECT_EQ(read_file(mnt.file("arriving.mp4")), read_file(path));
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out.write(reinterpret_cast<const char*>(clip.source.data() + part),
                  static_cast<std::streamsize>(clip.source.size() - part));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1200)); // the kernel's attribute time-out
    struct stat st {};
    ASSERT_EQ(::stat(mnt.file("arriving.mp4").c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::size_t>(st.st_size), clip.emitted.size());
    EXPECT_TRUE(read_file(mnt.file("arriving.mp4")) == clip.emitted);
}

TEST_F(RewrittenFiles, ListingReportsRewrittenSizes)
{
    ProgramMount mnt({src_.path()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();
    const auto r = run_command({"ls", "-ln", mnt.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto& clip : clips_)
        EXPECT_NE(r.out.find(" " + std::to_string(clip.emitted.size()) + " "), std::string::npos)
            << clip.name << " in\n"
            << r.out;
}

TEST_F(RewrittenFiles, OpeningARewrittenFileForWritingIsRefused)
{
    write_text(src_.file("plain.txt"), "text");
    ProgramMount mnt({"--writable", src_.path()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();
    errno = 0;
    EXPECT_EQ(::open(mnt.file("stereo.mp4").c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);
    const int fd = ::open(mnt.file("plain.txt").c_str(), O_RDWR);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    if (fd >= 0)
        ::close(fd);
}

// Longer than the decoding source keeps decoded, so far jumps decode afresh
// and must still give the samples of one sequential decode.
TEST(RewrittenLong, RandomReadsBeyondTheDecodedCacheMatchEmit)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg is not installed";
    KOV_REQUIRE_FUSE();
    TempDir src, work;
    AacClip clip;
    ASSERT_TRUE(make_clip(src, work, "long.m4a",
                          {"-f", "lavfi", "-i", "anoisesrc=d=60:c=pink:r=48000", "-ac", "2", "-c:a", "aac", "-aac_pns",
                           "0", "-b:a", "96k"},
                          clip));
    ASSERT_GT(clip.emitted.size(), 10u << 20);
    ProgramMount mnt({src.path()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();
    const UniqueFd fd(::open(mnt.file("long.m4a").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    std::uint64_t seed = 77;
    for (int i = 0; i < 200; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        // Far from one another and ending on odd bytes.
        const std::uint64_t off = (seed >> 16) % clip.emitted.size();
        expect_range(fd.get(), clip.emitted, off, 1 + (seed >> 48) % 100000, clip.name);
    }
}

TEST(RewrittenScale, TwoThousandClipsListWithoutRunningOutOfDescriptors)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg is not installed";
    KOV_REQUIRE_FUSE();
    TempDir src, work;
    ASSERT_TRUE(
        ffmpeg_make({"-f", "lavfi", "-i", "sine=frequency=500:duration=0.3", "-c:a", "aac"}, work.file("clip.m4a")));
    const auto bytes = read_file(work.file("clip.m4a"));
    constexpr int count = 2000;
    for (int i = 0; i < count; ++i) // copies, not links: every clip is its own node
        ASSERT_TRUE(write_file(src.file("clip" + std::to_string(i) + ".m4a"), bytes));
    // A soft limit well below what the listing needs; the service raises it.
    ProgramMount mnt({src.path()}, {}, 1024);
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();
    const auto r = run_command({"ls", "-l", mnt.path()});
    ASSERT_EQ(r.status, 0) << r.err.substr(0, 2000);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), count + 1) << "one line per clip plus the total";
    EXPECT_EQ(r.out.find('?'), std::string::npos) << "an entry could not be examined";
    std::ifstream status("/proc/" + std::to_string(mnt.pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS", 0) == 0 || line.rfind("VmHWM", 0) == 0)
            std::printf("service after listing %d clips: %s\n", count, line.c_str());
}

} // namespace
} // namespace kov::test
