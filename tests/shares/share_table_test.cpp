#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "shares/share_table.hpp"
#include "support/test_env.hpp"

using kov::ActiveShare;
using kov::Share;
using kov::ShareTable;
using kov::test::TempDir;
using kov::test::write_text;

namespace {

std::vector<std::string> names_of(const std::vector<ActiveShare>& active)
{
    std::vector<std::string> names;
    for (const auto& a : active)
        names.push_back(a.name);
    return names;
}

std::size_t install(ShareTable& table, const std::vector<Share>& shares)
{
    std::lock_guard lock(table.mutex());
    return table.install(shares);
}

} // namespace

TEST(ShareTable, InstallKeepsOnlyValidSharesInOrder)
{
    TempDir dir;
    const std::string a = dir.file("a"), b = dir.file("b"), file = dir.file("plain");
    ASSERT_EQ(::mkdir(a.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(b.c_str(), 0755), 0);
    ASSERT_TRUE(write_text(file, "x"));
    ASSERT_EQ(::symlink(a.c_str(), dir.file("link").c_str()), 0);

    ShareTable table;
    const std::vector<Share> shares = {
        {true, "zeta", b},
        {false, "disabled", a},
        {true, "", a},
        {true, ".", a},
        {true, "..", a},
        {true, "a/b", a},
        {true, std::string("nul\0x", 5), a},
        {true, "missing", dir.file("nope")},
        {true, "file", file},
        {true, "nulpath", a + std::string("\0/nope", 6)},
        {true, ".hidden", a},
        {true, "viaLink", dir.file("link")}, // a link could be swapped for another later
        {true, "alpha", a},
    };
    std::vector<std::string> problems;
    {
        std::lock_guard lock(table.mutex());
        EXPECT_EQ(table.install(shares, &problems), 3u);
    }
    const auto active = table.snapshot();
    EXPECT_EQ(names_of(active), (std::vector<std::string>{"zeta", ".hidden", "alpha"}));
    // Every enabled share left out is reported with its name; disabled ones are not.
    EXPECT_EQ(problems.size(), shares.size() - 4);
    for (const char* name : {"''", "'.'", "'..'", "'a/b'", "'missing'", "'file'", "'nulpath'", "'viaLink'"}) {
        bool found = false;
        for (const auto& p : problems)
            found = found || p.rfind(std::string("share ") + name, 0) == 0;
        EXPECT_TRUE(found) << name;
    }

    struct stat st {};
    ASSERT_EQ(::stat(b.c_str(), &st), 0);
    EXPECT_EQ(active[0].path, b);
    EXPECT_EQ(active[0].device, static_cast<std::uint64_t>(st.st_dev));
    EXPECT_EQ(active[0].inode, static_cast<std::uint64_t>(st.st_ino));
    ASSERT_EQ(::stat(a.c_str(), &st), 0);
    EXPECT_EQ(active[2].inode, static_cast<std::uint64_t>(st.st_ino));
    ASSERT_TRUE(active[2].folder && *active[2].folder);
}

TEST(ShareTable, FirstValidEntryOfANameWins)
{
    TempDir dir;
    const std::string a = dir.file("a"), b = dir.file("b");
    ASSERT_EQ(::mkdir(a.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(b.c_str(), 0755), 0);
    ShareTable table;
    // A failing earlier entry does not block the later one; a valid one does.
    EXPECT_EQ(install(table, {{true, "n", dir.file("gone")}, {true, "n", a}, {true, "n", b}, {false, "m", a}, {true, "m", b}}),
              2u);
    const auto n = table.find("n");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->path, a);
    EXPECT_EQ(table.find("m")->path, b);
}

TEST(ShareTable, FindComparesWholeNamesExactly)
{
    TempDir dir;
    ShareTable table;
    EXPECT_EQ(install(table, {{true, "Clips", dir.path()}}), 1u);
    EXPECT_TRUE(table.find("Clips"));
    EXPECT_FALSE(table.find("clips"));
    EXPECT_FALSE(table.find("Clip"));
    EXPECT_FALSE(table.find("Clips2"));
    EXPECT_FALSE(table.find(""));
    // A copy: reinstalling does not change what a caller already holds.
    const auto held = table.find("Clips");
    EXPECT_EQ(install(table, {}), 0u);
    EXPECT_FALSE(table.find("Clips"));
    EXPECT_EQ(held->path, dir.path());
}

TEST(ShareTable, ReloadReadsTheListFileEachTime)
{
    TempDir dir;
    const std::string src = dir.file("src"), conf = dir.file("shares.conf");
    ASSERT_EQ(::mkdir(src.c_str(), 0755), 0);
    ShareTable table;
    table.set_list_path(conf);
    EXPECT_EQ(table.reload_shares(), 0u); // no file yet

    ASSERT_TRUE(write_text(conf, "1\tone\t" + src + "\n1\ttwo\t" + src + "\n0\tthree\t" + src + "\n"));
    EXPECT_EQ(table.reload_shares(), 2u);
    EXPECT_EQ(names_of(table.snapshot()), (std::vector<std::string>{"one", "two"}));

    ASSERT_EQ(::unlink(conf.c_str()), 0);
    EXPECT_EQ(table.reload_shares(), 0u); // a deleted file empties the table
    EXPECT_TRUE(table.snapshot().empty());

    // A share whose folder vanished stays until the next reload.
    ASSERT_TRUE(write_text(conf, "1\tone\t" + src + "\n"));
    EXPECT_EQ(table.reload_shares(), 1u);
    ASSERT_EQ(::rmdir(src.c_str()), 0);
    EXPECT_TRUE(table.find("one"));
    EXPECT_EQ(table.reload_shares(), 0u);
}

TEST(ShareTable, ConcurrentLookupsDuringReloadsSeeWholeTables)
{
    TempDir dir;
    const std::string conf = dir.file("shares.conf");
    std::string text;
    for (int i = 0; i < 20; ++i)
        text += "1\ts" + std::to_string(i) + "\t" + dir.path() + "\n";
    ASSERT_TRUE(write_text(conf, text));
    ShareTable table;
    table.set_list_path(conf);

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            const auto snap = table.snapshot();
            if (!snap.empty() && snap.size() != 20)
                ++torn;
            if (auto s = table.find("s7"); s && s->path != dir.path())
                ++torn;
        }
    });
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(table.reload_shares(), 20u);
        std::lock_guard lock(table.mutex());
        table.install({});
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}
