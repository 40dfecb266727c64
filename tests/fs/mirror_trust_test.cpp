// What the mount lets a careless program or another user do: nothing may reach
// the source of a rewritten clip, other users get no more than the source's
// modes give them, and every operation the mirror does not carry out answers
// one clear errno.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <ftw.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "support/mount_harness.hpp"

namespace kov::test {
namespace {

constexpr uid_t other_uid = 4242; // needs no account: setpriv sets the ids directly

// Runs `argv` as `other_uid` with no supplementary groups; its exit status.
int run_as_other(const std::vector<std::string>& argv)
{
    std::vector<std::string> full{"setpriv", "--reuid=" + std::to_string(other_uid),
                                  "--regid=" + std::to_string(other_uid), "--clear-groups", "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return run_command(full).status;
}

bool can_switch_user() { return ::geteuid() == 0 && have_program("setpriv"); }

std::vector<std::uint8_t> aac_clip(const TempDir& src, const std::string& name)
{
    if (!ffmpeg_make({"-f", "lavfi", "-i", "sine=frequency=440:duration=1", "-c:a", "aac"}, src.file(name)))
        return {};
    return read_file(src.file(name));
}

TEST(MirrorTrust, NothingChangesTheContentOfARewrittenClipsSource)
{
    KOV_REQUIRE_FUSE();
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg is not installed";
    TempDir src;
    const auto original = aac_clip(src, "clip.m4a");
    ASSERT_FALSE(original.empty());
    ProgramMount mnt({"--writable", src.path()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();
    const std::string clip = mnt.file("clip.m4a");
    struct stat shown {};
    ASSERT_EQ(::stat(clip.c_str(), &shown), 0);
    ASSERT_NE(static_cast<std::size_t>(shown.st_size), original.size()) << "the clip is not shown rewritten";

    const struct {
        const char* what;
        std::function<int()> attempt;
        int error;
    } hazards[] = {
        {"truncate to 0", [&] { return ::truncate(clip.c_str(), 0); }, EACCES},
        {"truncate to the shown size", [&] { return ::truncate(clip.c_str(), shown.st_size); }, EACCES},
        {"truncate to the source size", [&] { return ::truncate(clip.c_str(), static_cast<off_t>(original.size())); },
         EACCES},
        {"open for writing", [&] { return ::open(clip.c_str(), O_WRONLY); }, EACCES},
        {"open with O_TRUNC", [&] { return ::open(clip.c_str(), O_RDONLY | O_TRUNC); }, EACCES},
    };
    for (const auto& h : hazards) {
        errno = 0;
        const int rc = h.attempt();
        EXPECT_EQ(rc, -1) << h.what;
        EXPECT_EQ(errno, h.error) << h.what;
        if (rc >= 0 && rc != 0)
            ::close(rc);
    }
    EXPECT_EQ(read_file(src.file("clip.m4a")), original);

    // Changes of metadata are not changes of content: they go through, and
    // the clip is still shown with its rewritten size afterwards.
    EXPECT_EQ(::chmod(clip.c_str(), 0640), 0) << std::strerror(errno);
    struct stat after {};
    ASSERT_EQ(::stat(clip.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_size, shown.st_size);
    EXPECT_EQ(read_file(src.file("clip.m4a")), original);
}

// One rule for what the mirror does not make: EROFS on a read-only mount,
// EPERM on a writable one. Owner changes go to the source when it allows them.
TEST(MirrorTrust, UnsupportedOperationsAnswerOneErrnoEach)
{
    KOV_REQUIRE_FUSE();
    for (const bool writable : {false, true}) {
        SCOPED_TRACE(writable ? "writable" : "read-only");
        TempDir src;
        write_text(src.file("file.txt"), "text");
        std::vector<std::string> args{src.path()};
        if (writable)
            args.insert(args.begin(), "--writable");
        ProgramMount mnt(args);
        ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();
        const int refused = writable ? EPERM : EROFS;
        const struct {
            const char* what;
            std::function<int()> attempt;
        } attempts[] = {
            {"link", [&] { return ::link(mnt.file("file.txt").c_str(), mnt.file("hard").c_str()); }},
            {"symlink", [&] { return ::symlink("file.txt", mnt.file("soft").c_str()); }},
            {"mknod fifo", [&] { return ::mkfifo(mnt.file("fifo").c_str(), 0644); }},
            {"mknod char", [&] { return ::mknod(mnt.file("null").c_str(), S_IFCHR | 0644, makedev(1, 3)); }},
        };
        for (const auto& a : attempts) {
            errno = 0;
            EXPECT_EQ(a.attempt(), -1) << a.what;
            EXPECT_EQ(errno, refused) << a.what;
        }
        for (const char* name : {"hard", "soft", "fifo", "null"})
            EXPECT_FALSE(exists(src.file(name))) << name;

        errno = 0;
        const int chowned = ::chown(mnt.file("file.txt").c_str(), other_uid, other_uid);
        struct stat st {};
        ASSERT_EQ(::stat(src.file("file.txt").c_str(), &st), 0);
        if (!writable) {
            EXPECT_EQ(chowned, -1);
            EXPECT_EQ(errno, EROFS);
            EXPECT_EQ(st.st_uid, ::getuid());
        } else if (::geteuid() == 0) {
            EXPECT_EQ(chowned, 0) << std::strerror(errno);
            EXPECT_EQ(st.st_uid, other_uid);
            EXPECT_EQ(st.st_gid, other_uid);
        } else {
            EXPECT_EQ(chowned, -1);
            EXPECT_EQ(errno, EPERM);
        }
    }
}

TEST(MirrorTrust, OtherUsersGetOnlyWhatTheSourceModesAllow)
{
    KOV_REQUIRE_FUSE();
    if (!can_switch_user())
        GTEST_SKIP() << "needs root and setpriv to act as a second user";
    TempDir src;
    TempDir holder; // the mount point's parent must be open to the other user
    ASSERT_EQ(::chmod(holder.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(src.path().c_str(), 0755), 0);
    const std::string mnt = holder.file("mnt");
    ASSERT_EQ(::mkdir(mnt.c_str(), 0755), 0);
    write_text(src.file("private.txt"), "secret");
    write_text(src.file("public.txt"), "open");
    ASSERT_EQ(::chmod(src.file("private.txt").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(src.file("public.txt").c_str(), 0644), 0);
    ASSERT_EQ(::mkdir(src.file("drop").c_str(), 0777), 0);
    ASSERT_EQ(::chmod(src.file("drop").c_str(), 0777), 0);

    ServiceProcess svc({"--writable", "-o", "allow_other", src.path(), mnt}, mnt);
    ASSERT_TRUE(svc.wait_for_mount()) << svc.err();
    const std::string priv = mnt + "/private.txt";
    const struct {
        const char* what;
        std::vector<std::string> argv;
        bool allowed;
    } cases[] = {
        {"read a 0644 file", {"cat", mnt + "/public.txt"}, true},
        {"read a 0600 file", {"cat", priv}, false},
        {"append to it", {"sh", "-c", "echo x >> " + priv}, false},
        {"truncate it", {"truncate", "-s", "0", priv}, false},
        {"chmod it", {"chmod", "0666", priv}, false},
        {"delete it", {"rm", "-f", priv}, false},
        {"create in a 0777 folder", {"sh", "-c", "echo new > " + mnt + "/drop/made.txt"}, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run_as_other(c.argv) == 0, c.allowed) << c.what;

    EXPECT_EQ(read_text(src.file("private.txt")), "secret");
    struct stat st {};
    ASSERT_EQ(::stat(src.file("private.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // Files made through the mount belong to the service's user.
    ASSERT_EQ(::stat(src.file("drop/made.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::getuid());
    EXPECT_EQ(svc.unmount_and_wait(), 0);
}

// A small tmpfs of its own, detached at destruction. tmpfs numbers its root
// like a camera card's root and its files from 2 upwards, so two of them and
// the mount root collide unless the mount numbers them itself.
class Tmpfs {
public:
    explicit Tmpfs(const std::string& path) : path_(path)
    {
        ::mkdir(path.c_str(), 0755);
        ok_ = ::mount("kovtest", path.c_str(), "tmpfs", 0, "size=4m") == 0;
    }
    ~Tmpfs()
    {
        if (ok_)
            ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool ok() const { return ok_; }

private:
    std::string path_;
    bool ok_ = false;
};

std::map<std::string, struct stat> walk(const std::string& root)
{
    static std::map<std::string, struct stat>* seen = nullptr;
    std::map<std::string, struct stat> all;
    seen = &all;
    ::nftw(
        root.c_str(),
        [](const char* path, const struct stat* st, int, FTW*) {
            (*seen)[path] = *st;
            return 0;
        },
        16, FTW_PHYS);
    return all;
}

TEST(MirrorTrust, InodeNumbersAreUniqueAcrossSharesOnDifferentFileSystems)
{
    KOV_REQUIRE_FUSE();
    TempDir base;
    Tmpfs one(base.file("one")), two(base.file("two"));
    if (!one.ok() || !two.ok())
        GTEST_SKIP() << "cannot mount tmpfs here (needs root)";
    for (const std::string& share : {base.file("one"), base.file("two")}) {
        write_text(share + "/a.txt", "a of " + share);
        write_text(share + "/b.txt", "b of " + share);
        ::mkdir((share + "/sub").c_str(), 0755);
        write_text(share + "/sub/c.txt", "c of " + share);
    }
    ASSERT_EQ(::link(base.file("one/a.txt").c_str(), base.file("one/hard.txt").c_str()), 0);
    ProgramMount mnt({"--share", "one=" + base.file("one"), "--share", "two=" + base.file("two")});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();

    const auto all = walk(mnt.path());
    ASSERT_EQ(all.size(), 1u + 2 * 5 + 1);
    std::map<ino_t, std::set<std::string>> by_number;
    for (const auto& [path, st] : all)
        by_number[st.st_ino].insert(path);
    EXPECT_EQ(by_number[1], (std::set<std::string>{mnt.path()}));
    for (const auto& [number, paths] : by_number) {
        if (paths.count(mnt.file("one/a.txt")))
            EXPECT_EQ(paths, (std::set<std::string>{mnt.file("one/a.txt"), mnt.file("one/hard.txt")}));
        else
            EXPECT_EQ(paths.size(), 1u) << "number " << number << " is shared by " << *paths.begin() << " and "
                                        << *paths.rbegin();
    }

    // Tools that walk or copy the tree by (device, inode) see it whole.
    const auto found = run_command({"find", mnt.path()});
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_EQ(found.err, "");
    const auto copied = run_command({"cp", "-a", mnt.path(), base.file("copy")});
    ASSERT_EQ(copied.status, 0) << copied.err;
    for (const char* share : {"one", "two"}) {
        const auto diff = run_command({"diff", "-r", base.file(share), base.file(std::string("copy/") + share)});
        EXPECT_EQ(diff.status, 0) << diff.out << diff.err;
    }
    struct stat a {}, hard{};
    ASSERT_EQ(::stat(base.file("copy/one/a.txt").c_str(), &a), 0);
    ASSERT_EQ(::stat(base.file("copy/one/hard.txt").c_str(), &hard), 0);
    EXPECT_EQ(a.st_ino, hard.st_ino) << "the hard link was not kept";
    mnt.expect_clean_stop();
}

} // namespace
} // namespace kov::test
