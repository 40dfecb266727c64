// The write side: refused on a read-only mount, carried out on the source
// with --writable.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "support/mount_harness.hpp"

namespace kov::test {
namespace {

TEST(MirrorWrite, ReadOnlyByDefault)
{
    KOV_REQUIRE_FUSE();
    TempDir src;
    write_text(src.file("keep.txt"), "original");
    ::mkdir(src.file("dir").c_str(), 0755);
    ProgramMount mnt({src.path()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();

    errno = 0;
    EXPECT_EQ(::open(mnt.file("keep.txt").c_str(), O_WRONLY), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(::open(mnt.file("new.txt").c_str(), O_WRONLY | O_CREAT, 0644), -1);
    EXPECT_EQ(::mkdir(mnt.file("newdir").c_str(), 0755), -1);
    EXPECT_EQ(::unlink(mnt.file("keep.txt").c_str()), -1);
    EXPECT_EQ(::rmdir(mnt.file("dir").c_str()), -1);
    EXPECT_EQ(::truncate(mnt.file("keep.txt").c_str(), 0), -1);
    EXPECT_EQ(::rename(mnt.file("keep.txt").c_str(), mnt.file("moved.txt").c_str()), -1);
    EXPECT_EQ(::access(mnt.file("keep.txt").c_str(), W_OK), -1);
    EXPECT_EQ(::access(mnt.file("keep.txt").c_str(), R_OK), 0);

    EXPECT_EQ(read_text(src.file("keep.txt")), "original");
    struct stat st {};
    EXPECT_NE(::stat(src.file("new.txt").c_str(), &st), 0);
    EXPECT_NE(::stat(src.file("newdir").c_str(), &st), 0);
    EXPECT_EQ(::stat(src.file("dir").c_str(), &st), 0);
}

TEST(MirrorWrite, ServiceRefusesWritesThatReachItWithoutWritable)
{
    KOV_REQUIRE_FUSE();
    TempDir src;
    write_text(src.file("keep.txt"), "original");
    ::mkdir(src.file("dir").c_str(), 0755);
    InProcessMount mnt(src.path(), {.rw_kernel_mount = true});
    ASSERT_TRUE(mnt.ok());
    const auto expect_errno = [](int rc, int err, const char* what) {
        EXPECT_EQ(rc, -1) << what;
        EXPECT_EQ(errno, err) << what;
    };
    expect_errno(::open(mnt.file("keep.txt").c_str(), O_RDWR), EROFS, "open for writing");
    expect_errno(::open(mnt.file("new.txt").c_str(), O_WRONLY | O_CREAT, 0644), EROFS, "create");
    expect_errno(::mkdir(mnt.file("newdir").c_str(), 0755), EROFS, "mkdir");
    expect_errno(::unlink(mnt.file("keep.txt").c_str()), EROFS, "unlink");
    expect_errno(::rmdir(mnt.file("dir").c_str()), EROFS, "rmdir");
    expect_errno(::truncate(mnt.file("keep.txt").c_str(), 0), EROFS, "setattr");
    expect_errno(::rename(mnt.file("keep.txt").c_str(), mnt.file("moved.txt").c_str()), EACCES, "rename");
    expect_errno(::access(mnt.file("keep.txt").c_str(), W_OK), EACCES, "access W_OK");
    EXPECT_EQ(read_text(src.file("keep.txt")), "original");
    EXPECT_EQ(read_text(mnt.file("keep.txt")), "original");
}

TEST(MirrorWrite, WritableMountChangesTheSource)
{
    KOV_REQUIRE_FUSE();
    TempDir src;
    write_text(src.file("old.txt"), "0123456789");
    ProgramMount mnt({"--writable", src.path()});
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();

    // create + write + fsync
    const int fd = ::open(mnt.file("made.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0640);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(::write(fd, "hello world", 11), 11);
    EXPECT_EQ(::fsync(fd), 0);
    EXPECT_EQ(::fdatasync(fd), 0);
    ASSERT_EQ(::ftruncate(fd, 5), 0); // setattr through the open handle
    ::close(fd);
    EXPECT_EQ(read_text(src.file("made.txt")), "hello");
    struct stat st {};
    ASSERT_EQ(::stat(src.file("made.txt").c_str(), &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0640u & ~mask);

    // pwrite into an existing file, truncate by name, chmod, utimes
    const int rw = ::open(mnt.file("old.txt").c_str(), O_RDWR);
    ASSERT_GE(rw, 0);
    ASSERT_EQ(::pwrite(rw, "AB", 2, 3), 2);
    ::close(rw);
    EXPECT_EQ(read_text(src.file("old.txt")), "012AB56789");
    ASSERT_EQ(::truncate(mnt.file("old.txt").c_str(), 4), 0);
    EXPECT_EQ(read_text(src.file("old.txt")), "012A");
    ASSERT_EQ(::chmod(mnt.file("old.txt").c_str(), 0600), 0);
    const timespec times[2] = {{1000000000, 5}, {1200000000, 7}};
    ASSERT_EQ(::utimensat(AT_FDCWD, mnt.file("old.txt").c_str(), times, 0), 0);
    ASSERT_EQ(::stat(src.file("old.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);

    // mkdir, rename between folders, unlink, rmdir
    ASSERT_EQ(::mkdir(mnt.file("sub").c_str(), 0755), 0);
    ASSERT_TRUE(S_ISDIR((::stat(src.file("sub").c_str(), &st), st.st_mode)));
    ASSERT_EQ(::rename(mnt.file("made.txt").c_str(), mnt.file("sub/moved.txt").c_str()), 0);
    EXPECT_EQ(read_text(src.file("sub/moved.txt")), "hello");
    EXPECT_EQ(read_text(mnt.file("sub/moved.txt")), "hello");
    // Exchange and no-replace renames are not supported.
    errno = 0;
    EXPECT_EQ(::syscall(SYS_renameat2, AT_FDCWD, mnt.file("old.txt").c_str(), AT_FDCWD,
                        mnt.file("sub/moved.txt").c_str(), RENAME_EXCHANGE),
              -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(::rmdir(mnt.file("sub").c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    ASSERT_EQ(::unlink(mnt.file("sub/moved.txt").c_str()), 0);
    ASSERT_EQ(::rmdir(mnt.file("sub").c_str()), 0);
    EXPECT_NE(::stat(src.file("sub").c_str(), &st), 0);
    EXPECT_EQ(::access(mnt.file("old.txt").c_str(), W_OK), 0);
    mnt.expect_clean_stop();
}

} // namespace
} // namespace kov::test
