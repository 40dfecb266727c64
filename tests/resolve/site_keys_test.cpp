#include <gtest/gtest.h>

#include "resolve/site_keys.hpp"
#include "resolve_home.hpp"

using kov::Lines;
using kov::RegisterMode;
using namespace kov::test;

namespace {

// True exactly when the file was rewritten; a failure fails the test.
bool edit_site(RegisterMode mode, const std::string& path)
{
    kov::FileError error;
    const auto outcome = kov::edit_site_keys(mode, path, error);
    EXPECT_NE(outcome, kov::EditOutcome::failed) << error.file << ": " << error.reason;
    return outcome == kov::EditOutcome::changed;
}

const std::string realistic =
    "Site.1.Name = Local Database\r\n"
    "Site.1.FS.Count = 2\r\n"
    "Site.1.FS.3.Root = /home/u/Videos  \r\n"
    "Site.1.FS.3.Type = IOFileSys\r\n"
    "Site.1.FS.3.DIO = 0\r\n"
    "Site.1.FS.3.MappedRoot = \r\n"
    "Site.1.FS.3.Label = Footage\r\n"
    "\r\n"
    "Site.1.FS.7.Type = IOFileSys\r\n"
    "Site.1.FS.7.Root = /mnt/media\r\n"
    "Site.1.FS.7.MappedRoot = \r\n"
    "Site.1.FS.7.DIO = 1\r\n"
    "Site.1.FS.7.BrightClip = 0\r\n"
    "Site.2.FS.Count = 0\r\n"
    "Site.1.FS.Caching = on";

} // namespace

TEST(SiteKeys, AddRenumbersInFixedFieldOrderAndLosesNothing)
{
    ResolveHome home;
    ASSERT_TRUE(write_text(home.site(), realistic));
    ASSERT_TRUE(edit_site(RegisterMode::add, "/home/u/Orvane"));
    EXPECT_EQ(read_text(home.site()),
              "Site.1.Name = Local Database\n"
              "Site.1.FS.Count = 3\n"
              "Site.1.FS.1.Type = IOFileSys\n"
              "Site.1.FS.1.Root = /home/u/Videos\n"
              "Site.1.FS.1.MappedRoot = \n"
              "Site.1.FS.1.DIO = 0\n"
              "Site.1.FS.1.BrightClip = \n" // missing in the file: written empty
              "Site.1.FS.1.Label = Footage\n"
              "Site.1.FS.2.Type = IOFileSys\n"
              "Site.1.FS.2.Root = /mnt/media\n"
              "Site.1.FS.2.MappedRoot = \n"
              "Site.1.FS.2.DIO = 1\n"
              "Site.1.FS.2.BrightClip = 0\n"
              "Site.1.FS.3.Type = IOFileSys\n"
              "Site.1.FS.3.Root = /home/u/Orvane\n"
              "Site.1.FS.3.MappedRoot = \n"
              "Site.1.FS.3.DIO = 0\n"
              "Site.1.FS.3.BrightClip = 0\n"
              "\n" // stood inside the block: kept right after it
              "Site.2.FS.Count = 0\n"
              "Site.1.FS.Caching = on\n");
    EXPECT_EQ(read_text(home.site() + ".kovbak"), realistic);
}

TEST(SiteKeys, PresentOrAbsentRootWritesNothing)
{
    ResolveHome home;
    ASSERT_TRUE(write_text(home.site(), realistic));
    EXPECT_FALSE(edit_site(RegisterMode::add, "/home/u/Videos")); // trailing blanks trimmed
    EXPECT_FALSE(edit_site(RegisterMode::remove, "/nowhere"));
    EXPECT_EQ(read_text(home.site()), realistic);
    EXPECT_FALSE(exists(home.site() + ".kovbak"));
}

TEST(SiteKeys, RemoveKeepsEntriesWithoutRoot)
{
    const Lines in{"Site.1.FS.Count = 3", "Site.1.FS.3.Root = /a", "Site.1.FS.5.Type = IOFileSys",
                   "Site.1.FS.7.Root = /a", "Site.1.FS.7.Type = IOFileSys", "tail"};
    const auto out = kov::edit_site_lines(in, RegisterMode::remove, "/a");
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, (Lines{"Site.1.FS.Count = 1", "Site.1.FS.1.Type = IOFileSys", "Site.1.FS.1.Root = ",
                           "Site.1.FS.1.MappedRoot = ", "Site.1.FS.1.DIO = ", "Site.1.FS.1.BrightClip = ", "tail"}));

    const auto emptied = kov::edit_site_lines({"Site.1.FS.Count = 1", "Site.1.FS.1.Root = /a"}, RegisterMode::remove, "/a");
    ASSERT_TRUE(emptied);
    EXPECT_EQ(*emptied, (Lines{"Site.1.FS.Count = 0"}));
}

TEST(SiteKeys, EmptyFileGetsOnlyTheNewBlock)
{
    const auto out = kov::edit_site_lines({}, RegisterMode::add, "/a");
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, (Lines{"Site.1.FS.Count = 1", "Site.1.FS.1.Type = IOFileSys", "Site.1.FS.1.Root = /a",
                           "Site.1.FS.1.MappedRoot = ", "Site.1.FS.1.DIO = 0", "Site.1.FS.1.BrightClip = 0"}));
}
