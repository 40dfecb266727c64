// An unlucky source: reads that fail, a file cut short or rewritten in place
// under a reader, a file whose reads never come back. Through the real
// program, with the fault-injecting passthrough between it and the source.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "support/mount_harness.hpp"
#include "support/fault_fs.hpp"

namespace kov::test {
namespace {

constexpr std::size_t block = 4096;

// An AAC clip in `dir` and the size of its rewritten form (by --emit).
struct Clip {
    std::string path;
    std::vector<std::uint8_t> emitted;
};

Clip make_clip(const TempDir& work, const std::string& path, const char* seconds = "2")
{
    Clip c{path, {}};
    if (!ffmpeg_make({"-f", "lavfi", "-i", std::string("sine=frequency=440:duration=") + seconds, "-c:a", "aac",
                      "-aac_pns", "0"},
                     path))
        return c;
    const std::string out = work.file("emitted-" + std::to_string(::random()));
    if (run_command({program_path(), "--emit", path, out}).status == 0)
        c.emitted = read_file(out);
    return c;
}

// Reads past every cache; the errno on failure.
std::pair<int, std::vector<std::uint8_t>> read_direct(const std::string& path, std::size_t offset, std::size_t size)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (fd < 0)
        return {errno, {}};
    void* buf = std::aligned_alloc(block, size);
    const ssize_t n = ::pread(fd, buf, size, static_cast<off_t>(offset));
    const int err = n < 0 ? errno : 0;
    std::vector<std::uint8_t> data;
    if (n > 0)
        data.assign(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + n);
    std::free(buf);
    ::close(fd);
    return {err, data};
}

off_t size_of(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class MirrorFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        KOV_REQUIRE_FUSE();
        if (!have_ffmpeg())
            GTEST_SKIP() << "ffmpeg is not installed";
        ::mkdir(dir_.file("src").c_str(), 0755);
        ::mkdir(dir_.file("faulty").c_str(), 0755);
    }
    std::string src(const std::string& name) const { return dir_.file("src/" + name); }

    TempDir dir_, work_;
};

TEST_F(MirrorFaults, ReadErrorAtTheFirstLookupIsNotKept)
{
    const Clip clip = make_clip(work_, src("clip.m4a"));
    ASSERT_FALSE(clip.emitted.empty());
    FaultFs faulty(dir_.file("src"), dir_.file("faulty"));
    ASSERT_TRUE(faulty.ok());
    faulty.fail("clip.m4a", 0, UINT64_MAX);
    ProgramMount mnt({faulty.mount_dir()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();

    const std::string shown = mnt.file("clip.m4a");
    EXPECT_NE(size_of(shown), static_cast<off_t>(clip.emitted.size()));
    errno = 0;
    EXPECT_EQ(::open(shown.c_str(), O_RDONLY), -1) << "opened while unreadable, it would read unconverted";
    EXPECT_EQ(errno, EIO);

    faulty.clear();
    EXPECT_EQ(size_of(shown), static_cast<off_t>(clip.emitted.size()));
    EXPECT_TRUE(read_file(shown) == clip.emitted);
}

// A reader that opened a rewritten clip never gets zeros for bytes that are
// gone, nor old and new bytes mixed after an in-place rewrite that put the
// size and modification time back.
TEST_F(MirrorFaults, SourceChangedUnderAReaderGivesNoMadeUpBytes)
{
    const Clip clip = make_clip(work_, src("clip.m4a"));
    ASSERT_FALSE(clip.emitted.empty());
    const auto original = read_file(clip.path);
    ProgramMount mnt({dir_.file("src")});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();
    const std::string shown = mnt.file("clip.m4a");
    const int fd = ::open(shown.c_str(), O_RDONLY | O_DIRECT);
    ASSERT_GE(fd, 0);
    void* buf = std::aligned_alloc(block, 4 * block);

    const std::size_t cut = (original.size() / 2) & ~(block - 1);
    ASSERT_EQ(::truncate(clip.path.c_str(), static_cast<off_t>(cut)), 0);
    for (const std::size_t offset : {std::size_t{0}, cut - block, cut, (original.size() - 1) & ~(block - 1),
                                     (clip.emitted.size() - 2 * block) & ~(block - 1)}) {
        errno = 0;
        const ssize_t n = ::pread(fd, buf, 4 * block, static_cast<off_t>(offset));
        if (n < 0) {
            EXPECT_EQ(errno, EIO) << "offset " << offset;
            continue;
        }
        const auto* got = static_cast<const std::uint8_t*>(buf);
        if (n > 0) {
            EXPECT_LE(offset + static_cast<std::size_t>(n), cut) << "offset " << offset << ": bytes past the new end";
        }
        EXPECT_TRUE(std::equal(got, got + n, clip.emitted.begin() + static_cast<std::ptrdiff_t>(offset)))
            << "offset " << offset;
    }
    std::free(buf);
    ::close(fd);

    // In place, same size, modification time put back: only the change time
    // tells. The old movie box's type is broken, so the file is no clip now.
    ASSERT_TRUE(write_file(clip.path, original));
    struct stat before {};
    ASSERT_EQ(::stat(clip.path.c_str(), &before), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100)); // the kernel's cached attributes expire
    ASSERT_EQ(size_of(shown), static_cast<off_t>(clip.emitted.size())) << "not shown rewritten again";
    auto broken = original;
    const auto moov = std::search(broken.begin(), broken.end(), std::begin("moov"), std::end("moov") - 1);
    ASSERT_NE(moov, broken.end());
    std::copy_n("junk", 4, moov);
    const int w = ::open(clip.path.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(w, broken.data(), broken.size(), 0), static_cast<ssize_t>(broken.size()));
    ::close(w);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, clip.path.c_str(), times, 0), 0);
    const auto [err, bytes] = read_direct(shown, 0, ((broken.size() + block - 1) / block) * block);
    EXPECT_EQ(err, 0);
    EXPECT_TRUE(bytes == broken) << "read " << bytes.size() << " bytes, not the source as it is now";
}

