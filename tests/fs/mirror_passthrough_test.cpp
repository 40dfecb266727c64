// Files that are not rewritten must look and read exactly like their source.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "support/mount_harness.hpp"

namespace kov::test {
namespace {

std::vector<std::string> list_names(const std::string& dir)
{
    auto names = list_dir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Inode numbers are the mount's own (unique across shares), so they are not compared.
void expect_same_attributes(const std::string& source, const std::string& mirrored)
{
    struct stat a {
    }, b{};
    ASSERT_EQ(::lstat(source.c_str(), &a), 0) << source;
    ASSERT_EQ(::lstat(mirrored.c_str(), &b), 0) << mirrored << ": " << std::strerror(errno);
    EXPECT_EQ(a.st_mode, b.st_mode) << mirrored;
    EXPECT_EQ(a.st_size, b.st_size) << mirrored;
    EXPECT_EQ(a.st_nlink, b.st_nlink) << mirrored;
    EXPECT_EQ(a.st_uid, b.st_uid) << mirrored;
    EXPECT_EQ(a.st_gid, b.st_gid) << mirrored;
    EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec) << mirrored;
    EXPECT_EQ(a.st_mtim.tv_nsec, b.st_mtim.tv_nsec) << mirrored;
}

// A source tree with one of every kind of object that passes through.
struct PlainTree {
    TempDir src;
    std::vector<std::string> files; // regular files, relative to src

