// A tree with many more files than the service may hold descriptors: every
// name is listed and every file opens, also after every folder of the source
// was renamed, and nothing fails; a folder of more rewritten clips than that
// is listed with sizes and every clip reads as written by --emit.

#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/mount_harness.hpp"

namespace kov::test {
namespace {

constexpr int folders = 12;
constexpr int files_per_folder = 100;
constexpr rlim_t low_limit = 64; // descriptors of the service, soft and hard

std::multiset<std::string> lines_of(const std::string& text)
{
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.insert(line);
    return lines;
}

// "d3/f17" for every file, with `suffix` after each folder name.
std::multiset<std::string> tree_names(const std::string& suffix)
{
    std::multiset<std::string> names;
    for (int d = 0; d < folders; ++d)
        for (int f = 0; f < files_per_folder; ++f)
            names.insert("d" + std::to_string(d) + suffix + "/f" + std::to_string(f));
    return names;
}

struct Walk {
    const char* what;
    std::string command; // MNT stands for the mount point
    // What the output must be: the tree's names ("d3/f17") as it is now, or
    // as they were made (the files' contents).
    bool names_as_made;
};

const Walk walks[] = {
    // Names only: mostly plain listings.
    {"find", "cd MNT && find . -type f -printf '%P\\n'", false},
    // Every file looked up and stat'ed: listings with attributes.
    {"find with sizes", "cd MNT && find . -type f -size -2k -printf '%P\\n'", false},
    // Every file opened and read.
    {"cat of every file", "cd MNT && find . -type f -exec cat {} +", true},
};

TEST(MirrorListing, EveryFileIsListedAndReadWithFewDescriptors)
{
    KOV_REQUIRE_FUSE();
    TempDir src;
    for (int d = 0; d < folders; ++d) {
        const std::string folder = "d" + std::to_string(d);
        ASSERT_EQ(::mkdir(src.file(folder).c_str(), 0755), 0);
        for (int f = 0; f < files_per_folder; ++f) {
            const std::string name = folder + "/f" + std::to_string(f);
            ASSERT_TRUE(write_text(src.file(name), name + "\n"));
        }
    }
    ProgramMount mnt({src.path()}, {}, low_limit, low_limit);
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();

    for (const bool renamed : {false, true}) {
        if (renamed) {
            for (int d = 0; d < folders; ++d) {
                const std::string folder = src.file("d" + std::to_string(d));
                ASSERT_EQ(::rename(folder.c_str(), (folder + "-renamed").c_str()), 0);
            }
            // The kernel keeps names for a second before it asks again.
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        }
        for (const Walk& walk : walks) {
            SCOPED_TRACE(std::string(walk.what) + (renamed ? ", after renaming every folder" : ""));
            std::string command = walk.command;
            command.replace(command.find("MNT"), 3, mnt.path());
            const auto result = run_command({"sh", "-c", command});
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.err, "");
            const auto expected = tree_names(walk.names_as_made || !renamed ? "" : "-renamed");
            EXPECT_EQ(lines_of(result.out), expected);
        }
    }
    mnt.expect_clean_stop();
}

// A rewritten clip the kernel remembers holds no descriptor: were each to
// keep one, the listing would run the service out of them and the clips
// would read wrong.
TEST(MirrorListing, MoreRewrittenClipsThanDescriptorsListAndRead)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg is not installed";
    KOV_REQUIRE_FUSE();
    TempDir work, src;
    ASSERT_TRUE(ffmpeg_make({"-f", "lavfi", "-i", "sine=d=1", "-c:a", "aac"}, work.file("clip.m4a")));
    ASSERT_EQ(run_command({program_path(), "--emit", work.file("clip.m4a"), work.file("emitted.mov")}).status, 0);
    constexpr int clips = 2 * low_limit;
    const auto bytes = read_file(work.file("clip.m4a"));
    for (int i = 0; i < clips; ++i)
        ASSERT_TRUE(write_file(src.file("c" + std::to_string(i) + ".m4a"), bytes));
    ProgramMount mnt({src.path()}, {}, low_limit, low_limit);
    ASSERT_TRUE(mnt.ok()) << mnt.stderr_text();

    const auto listed = run_command({"sh", "-c", "ls -l " + mnt.path() + " | grep -c '[.]m4a$'"});
    EXPECT_EQ(listed.out, std::to_string(clips) + "\n");
    const auto read = run_command(
        {"sh", "-c",
         "for f in " + mnt.path() + "/*.m4a; do cmp \"$f\" " + work.file("emitted.mov") + " || exit 1; done"});
    EXPECT_EQ(read.status, 0) << read.out << read.err;
    mnt.expect_clean_stop();
}

} // namespace
} // namespace kov::test
