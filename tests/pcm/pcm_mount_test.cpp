// PCM read through real mounts of the kov-orvane program: every read pattern
// gives what --emit writes, and faults of the source reach the reader as
// errors, never as cached silence. The faults come from faultfs placed
// between the source folder and the service.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>

#include "aac_clip.hpp"
#include "common/unique_fd.hpp"
#include "media/file_layout.hpp"
#include "media/media_scan.hpp"
#include "pcm/decoding_service.hpp"
#include "support/fault_fs.hpp"
#include "support/mount_harness.hpp"

namespace kov::test {
namespace {
// The decoding service of these tests.
DecodingService& decoding()
{
    static const auto service = DecodingService::create(bind_system_codec_library(), {});
    return *service;
}


constexpr std::size_t page = 4096;

// The service mounted over `source` in a folder of its own.
struct Mount {
    TempDir dir;
    ServiceProcess service;
    explicit Mount(const std::string& source) : service({source, dir.path()}, dir.path()) { service.wait_for_mount(); }
    bool ok() { return service.running() && mounted_at(dir.path()); }
    std::string file(const std::string& name) const { return dir.file(name); }
};

std::vector<std::uint8_t> emit(const std::string& path, const TempDir& work)
{
    const std::string out = work.file("emitted.mov");
    const auto r = run_command({program_path(), "--emit", path, out});
    EXPECT_EQ(r.status, 0) << r.err;
    auto bytes = read_file(out);
    ::unlink(out.c_str());
    return bytes;
}

// Reads `size` bytes at `offset` past every page cache (4 KiB aligned); the
// errno on failure.
int read_direct(const std::string& path, std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& out)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
    if (!fd)
        return errno;
    void* buf = std::aligned_alloc(page, (size + page - 1) / page * page);
    const ssize_t n = ::pread(fd.get(), buf, size, static_cast<off_t>(offset));
    const int error = n < 0 ? errno : 0;
    out.assign(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + std::max<ssize_t>(n, 0));
    std::free(buf);
    return error;
}

// Reads the whole file in `piece`-byte reads; empty on an error.
std::vector<std::uint8_t> read_whole(const std::string& path, std::size_t piece)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::vector<std::uint8_t> out, buf(piece);
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf.data(), piece);
        if (n < 0)
            return {};
        if (n == 0)
            return out;
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
}

// Where the first PCM stream of the rewritten file starts.
std::uint64_t pcm_offset_of(const std::string& path)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const auto layout = build_layout(fd.get(), scan_media(fd.get()), decoding());
    return layout && !layout->streams.empty() ? layout->streams[0].offset : 0;
}

bool same(const std::vector<std::uint8_t>& got, const std::vector<std::uint8_t>& want, std::uint64_t offset)
{
    return offset + got.size() <= want.size() &&
           std::equal(got.begin(), got.end(), want.begin() + static_cast<std::ptrdiff_t>(offset));
}

class PcmThroughTheMount : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!have_ffmpeg())
            GTEST_SKIP() << "ffmpeg is not installed";
        KOV_REQUIRE_FUSE();
    }
};