    PlainTree()
    {
        write_text(src.file("notes.txt"), "first line\nsecond line\n");
        write_text(src.file("empty.bin"), "");
        std::vector<std::uint8_t> big(3 * 1024 * 1024 + 17);
        for (std::size_t i = 0; i < big.size(); ++i)
            big[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
        write_file(src.file("big.bin"), big);
        ::mkdir(src.file("folder").c_str(), 0750);
        write_text(src.file("folder/inner.txt"), "inside\n");
        ::symlink("notes.txt", src.file("link").c_str());
        ::symlink("/nowhere/at/all", src.file("dangling").c_str());
        files = {"notes.txt", "empty.bin", "big.bin", "folder/inner.txt"};
        if (!have_ffmpeg())
            return;
        const std::vector<std::pair<std::string, std::vector<std::string>>> media = {
            {"video_only.mp4", {"-f", "lavfi", "-i", "testsrc=duration=1:size=160x120:rate=10", "-c:v", "mpeg4"}},
            {"mp3_audio.mp4", {"-f", "lavfi", "-i", "sine=frequency=440:duration=1", "-c:a", "libmp3lame"}},
        };
        for (const auto& [name, args] : media)
            if (ffmpeg_make(args, src.file(name)))
                files.push_back(name);
    }
};

TEST(MirrorPassThrough, FilesReadByteIdenticalWithSourceAttributes)
{
    KOV_REQUIRE_FUSE();
    PlainTree tree;
    ProgramMount mnt({tree.src.path()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();

    EXPECT_EQ(list_names(mnt.path()), list_names(tree.src.path()));
    EXPECT_EQ(list_names(mnt.file("folder")), list_names(tree.src.file("folder")));
    for (const auto& name : tree.files) {
        expect_same_attributes(tree.src.file(name), mnt.file(name));
        EXPECT_EQ(read_file(mnt.file(name)), read_file(tree.src.file(name))) << name;
    }
    for (const char* name : {"folder", "link", "dangling"})
        expect_same_attributes(tree.src.file(name), mnt.file(name));

    char target[256] = {};
    ASSERT_EQ(::readlink(mnt.file("dangling").c_str(), target, sizeof target - 1), 15);
    EXPECT_STREQ(target, "/nowhere/at/all");
    // A link is followed by the kernel, never by a lookup of ours.
    EXPECT_EQ(read_file(mnt.file("link")), read_file(tree.src.file("notes.txt")));
    EXPECT_EQ(::access(mnt.file("dangling/x").c_str(), F_OK), -1);
    mnt.expect_clean_stop();
}

TEST(MirrorPassThrough, PartialReadsAtOddOffsetsMatchSource)
{
    KOV_REQUIRE_FUSE();
    PlainTree tree;
    ProgramMount mnt({tree.src.path()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();
    const auto want = read_file(tree.src.file("big.bin"));
    const int fd = ::open(mnt.file("big.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::uint64_t seed = 12345;
    std::vector<std::uint8_t> got(300000);
    for (int i = 0; i < 200; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        const std::size_t off = (seed >> 20) % (want.size() + 100);
        const std::size_t len = 1 + (seed >> 40) % got.size();
        const ssize_t n = ::pread(fd, got.data(), len, static_cast<off_t>(off));
        const std::size_t expect = off >= want.size() ? 0 : std::min(len, want.size() - off);
        ASSERT_EQ(n, static_cast<ssize_t>(expect)) << "offset " << off << " length " << len;
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + n, want.begin() + static_cast<std::ptrdiff_t>(off)))
            << "offset " << off << " length " << len;
    }
    ::close(fd);
}

TEST(MirrorPassThrough, SpecialFilesNeverBlockARequest)
{
    KOV_REQUIRE_FUSE();
    TempDir src;
    ASSERT_EQ(::mkfifo(src.file("pipe").c_str(), 0644), 0);
    write_text(src.file("after.txt"), "x");
    ProgramMount mnt({src.path()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();
    // A reopen of the FIFO for analysis would hang here until a writer came.
    const auto r = run_command({"timeout", "20", "ls", "-l", mnt.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("pipe"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::lstat(mnt.file("pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(MirrorPassThrough, StatfsReportsTheSourceFileSystem)
{
    KOV_REQUIRE_FUSE();
    TempDir src;
    InProcessMount mnt(src.path(), {});
    ASSERT_TRUE(mnt.ok());
    struct statvfs a {
    }, b{};
    ASSERT_EQ(::statvfs(src.path().c_str(), &a), 0);
    ASSERT_EQ(::statvfs(mnt.path().c_str(), &b), 0);
    EXPECT_EQ(a.f_bsize, b.f_bsize);
    EXPECT_EQ(a.f_blocks, b.f_blocks);
    EXPECT_EQ(a.f_files, b.f_files);
}

class MirrorListing : public ::testing::TestWithParam<PlusMode> {};

// More entries than fit into one reply: each appears exactly once, with and
// without attributes in the listing.
TEST_P(MirrorListing, LargeFolderListsEveryEntryOnce)
{
    KOV_REQUIRE_FUSE();
    TempDir src;
    std::set<std::string> want{".", ".."};
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "entry-with-a-fairly-long-name-" + std::to_string(i) + (i % 7 ? ".txt" : "");
        if (i % 11 == 0)
            ::mkdir(src.file(name).c_str(), 0755);
        else
            write_text(src.file(name), std::to_string(i));
        want.insert(name);
    }
    InProcessMount mnt(src.path(), {.plus = GetParam()});
    ASSERT_TRUE(mnt.ok());
    for (int round = 0; round < 2; ++round) {
        std::multiset<std::string> seen;
        DIR* d = ::opendir(mnt.path().c_str());
        ASSERT_NE(d, nullptr);
        while (const dirent* e = ::readdir(d)) {
            seen.insert(e->d_name);
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
                const bool dir = std::stoi(std::string(e->d_name).substr(30)) % 11 == 0;
                EXPECT_EQ(e->d_type, dir ? DT_DIR : DT_REG) << e->d_name;
            }
        }
        ::closedir(d);
        EXPECT_EQ(seen.size(), want.size());
        EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), want);
    }
    const auto r = run_command({"ls", "-la", mnt.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), static_cast<long>(want.size()) + 1); // plus "total"
}

INSTANTIATE_TEST_SUITE_P(AllListingKinds, MirrorListing,
                         ::testing::Values(PlusMode::library_default, PlusMode::always, PlusMode::never),
                         plus_mode_name);

} // namespace
} // namespace kov::test
