#include <gtest/gtest.h>

#include "resolve/safe_rewrite.hpp"
#include "resolve_home.hpp"

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>

using kov::Lines;
using namespace kov::test;

TEST(ReadLines, SplitsOnLineFeedAndDropsEveryCarriageReturn)
{
    struct Case {
        std::string bytes;
        Lines lines;
    };
    const Case cases[] = {
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},                 // no final line feed
        {"a\n\nb\n\n", {"a", "", "b", ""}},   // empty lines, also the last one
        {"a\rb\r\n\r", {"ab"}},               // CR dropped wherever it stands
        {"\n", {""}},
        {"", {}},
        {std::string("x\0y\n", 4), {std::string("x\0y", 3)}}, // bytes, not text
    };
    TempDir dir;
    for (const auto& c : cases) {
        ASSERT_TRUE(write_text(dir.file("f"), c.bytes));
        EXPECT_EQ(kov::read_lines(dir.file("f")), c.lines) << "input: " << c.bytes;
    }
    EXPECT_TRUE(kov::read_lines(dir.file("missing")).empty());
}

TEST(WriteLinesSafely, ReplacesFileKeepsBackupOfPreviousBytesAndMode)
{
    TempDir dir;
    const std::string path = dir.file("config.dat");
    const std::string before = "old = 1\r\nkept\r\n\r\nlast";
    ASSERT_TRUE(write_text(path, before));
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);

    ASSERT_TRUE(kov::write_lines_safely(path, kov::read_lines(path)));
    EXPECT_EQ(read_text(path), "old = 1\nkept\n\nlast\n");
    EXPECT_EQ(read_text(path + ".kovbak"), before);
    EXPECT_FALSE(exists(path + ".kovtmp"));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // A second rewrite replaces the backup with the bytes just before it.
    ASSERT_TRUE(kov::write_lines_safely(path, {"new"}));
    EXPECT_EQ(read_text(path), "new\n");
    EXPECT_EQ(read_text(path + ".kovbak"), "old = 1\nkept\n\nlast\n");
}

TEST(WriteLinesSafely, UncreatableTemporaryFileLeavesOriginalUntouched)
{
    TempDir dir;
    const std::string path = dir.file(".config.data");
    ASSERT_TRUE(write_text(path, "IoFsNum = 0\r\n"));
    // Running as root, modes do not stop a write; a folder in the way does.
    ASSERT_EQ(::mkdir((path + ".kovtmp").c_str(), 0755), 0);
    EXPECT_FALSE(kov::write_lines_safely(path, {"IoFsNum = 1"}));
    EXPECT_EQ(read_text(path), "IoFsNum = 0\r\n");
}

TEST(WriteLinesSafely, PlantedSymlinkAtTemporaryNameIsNotFollowed)
{
    TempDir dir;
    const std::string path = dir.file("config.dat");
    ASSERT_TRUE(write_text(path, "a\n"));
    ASSERT_TRUE(write_text(dir.file("elsewhere"), "precious\n"));
    ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), (path + ".kovtmp").c_str()), 0);
    EXPECT_FALSE(kov::write_lines_safely(path, {"b"}));
    EXPECT_EQ(read_text(path), "a\n");
    EXPECT_EQ(read_text(dir.file("elsewhere")), "precious\n");
}

// A full disk shows up as a short or failed write; the half-written
// temporary file must never be renamed over the configuration. Runs in a
// child whose file size limit makes the write fail part-way.
[[noreturn]] static void rewrite_past_size_limit(const std::string& path)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 4096;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool written = kov::write_lines_safely(path, Lines(1000, std::string(60, 'x')));
    std::exit(written ? 3 : 0);
}

TEST(WriteLinesSafely, FailedWriteIsNotRenamedOverTheOriginal)
{
    TempDir dir;
    const std::string path = dir.file("config.dat");
    const std::string before(100, 'k');
    ASSERT_TRUE(write_text(path, before));
    EXPECT_EXIT(rewrite_past_size_limit(path), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(read_text(path), before);
    EXPECT_FALSE(exists(path + ".kovtmp"));
}

TEST(ReplaceKeyBlock, SplicesBlockAndKeepsStrayLinesAfterIt)
{
    const std::regex key("^K");
    const Lines block{"K1", "K2"};
    struct Case {
        Lines in, out;
    };
    const Case cases[] = {
        {{"a", "Kx", "Ky", "b"}, {"a", "K1", "K2", "b"}},
        {{"a", "Kx", "", "mid", "Ky", "b"}, {"a", "K1", "K2", "", "mid", "b"}}, // nothing inside is lost
        {{"a", "b"}, {"a", "b", "K1", "K2"}},                                   // no key: appended
        {{}, {"K1", "K2"}},
        {{"xK", "Kz"}, {"xK", "K1", "K2"}}, // the anchor holds only at the line start
    };
    for (const auto& c : cases)
        EXPECT_EQ(kov::replace_key_block(c.in, key, block), c.out);
}

TEST(MatchKeyLine, LongValueDoesNotExhaustTheStack)
{
    const std::regex key(R"(^IoFsMount_(\d+)\s*=\s*)");
    const std::string value(4 << 20, 'v');
    std::smatch m;
    std::string got;
    const std::string line = "IoFsMount_12 =  " + value + " \t";
    ASSERT_TRUE(kov::match_key_line(line, key, m, got));
    EXPECT_EQ(m[1].str(), "12");
    EXPECT_EQ(got, value);
    const std::string other = "IoFsMountX_1 = " + value;
    EXPECT_FALSE(kov::match_key_line(other, key, m, got));
}