// The same bytes on every read: whole reads on fresh and warm mounts and
// after a listing, random direct reads of 4 KiB to 1 MiB, four readers at
// once and two mounts side by side, all against --emit. With noise
// substitution (the encoder's default), in 5.1, and without it.
TEST_F(PcmThroughTheMount, EveryReadPatternGivesWhatEmitWrites)
{
    TempDir src, work;
    const std::string video = "testsrc=duration=12:size=96x64:rate=10";
    const struct {
        std::string name;
        std::vector<std::string> args;
    } clips[] = {
        {"noise.mp4",
         {"-f",
          "lavfi",
          "-i",
          "anoisesrc=color=pink:amplitude=0.3:duration=12:seed=3",
          "-f",
          "lavfi",
          "-i",
          "sine=frequency=660:duration=12",
          "-f",
          "lavfi",
          "-i",
          video,
          "-filter_complex",
          "[0:a][1:a]amix=inputs=2",
          "-c:v",
          "mpeg4",
          "-c:a",
          "aac",
          "-ar",
          "48000",
          "-ac",
          "2"}},
        {"surround.mov",
         {"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.2:duration=8:seed=4", "-c:a", "aac", "-ac", "6", "-ar",
          "48000"}},
        {"plain.m4a",
         {"-f", "lavfi", "-i", "sine=frequency=440:duration=8:sample_rate=44100", "-c:a", "aac", "-aac_pns", "0", "-ac",
          "2"}},
    };
    using Pattern = std::function<void(const std::string& name, const std::vector<std::uint8_t>& want)>;
    const auto whole_fresh = [&](const std::string& name, const std::vector<std::uint8_t>& want) {
        Mount m(src.path());
        ASSERT_TRUE(m.ok());
        EXPECT_TRUE(read_whole(m.file(name), 131072) == want) << "first read";
        EXPECT_TRUE(read_whole(m.file(name), 65536) == want) << "warm";
    };
    const auto after_listing = [&](const std::string& name, const std::vector<std::uint8_t>& want) {
        Mount m(src.path());
        ASSERT_TRUE(m.ok());
        ASSERT_EQ(run_command({"ls", "-la", m.dir.path()}).status, 0);
        EXPECT_TRUE(read_whole(m.file(name), 131072) == want);
    };
    const auto random_direct = [&](const std::string& name, const std::vector<std::uint8_t>& want) {
        Mount m(src.path());
        ASSERT_TRUE(m.ok());
        std::mt19937_64 rng(name.size());
        const std::uint64_t pages = want.size() / page;
        std::vector<std::uint8_t> got;
        for (int i = 0; i < 120; ++i) {
            const std::uint64_t offset = rng() % pages * page;
            const std::size_t size = page << (rng() % 9); // 4 KiB to 1 MiB
            ASSERT_EQ(read_direct(m.file(name), offset, size, got), 0);
            ASSERT_TRUE(same(got, want, offset)) << "read " << i << " at " << offset << " (" << size << " bytes)";
        }
    };
    const auto four_readers_two_mounts = [&](const std::string& name, const std::vector<std::uint8_t>& want) {
        Mount a(src.path()), b(src.path());
        ASSERT_TRUE(a.ok() && b.ok());
        std::vector<std::thread> readers;
        std::vector<int> wrong(4, 0);
        for (int t = 0; t < 4; ++t)
            readers.emplace_back([&, t] {
                const Mount& m = t % 2 ? a : b;
                if (t < 2) {
                    wrong[t] = read_whole(m.file(name), 4096 << (4 * t)) != want;
                    return;
                }
                std::mt19937_64 rng(t);
                std::vector<std::uint8_t> got;
                for (int i = 0; i < 60; ++i) {
                    const std::uint64_t offset = rng() % (want.size() / page) * page;
                    wrong[t] +=
                        read_direct(m.file(name), offset, page << (rng() % 6), got) != 0 || !same(got, want, offset);
                }
            });
        for (auto& r : readers)
            r.join();
        EXPECT_EQ(wrong, std::vector<int>(4, 0));
    };
    const std::vector<std::pair<std::string, Pattern>> patterns = {
        {"whole, fresh and warm mount", whole_fresh},
        {"whole, after ls -la", after_listing},
        {"random direct reads", random_direct},
        {"four readers, two mounts", four_readers_two_mounts},
    };
    for (const auto& c : clips) {
        ASSERT_TRUE(ffmpeg_make(c.args, src.file(c.name))) << c.name;
        const auto want = emit(src.file(c.name), work);
        ASSERT_GT(want.size(), read_file(src.file(c.name)).size());
        for (const auto& [label, pattern] : patterns) {
            SCOPED_TRACE(c.name + ": " + label);
            pattern(c.name, want);
        }
    }
}