// One file whose reads never come back holds up only the requests for that
// file, and a stop signal still ends the service.
TEST_F(MirrorFaults, StalledSourceFileHoldsUpOnlyItself)
{
    const Clip clip = make_clip(work_, src("clip.m4a"), "1");
    const Clip stuck = make_clip(work_, src("stuck.m4a"), "1");
    ASSERT_FALSE(clip.emitted.empty());
    ASSERT_FALSE(stuck.emitted.empty());
    write_text(src("notes.txt"), "neighbour");
    FaultFs faulty(dir_.file("src"), dir_.file("faulty"));
    ASSERT_TRUE(faulty.ok());
    faulty.stall("stuck.m4a");
    ProgramMount mnt({faulty.mount_dir()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();

    std::thread reader([&] { read_file(mnt.file("stuck.m4a")); });
    const auto listing = run_command({"timeout", "30", "ls", "-l", mnt.path()});
    EXPECT_EQ(listing.status, 0) << listing.err;
    for (const char* name : {"clip.m4a", "stuck.m4a", "notes.txt"})
        EXPECT_NE(listing.out.find(name), std::string::npos) << listing.out;
    EXPECT_NE(listing.out.find(" " + std::to_string(clip.emitted.size()) + " "), std::string::npos) << listing.out;
    EXPECT_EQ(read_text(mnt.file("notes.txt")), "neighbour");
    EXPECT_TRUE(read_file(mnt.file("clip.m4a")) == clip.emitted);

    // The service unmounts by itself within 5 s, the stuck request left behind.
    ::kill(mnt.pid(), SIGTERM);
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gone = !mounted_at(mnt.path());
    }
    EXPECT_TRUE(gone) << "still mounted 5 s after SIGTERM";
    EXPECT_EQ(mnt.stop(), 0) << mnt.stderr_text();
    faulty.clear();
    reader.join();
}

// Sources that stall while other files are wanted: each case stalls some
// clips in its own way, then an unaffected clip in the stalled clips' folder
// and one in another folder must show their rewritten size and read whole
// within 5 s, and a stop signal must end the service within 5 s.
TEST_F(MirrorFaults, StallsHoldUpOnlyTheirOwnFiles)
{
    const Clip clip = make_clip(work_, work_.file("clip.m4a"), "1");
    ASSERT_FALSE(clip.emitted.empty());
    const auto place = [&](const std::string& rel) {
        ASSERT_TRUE(write_file(src(rel), read_file(clip.path))); // a copy: a node and a decision of its own
    };
    struct Case {
        const char* name;
        int stalled;           // clips s/x0.m4a ... stalled
        bool stall_during_open; // decided first, then stalled while its open reads the tables again
    };
    const Case cases[] = {{"one clip stalls during its open", 1, true}, {"40 stalled clips in one folder", 40, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::mkdir(src("s").c_str(), 0755);
        ::mkdir(src("o").c_str(), 0755);
        for (int i = 0; i < c.stalled; ++i)
            place("s/x" + std::to_string(i) + ".m4a");
        place("s/fine.m4a");
        place("o/fine.m4a");
        FaultFs faulty(dir_.file("src"), dir_.file("faulty"));
        ASSERT_TRUE(faulty.ok());
        ProgramMount mnt({faulty.mount_dir()});
        ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();
        std::vector<std::thread> readers;
        for (int i = 0; i < c.stalled; ++i) {
            const std::string rel = "s/x" + std::to_string(i) + ".m4a";
            if (c.stall_during_open) {
                ASSERT_EQ(size_of(mnt.file(rel)), static_cast<off_t>(clip.emitted.size()));
                // Out of the page cache, so that the open's table build reads the source.
                const int fd = ::open((faulty.mount_dir() + "/" + rel).c_str(), O_RDONLY | O_CLOEXEC);
                ASSERT_GE(fd, 0);
                ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
                ::close(fd);
            }
            faulty.stall(rel);
            // One program per stalled clip opening it; their lookups in the
            // one folder run side by side with everything else there.
            readers.emplace_back([path = mnt.file(rel)] { read_file(path); });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const auto start = std::chrono::steady_clock::now();
        const auto within_5s = [&] { return std::chrono::steady_clock::now() - start < std::chrono::seconds(5); };
        const auto listing = run_command({"timeout", "30", "ls", "-l", mnt.file("s")});
        EXPECT_EQ(listing.status, 0) << listing.err;
        EXPECT_TRUE(within_5s()) << "ls -l of the stalled clips' folder";
        for (const char* rel : {"s/fine.m4a", "o/fine.m4a"}) {
            SCOPED_TRACE(rel);
            EXPECT_EQ(size_of(mnt.file(rel)), static_cast<off_t>(clip.emitted.size()));
            EXPECT_TRUE(read_file(mnt.file(rel)) == clip.emitted);
            EXPECT_TRUE(within_5s());
        }
        // The stalled reads stay behind: the service unmounts and ends
        // without them, however many there are.
        const auto stopped = std::chrono::steady_clock::now();
        EXPECT_EQ(mnt.signal_and_wait(SIGTERM, std::chrono::seconds(5)), 0) << "still running 5 s after SIGTERM";
        EXPECT_FALSE(mounted_at(mnt.path()));
        std::printf("  ended %.2f s after SIGTERM\n",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count());
        faulty.clear();
        for (std::thread& t : readers)
            t.join();
        run_shell("rm -rf '" + src("s") + "' '" + src("o") + "'");
    }
}

} // namespace
} // namespace kov::test
