// The fault-injecting passthrough the other tests stand on: it must mirror
// its source faithfully and do exactly what it is told, no more.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/fault_fs.hpp"
#include "support/mount_harness.hpp"
#include "support/test_env.hpp"

namespace kov::test {
namespace {

constexpr std::size_t block = 4096;

// A source with two files of known bytes, mounted through faultfs.
struct FaultTree {
    TempDir dir;
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(16 * block);
    std::unique_ptr<FaultFs> fs;

    FaultTree()
    {
        ::mkdir(dir.file("src").c_str(), 0755);
        ::mkdir(dir.file("src/sub").c_str(), 0755);
        ::mkdir(dir.file("mnt").c_str(), 0755);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 31 + i / 977);
        write_file(dir.file("src/a.bin"), bytes);
        write_file(dir.file("src/sub/b.bin"), bytes);
        fs = std::make_unique<FaultFs>(dir.file("src"), dir.file("mnt"));
    }
    std::string at(const std::string& rel) const { return dir.file("mnt/" + rel); }
};

// Reads `size` bytes at `offset` past the page cache; the errno on failure.
struct DirectRead {
    int error = 0;
    std::vector<std::uint8_t> data;
};

DirectRead read_direct(const std::string& path, std::size_t offset, std::size_t size)
{
    DirectRead r;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (fd < 0) {
        r.error = errno;
        return r;
    }
    void* buf = std::aligned_alloc(block, size);
    const ssize_t n = ::pread(fd, buf, size, static_cast<off_t>(offset));
    if (n < 0)
        r.error = errno;
    else
        r.data.assign(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + n);
    std::free(buf);
    ::close(fd);
    return r;
}

std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& v, std::size_t offset, std::size_t size)
{
    return {v.begin() + static_cast<std::ptrdiff_t>(offset), v.begin() + static_cast<std::ptrdiff_t>(offset + size)};
}

TEST(FaultFs, MirrorsItsSourceReadOnlyAndHidesItsControlFile)
{
    KOV_REQUIRE_FUSE();
    FaultTree t;
    ASSERT_TRUE(t.fs->ok());
    EXPECT_EQ(read_file(t.at("a.bin")), t.bytes);
    EXPECT_EQ(read_file(t.at("sub/b.bin")), t.bytes);
    auto names = list_dir(t.fs->mount_dir());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "a.bin", "sub"}));
    EXPECT_LT(::open(t.at("a.bin").c_str(), O_WRONLY), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_FALSE(t.fs->command("explode a.bin"));
    EXPECT_FALSE(t.fs->command("fail a.bin 10 5"));
}

TEST(FaultFs, FailsExactlyTheReadsThatTouchTheChosenRange)
{
    KOV_REQUIRE_FUSE();
    FaultTree t;
    ASSERT_TRUE(t.fs->ok());
    t.fs->fail("a.bin", 4 * block + 100, 4 * block + 101);
    t.fs->fail("sub/b.bin", 8 * block, UINT64_MAX, ENXIO);
    const struct {
        const char* file;
        std::size_t offset, size;
        int error;
    } cases[] = {
        {"a.bin", 4 * block, block, EIO},        // holds the failing byte
        {"a.bin", 0, 8 * block, EIO},            // spans it
        {"a.bin", 0, 4 * block, 0},              // ends just before it
        {"a.bin", 5 * block, block, 0},          // starts after it
        {"sub/b.bin", 8 * block, block, ENXIO},  // the chosen errno, to the end
        {"sub/b.bin", 15 * block, block, ENXIO},
        {"sub/b.bin", 7 * block, block, 0},
    };
    for (const auto& c : cases) {
        const auto r = read_direct(t.at(c.file), c.offset, c.size);
        EXPECT_EQ(r.error, c.error) << c.file << " @" << c.offset;
        if (c.error == 0) {
            EXPECT_EQ(r.data, slice(t.bytes, c.offset, c.size)) << c.file << " @" << c.offset;
        }
    }
    t.fs->clear();
    EXPECT_EQ(read_direct(t.at("a.bin"), 4 * block, block).data, slice(t.bytes, 4 * block, block));
}

TEST(FaultFs, DelayedReadsWaitAndStillAnswer)
{
    KOV_REQUIRE_FUSE();
    FaultTree t;
    ASSERT_TRUE(t.fs->ok());
    t.fs->delay("*", 0, UINT64_MAX, 300);
    const auto start = std::chrono::steady_clock::now();
    const auto r = read_direct(t.at("sub/b.bin"), block, block);
    // A lower bound only: the read cannot have been answered before its delay.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(r.data, slice(t.bytes, block, block));
}

TEST(FaultFs, StalledFileBlocksOnlyItsOwnReadsUntilCleared)
{
    KOV_REQUIRE_FUSE();
    FaultTree t;
    ASSERT_TRUE(t.fs->ok());
    t.fs->stall("a.bin");
    std::atomic<bool> done{false};
    DirectRead stalled;
    std::thread reader([&] {
        stalled = read_direct(t.at("a.bin"), 0, block);
        done = true;
    });
    // Its neighbours answer meanwhile, and so does the control file.
    EXPECT_EQ(read_direct(t.at("sub/b.bin"), 0, block).data, slice(t.bytes, 0, block));
    EXPECT_EQ(read_file(t.at("sub/b.bin")), t.bytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(done);
    t.fs->clear();
    reader.join();
    EXPECT_EQ(stalled.error, 0);
    EXPECT_EQ(stalled.data, slice(t.bytes, 0, block));
}

TEST(FaultFs, EndsWhileAReadIsStalled)
{
    KOV_REQUIRE_FUSE();
    FaultTree t;
    ASSERT_TRUE(t.fs->ok());
    t.fs->stall("a.bin");
    std::thread reader([&] { read_direct(t.at("a.bin"), 0, block); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    t.fs.reset();
    reader.join();
    EXPECT_FALSE(mounted_at(t.dir.file("mnt")));
}

} // namespace
} // namespace kov::test
