#include <gtest/gtest.h>

#include "resolve/key_line.hpp"
#include "resolve/safe_rewrite.hpp"
#include "resolve_home.hpp"

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>

using kov::Lines;
using namespace kov::test;

namespace {

bool write_safely(const std::string& path, const Lines& lines)
{
    kov::FileError error;
    return kov::write_lines_safely(path, lines, error);
}

} // namespace

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

    ASSERT_TRUE(write_safely(path, kov::read_lines(path)));
    EXPECT_EQ(read_text(path), "old = 1\nkept\n\nlast\n");
    EXPECT_EQ(read_text(path + ".kovbak"), before);
    EXPECT_FALSE(exists(path + ".kovtmp"));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // A second rewrite replaces the backup with the bytes just before it.
    ASSERT_TRUE(write_safely(path, {"new"}));
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
    EXPECT_FALSE(write_safely(path, {"IoFsNum = 1"}));
    EXPECT_EQ(read_text(path), "IoFsNum = 0\r\n");
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
    const bool written = write_safely(path, Lines(1000, std::string(60, 'x')));
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
    const auto key = [](std::string_view line) { return line.substr(0, 1) == "K"; };
    const Lines block{"K1", "K2"};
    struct Case {
        Lines in, out;
    };
    const Case cases[] = {
        {{"a", "Kx", "Ky", "b"}, {"a", "K1", "K2", "b"}},
        {{"a", "Kx", "", "mid", "Ky", "b"}, {"a", "K1", "K2", "", "mid", "b"}}, // nothing inside is lost
        {{"a", "b"}, {"a", "b", "K1", "K2"}},                                   // no key: appended
        {{}, {"K1", "K2"}},
        {{"xK", "Kz"}, {"xK", "K1", "K2"}}, // only the line start counts
    };
    for (const auto& c : cases)
        EXPECT_EQ(kov::replace_key_block(c.in, key, block), c.out);
}

// Key lines of any length, digits and blanks included, are recognised in
// one pass: a regular expression overflowed the stack on a few thousand.
TEST(KeyLine, RecognisesKeysOfAnyLength)
{
    const std::string huge(4 << 20, 'v'), digits(30000, '7'), blanks(30000, ' ');
    struct Case {
        std::string line;
        bool field; // Site-style "<n>.<field>" key
        std::optional<kov::KeyLine> want;
    };
    const Case cases[] = {
        {"IoFsMount_12 =  " + huge + " \t", false, kov::KeyLine{"12", "", huge}},
        {"IoFsMount_" + digits + " = /x", false, kov::KeyLine{digits, "", "/x"}},
        {"IoFsMount_1" + blanks + "=" + blanks + "/x" + blanks, false, kov::KeyLine{"1", "", "/x"}},
        {"IoFsMount_ = /x", false, std::nullopt},
        {"IoFsMountX_1 = /x", false, std::nullopt},
        {"IoFsMount_1 /x", false, std::nullopt},
        {"Site.1.FS.3.Root = /r", true, kov::KeyLine{"3", "Root", "/r"}},
        {"Site.1.FS." + digits + "." + std::string(30000, 'w') + blanks + "= v", true,
         kov::KeyLine{digits, std::string(30000, 'w'), "v"}},
        {"Site.1.FS.3. = /r", true, std::nullopt},
        {"Site.1.FS.Root = /r", true, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string_view prefix = c.field ? "Site.1.FS." : "IoFsMount_";
        const auto got = c.field ? kov::match_numbered_field(c.line, prefix) : kov::match_numbered_key(c.line, prefix);
        ASSERT_EQ(got.has_value(), c.want.has_value()) << c.line.substr(0, 40);
        if (got) {
            EXPECT_EQ(got->number, c.want->number);
            EXPECT_EQ(got->field, c.want->field);
            EXPECT_TRUE(got->value == c.want->value) << c.line.substr(0, 40);
        }
    }
    EXPECT_TRUE(kov::starts_numbered_field("Site.1.FS." + digits + ".X", "Site.1.FS."));
    EXPECT_FALSE(kov::starts_numbered_field("Site.1.FS.Count = 2", "Site.1.FS."));
}
