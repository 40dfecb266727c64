#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/mount_harness.hpp"
#include "support/test_env.hpp"

using namespace kov::test;

namespace {

using Names = std::vector<std::string>;

// Three source folders with one distinct file each, a mount point and a list path.
struct SharesFixture : MountFolders {
    std::string conf = dir.file("shares.conf");
    std::string src(const std::string& name) const { return dir.file("src-" + name); }

    SharesFixture()
    {
        for (const char* n : {"a", "b", "c"})
            add_source("src-" + std::string(n), "hello.txt", std::string("content of ") + n + "\n");
    }
    std::string line(const std::string& name, const std::string& source, const char* enabled = "1") const
    {
        return std::string(enabled) + "\t" + name + "\t" + source + "\n";
    }
};

// Sends SIGHUP and waits for the service's `nth` reload line, which must report `active` shares.
::testing::AssertionResult reload(ServiceProcess& svc, const std::string& conf, std::size_t nth, std::size_t active)
{
    const std::string prefix = "kov-orvane: reloaded shares from ";
    svc.signal(SIGHUP);
    if (!svc.wait_for_err(prefix, nth))
        return ::testing::AssertionFailure() << "no reload line #" << nth << " in:\n" << svc.err();
    const std::string& err = svc.err();
    const auto at = err.rfind(prefix);
    const std::string line = err.substr(at, err.find('\n', at) - at + 1);
    const std::string want = prefix + conf + " (" + std::to_string(active) + " active)\n";
    if (line != want)
        return ::testing::AssertionFailure() << "got " << line << "want " << want;
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(MountShares, CommandLineSharesAreTheRootInOrder)
{
    KOV_REQUIRE_FUSE();
    SharesFixture f;
    ServiceProcess svc({"--share", "Zed=" + f.src("a"), "--share", "Alpha=" + f.src("b"), "--share",
                        "bad/name=" + f.src("c"), "--config", f.conf, f.mnt},
                       f.mnt);
    ASSERT_TRUE(svc.wait_for_mount()) << svc.err();
    EXPECT_TRUE(svc.wait_for_err("kov-orvane: serving shares at '" + f.mnt + "' (read-only)\n")) << svc.err();
    EXPECT_NE(svc.err().find("kov-orvane: 2 active shares"), std::string::npos) << svc.err();

    EXPECT_EQ(list_dir(f.mnt), (Names{".", "..", "Zed", "Alpha"}));
    EXPECT_EQ(read_file(f.mnt + "/Zed/hello.txt"), read_file(f.src("a") + "/hello.txt"));
    EXPECT_EQ(read_file(f.mnt + "/Alpha/hello.txt"), read_file(f.src("b") + "/hello.txt"));
    EXPECT_FALSE(exists(f.mnt + "/bad"));

    struct stat st {};
    ASSERT_EQ(::stat(f.mnt.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0555u);

    svc.signal(SIGTERM);
    EXPECT_EQ(svc.wait_exit(), 0) << svc.err();
    EXPECT_FALSE(mounted_at(f.mnt));
}

TEST(MountShares, ReloadFollowsTheListFileWithoutUnmounting)
{
    KOV_REQUIRE_FUSE();
    SharesFixture f;
    ASSERT_TRUE(write_text(f.conf, "# kov-orvane shares\n" + f.line("one", f.src("a")) + f.line("two", f.src("b")) +
                                       f.line("off", f.src("c"), "0")));
    ServiceProcess svc({"--config", f.conf, f.mnt}, f.mnt);
    ASSERT_TRUE(svc.wait_for_mount()) << svc.err();
    EXPECT_NE(svc.err().find("kov-orvane: 2 active shares from " + f.conf), std::string::npos) << svc.err();
    EXPECT_EQ(list_dir(f.mnt), (Names{".", "..", "one", "two"}));
    std::string mount_id;
    ASSERT_TRUE(mounted_at(f.mnt, &mount_id));

    // Readers keep going across every reload below; a share that stays must never fail.
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0}, reads{0};
    std::thread reader([&] {
        const auto expected = read_file(f.src("a") + "/hello.txt");
        while (!stop || reads == 0) {
            if (read_file(f.mnt + "/one/hello.txt") != expected)
                ++failures;
            ++reads;
        }
    });

    // Change the list: "two" goes, "three" comes, "one" stays.
    ASSERT_TRUE(write_text(f.conf, f.line("three", f.src("c")) + f.line("one", f.src("a"))));
    ASSERT_TRUE(reload(svc, f.conf, 1, 2));
    EXPECT_EQ(list_dir(f.mnt), (Names{".", "..", "three", "one"}));
    EXPECT_FALSE(exists(f.mnt + "/two"));
    EXPECT_EQ(read_file(f.mnt + "/three/hello.txt"), read_file(f.src("c") + "/hello.txt"));

    stop = true;
    reader.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(reads.load(), 0);

    // A deleted list file empties the root; statfs then reports the root file system.
    ASSERT_EQ(::unlink(f.conf.c_str()), 0);
    ASSERT_TRUE(reload(svc, f.conf, 2, 0));
    EXPECT_EQ(list_dir(f.mnt), (Names{".", ".."}));
    EXPECT_FALSE(exists(f.mnt + "/one"));
    struct statvfs via_mount {}, of_root {};
    ASSERT_EQ(::statvfs(f.mnt.c_str(), &via_mount), 0);
    ASSERT_EQ(::statvfs("/", &of_root), 0);
    EXPECT_EQ(via_mount.f_blocks, of_root.f_blocks);
    EXPECT_EQ(via_mount.f_bsize, of_root.f_bsize);
    EXPECT_EQ(via_mount.f_files, of_root.f_files);

    // Restoring the file brings the shares back, still on the same mount.
    ASSERT_TRUE(write_text(f.conf, f.line("one", f.src("a")) + f.line("two", f.src("b"))));
    ASSERT_TRUE(reload(svc, f.conf, 3, 2));
    EXPECT_EQ(list_dir(f.mnt), (Names{".", "..", "one", "two"}));
    EXPECT_EQ(read_file(f.mnt + "/two/hello.txt"), read_file(f.src("b") + "/hello.txt"));
    std::string same_id;
    ASSERT_TRUE(mounted_at(f.mnt, &same_id));
    EXPECT_EQ(same_id, mount_id);

    svc.signal(SIGINT);
    EXPECT_EQ(svc.wait_exit(), 0) << svc.err();
    EXPECT_FALSE(mounted_at(f.mnt));
}

TEST(MountShares, FirstReloadReplacesCommandLineShares)
{
    KOV_REQUIRE_FUSE();
    SharesFixture f;
    ASSERT_TRUE(write_text(f.conf, f.line("fromfile", f.src("b"))));
    ServiceProcess svc({"--share", "fromcli=" + f.src("a"), "--config", f.conf, f.mnt}, f.mnt);
    ASSERT_TRUE(svc.wait_for_mount()) << svc.err();
    EXPECT_EQ(list_dir(f.mnt), (Names{".", "..", "fromcli"}));
    ASSERT_TRUE(reload(svc, f.conf, 1, 1));
    EXPECT_EQ(list_dir(f.mnt), (Names{".", "..", "fromfile"}));
    EXPECT_FALSE(exists(f.mnt + "/fromcli"));
}

TEST(MountShares, DefaultListPathFollowsXdgConfigHome)
{
    KOV_REQUIRE_FUSE();
    SharesFixture f;
    const std::string xdg = f.dir.file("xdg");
    ASSERT_EQ(::mkdir(xdg.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((xdg + "/kov-orvane").c_str(), 0755), 0);
    const std::string conf = xdg + "/kov-orvane/shares.conf";
    ASSERT_TRUE(write_text(conf, f.line("x", f.src("a"))));
    ServiceProcess svc({f.mnt}, f.mnt, {"XDG_CONFIG_HOME=" + xdg});
    ASSERT_TRUE(svc.wait_for_mount()) << svc.err();
    EXPECT_EQ(list_dir(f.mnt), (Names{".", "..", "x"}));
    ASSERT_TRUE(write_text(conf, f.line("y", f.src("b"))));
    ASSERT_TRUE(reload(svc, conf, 1, 1));
    EXPECT_EQ(list_dir(f.mnt), (Names{".", "..", "y"}));
}

TEST(MountShares, RootRefusesEveryChangeEvenWhenWritable)
{
    KOV_REQUIRE_FUSE();
    SharesFixture f;
    ServiceProcess svc({"--writable", "--share", "one=" + f.src("a"), "--share", "two=" + f.src("b"), "--config",
                        f.conf, f.mnt},
                       f.mnt);
    ASSERT_TRUE(svc.wait_for_mount()) << svc.err();
    EXPECT_TRUE(svc.wait_for_err("(writable)\n")) << svc.err();

    const std::string at_root = f.mnt + "/new";
    errno = 0;
    EXPECT_EQ(::mkdir(at_root.c_str(), 0755), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(::open(at_root.c_str(), O_CREAT | O_WRONLY, 0644), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(::rmdir((f.mnt + "/one").c_str()), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(::rename((f.mnt + "/one").c_str(), (f.mnt + "/renamed").c_str()), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(::rename((f.mnt + "/one/hello.txt").c_str(), (f.mnt + "/hello.txt").c_str()), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(::chmod(f.mnt.c_str(), 0777), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(::access(f.mnt.c_str(), R_OK | X_OK), 0);
    errno = 0;
    EXPECT_EQ(::access(f.mnt.c_str(), W_OK), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(list_dir(f.mnt), (Names{".", "..", "one", "two"}));

    // Below the root the mount is writable.
    ASSERT_TRUE(write_text(f.mnt + "/one/made.txt", "made\n"));
    EXPECT_EQ(read_file(f.src("a") + "/made.txt"), read_file(f.mnt + "/one/made.txt"));
}

// A share that cannot be used is named on standard error, at start and at
// every reload, and is not counted.
TEST(MountShares, UnusableSharesAreReportedAndNotCounted)
{
    KOV_REQUIRE_FUSE();
    SharesFixture f;
    const std::string link = f.dir.file("link-to-a");
    ASSERT_EQ(::symlink(f.src("a").c_str(), link.c_str()), 0);
    ASSERT_TRUE(write_text(f.dir.file("plain"), "x"));
    ServiceProcess svc({"--share", "ok=" + f.src("b"), "--share", "linked=" + link, "--share",
                        "file=" + f.dir.file("plain"), "--config", f.conf, f.mnt},
                       f.mnt);
    ASSERT_TRUE(svc.wait_for_mount()) << svc.err();
    const std::string& start = svc.err();
    EXPECT_NE(start.find("kov-orvane: 1 active share from the command line"), std::string::npos) << start;
    EXPECT_NE(start.find("kov-orvane: share 'linked' (" + link + ") is not used: is a symbolic link\n"),
              std::string::npos)
        << start;
    EXPECT_NE(start.find("kov-orvane: share 'file' (" + f.dir.file("plain") + ") is not used: is not a folder\n"),
              std::string::npos)
        << start;
    EXPECT_EQ(list_dir(f.mnt), (Names{".", "..", "ok"}));

    ASSERT_TRUE(write_text(f.conf, f.line("one", f.src("a")) + f.line("gone", f.dir.file("nowhere"))));
    ASSERT_TRUE(reload(svc, f.conf, 1, 1));
    EXPECT_NE(svc.err().find("kov-orvane: share 'gone' (" + f.dir.file("nowhere") + ") is not used: "),
              std::string::npos)
        << svc.err();
    EXPECT_EQ(list_dir(f.mnt), (Names{".", "..", "one"}));
    EXPECT_EQ(svc.unmount_and_wait(), 0);
}

// A list path naming a FIFO, a folder or a device is refused at once, without
// opening it (a FIFO would block the start for ever); one swapped in later
// reads as an empty list at the reload instead of blocking it.
TEST(MountShares, ListThatIsNotARegularFileNeverBlocks)
{
    SharesFixture f;
    const std::string fifo = f.dir.file("fifo.conf");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, f.src("a"), std::string("/dev/null")}) {
        const auto r = run_command({"timeout", "10", program_path(), "--config", path, f.mnt});
        EXPECT_EQ(r.status, 2) << path;
        EXPECT_EQ(r.err, "kov-orvane: --config " + path + ": not a regular file\n");
        EXPECT_FALSE(mounted_at(f.mnt));
    }

    KOV_REQUIRE_FUSE();
    ASSERT_TRUE(write_text(f.conf, f.line("one", f.src("a"))));
    ServiceProcess svc({"--config", f.conf, f.mnt}, f.mnt);
    ASSERT_TRUE(svc.wait_for_mount()) << svc.err();
    ASSERT_EQ(::unlink(f.conf.c_str()), 0);
    ASSERT_EQ(::mkfifo(f.conf.c_str(), 0600), 0);
    ASSERT_TRUE(reload(svc, f.conf, 1, 0));
    EXPECT_EQ(list_dir(f.mnt), (Names{".", ".."}));
    svc.signal(SIGTERM);
    EXPECT_EQ(svc.wait_exit(std::chrono::seconds(5)), 0) << svc.err();
}
