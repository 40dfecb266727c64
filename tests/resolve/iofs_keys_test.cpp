#include <gtest/gtest.h>

#include "resolve/iofs_keys.hpp"
#include "resolve_home.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

using kov::Lines;
using kov::RegisterMode;
using namespace kov::test;

namespace {

// True exactly when the file was rewritten; a failure fails the test.
bool edit_iofs(RegisterMode mode, const std::string& path)
{
    kov::FileError error;
    const auto outcome = kov::edit_iofs_keys(mode, path, error);
    EXPECT_NE(outcome, kov::EditOutcome::failed) << error.file << ": " << error.reason;
    return outcome == kov::EditOutcome::changed;
}

// Written the way a real file drifts: CR LF line ends, no final line feed,
// gaps and disorder in the numbering, trailing blanks, unrelated keys before,
// inside and after the block.
const std::string realistic =
    "ConfigVersion = 3\r\n"
    "UiLanguage = en_US  \r\n"
    "\r\n"
    "IoFsNum = 2\r\n"
    "IoFsMount_5 = /mnt/media   \r\n"
    "IoFsDirectIO_2 = 1\r\n"
    "IoFsMappedMount_2 = /srv/mapped\r\n"
    "IoFsMount_2 = /home/u/Videos\r\n"
    "WindowGeometry = 1,2,3\r\n"
    "IoFsMappedMount_5 = \r\n"
    "IoFsDirectIO_9 = 1\r\n"
    "GpuMode = Auto";

} // namespace

TEST(IoFsKeys, AddRenumbersAndKeepsEverythingOutsideTheBlock)
{
    ResolveHome home;
    ASSERT_TRUE(write_text(home.iofs(), realistic));
    ASSERT_TRUE(edit_iofs(RegisterMode::add, "/home/u/Orvane"));
    EXPECT_EQ(read_text(home.iofs()),
              "ConfigVersion = 3\n"
              "UiLanguage = en_US  \n"
              "\n"
              "IoFsNum = 3\n"
              "IoFsMount_1 = /home/u/Videos\n"
              "IoFsMappedMount_1 = /srv/mapped\n"
              "IoFsDirectIO_1 = 1\n"
              "IoFsMount_2 = /mnt/media\n"
              "IoFsMappedMount_2 = \n"
              "IoFsDirectIO_2 = 0\n"
              "IoFsMount_3 = /home/u/Orvane\n"
              "IoFsMappedMount_3 = \n"
              "IoFsDirectIO_3 = 0\n"
              "WindowGeometry = 1,2,3\n" // stood inside the block: kept right after it
              "GpuMode = Auto\n");
    EXPECT_EQ(read_text(home.iofs() + ".kovbak"), realistic);
}

TEST(IoFsKeys, PresentOrAbsentPathWritesNothing)
{
    ResolveHome home;
    ASSERT_TRUE(write_text(home.iofs(), realistic));
    // "/mnt/media   " in the file counts as /mnt/media once trimmed.
    EXPECT_FALSE(edit_iofs(RegisterMode::add, "/mnt/media"));
    EXPECT_FALSE(edit_iofs(RegisterMode::remove, "/mnt/elsewhere"));
    EXPECT_FALSE(edit_iofs(RegisterMode::remove, "/mnt/media/")); // trailing "/" is another entry
    EXPECT_EQ(read_text(home.iofs()), realistic);
    EXPECT_FALSE(exists(home.iofs() + ".kovbak"));
}

TEST(IoFsKeys, RemoveDropsEveryCopyAndKeepsOrder)
{
    const Lines in{"IoFsNum = 4",      "IoFsMount_2 = /a",       "IoFsMount_5 = /b",   "IoFsDirectIO_5 = 1",
                   "IoFsMount_9 = /a", "IoFsMappedMount_9 = /m", "IoFsMount_11 = /c"};
    const auto out = kov::edit_iofs_lines(in, RegisterMode::remove, "/a");
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, (Lines{"IoFsNum = 2", "IoFsMount_1 = /b", "IoFsMappedMount_1 = ", "IoFsDirectIO_1 = 1",
                           "IoFsMount_2 = /c", "IoFsMappedMount_2 = ", "IoFsDirectIO_2 = 0"}));

    const auto emptied = kov::edit_iofs_lines({"x = 1", "IoFsNum = 1", "IoFsMount_1 = /a", "y = 2"},
                                              RegisterMode::remove, "/a");
    ASSERT_TRUE(emptied);
    EXPECT_EQ(*emptied, (Lines{"x = 1", "IoFsNum = 0", "y = 2"}));
}

TEST(IoFsKeys, DuplicateNumberLaterLineWinsAndHugeNumberSortsFirst)
{
    const Lines in{"IoFsMount_1 = /old", "IoFsMount_1 = /new", "IoFsMount_99999999999 = /huge"};
    const auto out = kov::edit_iofs_lines(in, RegisterMode::add, "/z");
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, (Lines{"IoFsNum = 3", "IoFsMount_1 = /huge", "IoFsMappedMount_1 = ", "IoFsDirectIO_1 = 0",
                           "IoFsMount_2 = /new", "IoFsMappedMount_2 = ", "IoFsDirectIO_2 = 0", "IoFsMount_3 = /z",
                           "IoFsMappedMount_3 = ", "IoFsDirectIO_3 = 0"}));
}

TEST(IoFsKeys, FileWithoutKeysGetsBlockAppended)
{
    ResolveHome home;
    ASSERT_TRUE(write_text(home.iofs(), "A = 1\n\n"));
    ASSERT_TRUE(edit_iofs(RegisterMode::add, "/a"));
    EXPECT_EQ(read_text(home.iofs()), "A = 1\n\nIoFsNum = 1\nIoFsMount_1 = /a\nIoFsMappedMount_1 = \nIoFsDirectIO_1 = 0\n");
}

// An existing file that cannot be read must not be replaced by the new block
// alone. Root reads everything, so the edit runs as an unprivileged user in
// a folder that user may write to.
[[noreturn]] static void edit_as_nobody(RegisterMode mode)
{
    if (::setgid(65534) != 0 || ::setuid(65534) != 0)
        std::exit(5);
    kov::FileError error;
    std::exit(kov::edit_iofs_keys(mode, "/a", error) == kov::EditOutcome::failed ? 0 : 3);
}

TEST(IoFsKeys, UnreadableFileIsLeftAlone)
{
    ResolveHome home;
    ASSERT_TRUE(write_text(home.iofs(), "Secret = 1\nIoFsNum = 0\n"));
    ASSERT_EQ(::chmod(home.iofs().c_str(), 0), 0);
    ASSERT_EQ(::chmod(home.home().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(home.dir().c_str(), 0777), 0);
    for (const auto mode : {RegisterMode::add, RegisterMode::remove})
        EXPECT_EXIT(edit_as_nobody(mode), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(read_text(home.iofs()), "Secret = 1\nIoFsNum = 0\n");
}
