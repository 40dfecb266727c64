// Shares mode: the mount root is a made-up read-only folder listing the
// active shares; each share mirrors its own source folder.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "support/mount_harness.hpp"
#include "shares/share_table.hpp"

namespace kov::test {
namespace {

struct ShareSources {
    TempDir a, b, c;
    ShareTable table;
    ShareSources()
    {
        write_text(a.file("in-a.txt"), "alpha");
        write_text(b.file("in-b.txt"), "beta");
        std::lock_guard lock(table.mutex());
        table.install({{true, "zeta", a.path()}, {true, "alpha", b.path()}, {true, "mid", c.path()}});
    }
};

class SharesRoot : public ::testing::TestWithParam<PlusMode> {};

TEST_P(SharesRoot, ListsSharesInTableOrderAndServesTheirFiles)
{
    KOV_REQUIRE_FUSE();
    ShareSources s;
    InProcessMount mnt("", {.plus = GetParam()}, &s.table);
    ASSERT_TRUE(mnt.ok());
    EXPECT_EQ(list_dir(mnt.path()), (std::vector<std::string>{".", "..", "zeta", "alpha", "mid"}));
    EXPECT_EQ(read_file(mnt.file("zeta/in-a.txt")), read_file(s.a.file("in-a.txt")));
    EXPECT_EQ(read_file(mnt.file("alpha/in-b.txt")), read_file(s.b.file("in-b.txt")));
    struct stat st {};
    EXPECT_EQ(::stat(mnt.file("nosuch").c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);

    ASSERT_EQ(::stat(mnt.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFDIR | 0555));
    EXPECT_EQ(st.st_nlink, 2u);
    EXPECT_EQ(st.st_uid, ::getuid());
}

TEST_P(SharesRoot, VanishedShareShowsOnlyInAPlainListing)
{
    KOV_REQUIRE_FUSE();
    ShareSources s;
    const std::string gone = s.c.path();
    std::error_code ec;
    std::filesystem::remove_all(gone, ec);
    InProcessMount mnt("", {.plus = GetParam()}, &s.table);
    ASSERT_TRUE(mnt.ok());
    const auto names = list_dir(mnt.path());
    const bool listed = std::find(names.begin(), names.end(), "mid") != names.end();
    // With attributes the share's lookup fails and it is left out.
    EXPECT_EQ(listed, GetParam() == PlusMode::never);
    EXPECT_EQ(names.size(), listed ? 5u : 4u);
}

INSTANTIATE_TEST_SUITE_P(Listing, SharesRoot, ::testing::Values(PlusMode::always, PlusMode::never), plus_mode_name);

TEST(SharesRootWrites, RootRefusesChangesEvenWhenWritable)
{
    KOV_REQUIRE_FUSE();
    ShareSources s;
    InProcessMount mnt("", {.writable = true}, &s.table);
    ASSERT_TRUE(mnt.ok());
    const auto expect_eacces = [](int rc, const char* what) {
        EXPECT_EQ(rc, -1) << what;
        EXPECT_EQ(errno, EACCES) << what;
    };
    expect_eacces(::mkdir(mnt.file("new").c_str(), 0755), "mkdir");
    expect_eacces(::open(mnt.file("new.txt").c_str(), O_WRONLY | O_CREAT, 0644), "create");
    expect_eacces(::rmdir(mnt.file("mid").c_str()), "rmdir");
    expect_eacces(::chmod(mnt.path().c_str(), 0777), "setattr");
    expect_eacces(::rename(mnt.file("mid").c_str(), mnt.file("other").c_str()), "rename at root");
    expect_eacces(::rename(mnt.file("zeta/in-a.txt").c_str(), mnt.file("in-a.txt").c_str()), "rename to root");
    expect_eacces(::access(mnt.path().c_str(), W_OK), "access W_OK");
    EXPECT_EQ(::access(mnt.path().c_str(), R_OK | X_OK), 0);

    // Below the root the share is an ordinary writable folder.
    ASSERT_EQ(::mkdir(mnt.file("zeta/made").c_str(), 0755), 0);
    struct stat st {};
    EXPECT_EQ(::stat(s.a.file("made").c_str(), &st), 0);
    ASSERT_EQ(::rename(mnt.file("zeta/in-a.txt").c_str(), mnt.file("zeta/made/in-a.txt").c_str()), 0);
    EXPECT_EQ(::stat(s.a.file("made/in-a.txt").c_str(), &st), 0);
}

TEST(SharesRootStatfs, ReportsFirstShareOrTheRootFileSystem)
{
    KOV_REQUIRE_FUSE();
    ShareTable empty;
    InProcessMount mnt("", {}, &empty);
    ASSERT_TRUE(mnt.ok());
    EXPECT_EQ(list_dir(mnt.path()), (std::vector<std::string>{".", ".."}));
    struct statvfs want {
    }, got{};
    ASSERT_EQ(::statvfs("/", &want), 0);
    ASSERT_EQ(::statvfs(mnt.path().c_str(), &got), 0);
    EXPECT_EQ(got.f_blocks, want.f_blocks);
    EXPECT_EQ(got.f_files, want.f_files);
    EXPECT_EQ(got.f_bsize, want.f_bsize);
}

// A share is reached through the folder validated at install: a path that
// ends in a link is refused then, with a reason, and swapping a parent of the
// path for a link afterwards does not move the share.
TEST(SharesRootLookup, ShareFolderIsPinnedAtInstall)
{
    KOV_REQUIRE_FUSE();
    TempDir base;
    ASSERT_EQ(::mkdir(base.file("parent").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(base.file("parent/media").c_str(), 0755), 0);
    write_text(base.file("parent/media/clip.txt"), "the real clip");
    ASSERT_EQ(::mkdir(base.file("elsewhere").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(base.file("elsewhere/media").c_str(), 0755), 0);
    write_text(base.file("elsewhere/media/clip.txt"), "planted");
    ASSERT_EQ(::symlink(base.file("parent/media").c_str(), base.file("link").c_str()), 0);
    write_text(base.file("plain"), "x");

    ShareTable table;
    std::vector<std::string> problems;
    {
        std::lock_guard lock(table.mutex());
        ASSERT_EQ(table.install({{true, "real", base.file("parent/media")},
                                 {true, "linked", base.file("link")},
                                 {true, "file", base.file("plain")},
                                 {true, "gone", base.file("nothing")}},
                                &problems),
                  1u);
    }
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_NE(problems[0].find("'linked'"), std::string::npos) << problems[0];
    EXPECT_NE(problems[0].find("symbolic link"), std::string::npos) << problems[0];
    EXPECT_NE(problems[1].find("not a folder"), std::string::npos) << problems[1];
    EXPECT_NE(problems[2].find("No such file"), std::string::npos) << problems[2];

    InProcessMount mnt("", {}, &table);
    ASSERT_TRUE(mnt.ok());
    EXPECT_EQ(list_dir(mnt.path()), (std::vector<std::string>{".", "..", "real"}));
    ASSERT_EQ(::rename(base.file("parent").c_str(), base.file("moved").c_str()), 0);
    ASSERT_EQ(::symlink(base.file("elsewhere").c_str(), base.file("parent").c_str()), 0);
    EXPECT_EQ(read_text(mnt.file("real/clip.txt")), "the real clip");
}

} // namespace
} // namespace kov::test