// Faults of the source: an unreadable unit fails the read with EIO, and the
// same range reads right once the source recovers, also through the page
// cache; a damaged but readable unit reads the same at any read size.
TEST_F(PcmThroughTheMount, SourceFaultsReachTheReaderAndLeaveNothingBehind)
{
    TempDir dir;
    const std::string src = dir.file("src"), faulty = dir.file("faulty");
    ::mkdir(src.c_str(), 0755);
    ::mkdir(faulty.c_str(), 0755);
    const auto clip = make_aac_clip(dir, "clip.mp4",
                                    {"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.3:duration=6:seed=9", "-f",
                                     "lavfi", "-i", "testsrc=duration=6:size=96x64:rate=10", "-c:v", "mpeg4", "-c:a",
                                     "aac", "-ar", "48000", "-ac", "2"});
    ASSERT_TRUE(clip);
    ASSERT_TRUE(write_file(src + "/clip.mp4", read_file(clip->path)));
    // The same clip with one unit garbled.
    const std::size_t bad = 100;
    auto bytes = read_file(clip->path);
    std::mt19937 rng(5);
    for (std::uint32_t i = 0; i < clip->units[bad].size; ++i)
        bytes[clip->units[bad].offset + i] = static_cast<std::uint8_t>(rng());
    ASSERT_TRUE(write_file(src + "/damaged.mp4", bytes));
    const auto want = emit(src + "/clip.mp4", dir);
    const auto want_damaged = emit(src + "/damaged.mp4", dir);
    const std::uint64_t pcm = pcm_offset_of(src + "/clip.mp4");
    ASSERT_GT(pcm, 0u);
    const std::uint64_t unit_bytes = 1024 * 2 * 2;

    FaultFs fs(src, faulty);
    ASSERT_TRUE(fs.ok());
    Mount m(faulty);
    ASSERT_TRUE(m.ok());
    const std::string path = m.file("clip.mp4");

    const struct {
        const char* what;
        std::size_t first_unit, units; // the units made unreadable
        std::uint64_t read_unit;       // the read starts in this unit's PCM
        std::size_t read_size;
    } cases[] = {
        {"one unit under a small read", 200, 1, 200, 4096},
        {"a run of units under a large read", 150, 5, 150, 256 << 10},
        {"a unit of the pre-roll before the read's first", 94, 1, 96, 4096},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto& first = clip->units[c.first_unit];
        const auto& last = clip->units[c.first_unit + c.units - 1];
        // The fault shows only to reads that reach faultfs: the kernel may
        // hold the source's pages from earlier reads.
        {
            const UniqueFd source(::open((faulty + "/clip.mp4").c_str(), O_RDONLY | O_CLOEXEC));
            ::posix_fadvise(source.get(), 0, 0, POSIX_FADV_DONTNEED);
        }
        fs.fail("clip.mp4", first.offset, last.offset + last.size);
        const std::uint64_t offset = pcm + c.read_unit * unit_bytes;
        std::vector<std::uint8_t> got;
        EXPECT_EQ(read_direct(path, offset / page * page, c.read_size, got), EIO);
        // Through the page cache too: the failed range is not cached as data.
        const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        got.assign(c.read_size, 0);
        EXPECT_EQ(::pread(fd.get(), got.data(), got.size(), static_cast<off_t>(offset)), -1);
        EXPECT_EQ(errno, EIO);
        fs.clear();
        const ssize_t n = ::pread(fd.get(), got.data(), got.size(), static_cast<off_t>(offset));
        ASSERT_EQ(n, static_cast<ssize_t>(c.read_size));
        EXPECT_TRUE(same(got, want, offset)) << "after the source recovered";
    }

    const std::string damaged = m.file("damaged.mp4");
    for (std::size_t piece : {std::size_t{4096}, std::size_t{65536}, std::size_t{1} << 20}) {
        std::vector<std::uint8_t> got, all;
        for (std::uint64_t at = 0; at < want_damaged.size(); at += piece) {
            ASSERT_EQ(read_direct(damaged, at, piece, got), 0);
            all.insert(all.end(), got.begin(), got.end());
        }
        EXPECT_TRUE(all == want_damaged) << "reads of " << piece << " bytes";
    }
    const auto at = want_damaged.begin() + static_cast<std::ptrdiff_t>(pcm + bad * unit_bytes);
    EXPECT_TRUE(std::all_of(at, at + static_cast<std::ptrdiff_t>(unit_bytes), [](auto b) { return b == 0; }))
        << "the damaged unit plays as silence";
}

} // namespace
} // namespace kov::test
