// The panel's share list reader and writer, and how the service reads what
// the panel writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "shares/share_table.hpp"
#include "shares_file.h"
#include "support/test_env.hpp"

namespace {

using kov::test::TempDir;

struct Expected {
    bool enabled;
    std::string name;
    std::string path;
};

std::vector<Expected> as_vector(GList* shares)
{
    std::vector<Expected> out;
    for (GList* l = shares; l != nullptr; l = l->next) {
        auto* share = static_cast<Share*>(l->data);
        out.push_back({share->enabled != FALSE, share->name, share->path});
    }
    return out;
}

std::vector<Expected> parse(const char* content)
{
    GList* shares = shares_file_parse(content);
    auto out = as_vector(shares);
    g_list_free_full(shares, share_free);
    return out;
}

bool operator==(const Expected& a, const Expected& b)
{
    return a.enabled == b.enabled && a.name == b.name && a.path == b.path;
}

void PrintTo(const Expected& e, std::ostream* os)
{
    *os << "{" << e.enabled << ", '" << e.name << "', '" << e.path << "'}";
}

constexpr const char* header = "# kov-orvane shares\n"
                               "# one share per line, tab-separated: <enabled 0|1>\\t<name>\\t<path>\n";

TEST(SharesFile, WritesExactlyTheTwoCommentLinesThenOneLinePerShare)
{
    const std::string second_line = std::string(header).substr(std::string(header).find('\n') + 1);
    EXPECT_EQ(second_line.size(), 67u);

    GList* shares = nullptr;
    shares = g_list_append(shares, share_new(TRUE, "Footage", "/media/footage"));
    shares = g_list_append(shares, share_new(FALSE, "Old", "/old path/with spaces"));
    g_autofree char* text = shares_file_format(shares);
    EXPECT_EQ(std::string(text), std::string(header) + "1\tFootage\t/media/footage\n0\tOld\t/old path/with spaces\n");
    g_list_free_full(shares, share_free);

    g_autofree char* empty = shares_file_format(nullptr);
    EXPECT_EQ(std::string(empty), header);
}

TEST(SharesFile, WriteCreatesMissingFoldersAndReplacesTheFileWhole)
{
    TempDir dir;
    const std::string path = dir.file("a/b/kov-orvane/shares.conf");
    GList* shares = g_list_append(nullptr, share_new(TRUE, "one", "/one"));
    ASSERT_TRUE(shares_file_write(path.c_str(), shares, nullptr));

    struct stat st {};
    ASSERT_EQ(::stat(dir.file("a/b/kov-orvane").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    // A hard link keeps the old content: the writer renames a new file into
    // place instead of rewriting the old one, so a reader never sees half a file.
    const std::string old_link = dir.file("old");
    ASSERT_EQ(::link(path.c_str(), old_link.c_str()), 0);
    shares = g_list_append(shares, share_new(TRUE, "two", "/two"));
    ASSERT_TRUE(shares_file_write(path.c_str(), shares, nullptr));
    const auto old_bytes = kov::test::read_file(old_link);
    const auto new_bytes = kov::test::read_file(path);
    EXPECT_EQ(std::string(old_bytes.begin(), old_bytes.end()), std::string(header) + "1\tone\t/one\n");
    EXPECT_EQ(std::string(new_bytes.begin(), new_bytes.end()), std::string(header) + "1\tone\t/one\n1\ttwo\t/two\n");
    g_list_free_full(shares, share_free);

    // Nothing else is left behind in the folder.
    g_autoptr(GDir) folder = g_dir_open(dir.file("a/b/kov-orvane").c_str(), 0, nullptr);
    int entries = 0;
    while (g_dir_read_name(folder) != nullptr)
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(SharesFile, WriteReportsAFolderThatCannotBeMade)
{
    TempDir dir;
    ASSERT_TRUE(kov::test::write_text(dir.file("blocker"), "a file, not a folder"));
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(shares_file_write(dir.file("blocker/sub/shares.conf").c_str(), nullptr, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::string(error->message).find(dir.file("blocker/sub")), std::string::npos) << error->message;
    g_clear_error(&error);
    EXPECT_FALSE(shares_file_write(dir.path().c_str(), nullptr, &error)); // a folder where the file goes
    ASSERT_NE(error, nullptr);
}

TEST(SharesFile, ReaderKeepsOnlyThreeFieldLines)
{
    struct Case {
        const char* content;
        std::vector<Expected> expected;
    };
    const Case cases[] = {
        {"1\tA\t/a\n0\tB\t/b", {{true, "A", "/a"}, {false, "B", "/b"}}},
        {"true\tA\t/a\nTRUE\tB\t/b\nyes\tC\t/c\n2\tD\t/d\n",
         {{true, "A", "/a"}, {false, "B", "/b"}, {false, "C", "/c"}, {false, "D", "/d"}}},
        {"# comment\n   # indented comment\n\t#tabbed\n\n  \n1\tA\t/a\n", {{true, "A", "/a"}}},
        {"1\tA\t/a\r\n", {{true, "A", "/a"}}},
        {"1\tA\t/a\tmore\n1\tB\n1\n", {}},
        {" 1 \t  spaced name \t /p with blanks/ \n", {{true, "spaced name", "/p with blanks/"}}},
        {"1\t\t/empty-name\n1\tempty-path\t\n", {{true, "", "/empty-name"}, {true, "empty-path", ""}}},
        {"1\t.dot\t/d\n", {{true, ".dot", "/d"}}},
        {"", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parse(c.content), c.expected) << "content: " << c.content;
}

TEST(SharesFile, ReadingAMissingFileGivesAnEmptyList)
{
    TempDir dir;
    EXPECT_EQ(shares_file_read(dir.file("missing.conf").c_str()), nullptr);
    EXPECT_EQ(shares_file_read(dir.path().c_str()), nullptr);
}

TEST(SharesFile, ARewriteDropsWhatTheReaderSkippedAndNormalisesTrue)
{
    TempDir dir;
    const std::string path = dir.file("shares.conf");
    ASSERT_TRUE(kov::test::write_text(path, "# mine\ntrue\tA\t/a\n0\tOff\t/off\n1\tX\t/x\textra\n"));
    GList* shares = shares_file_read(path.c_str());
    ASSERT_TRUE(shares_file_write(path.c_str(), shares, nullptr));
    g_list_free_full(shares, share_free);
    const auto bytes = kov::test::read_file(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), std::string(header) + "1\tA\t/a\n0\tOff\t/off\n");
}

TEST(SharesFile, TheServiceReadsWhatThePanelWrites)
{
    TempDir dir;
    const std::string path = dir.file("shares.conf");
    const std::vector<Expected> written = {
        {true, "Footage", "/media/footage"},
        {false, "Off", "/off"},
        {true, "A&B <x>", "/path with spaces/and ünïcode"},
        {true, "share-2", "/"},
    };
    GList* shares = nullptr;
    for (const auto& e : written)
        shares = g_list_append(shares, share_new(e.enabled, e.name.c_str(), e.path.c_str()));
    ASSERT_TRUE(shares_file_write(path.c_str(), shares, nullptr));
    g_list_free_full(shares, share_free);

    const std::vector<kov::Share> read = kov::read_share_list(path);
    ASSERT_EQ(read.size(), written.size());
    for (std::size_t i = 0; i < read.size(); ++i)
        EXPECT_EQ((Expected{read[i].enabled, read[i].name, read[i].path}), written[i]);

    GList* again = shares_file_read(path.c_str());
    EXPECT_EQ(as_vector(again), written);
    g_list_free_full(again, share_free);
}

TEST(SharesFile, ReadersDifferOnExtraTabsAndEmptyFields)
{
    TempDir dir;
    const std::string path = dir.file("shares.conf");
    ASSERT_TRUE(kov::test::write_text(path, "1\tA\t/a\tb\n1\t\t/empty\n1\tB\t/b\n"));
    const std::vector<kov::Share> service = kov::read_share_list(path);
    ASSERT_EQ(service.size(), 2u);
    EXPECT_EQ(service[0].path, "/a\tb");
    EXPECT_EQ(service[1].name, "B");
    EXPECT_EQ(parse("1\tA\t/a\tb\n1\t\t/empty\n1\tB\t/b\n"),
              (std::vector<Expected>{{true, "", "/empty"}, {true, "B", "/b"}}));
}

TEST(SharesFile, OnlyPathsThatSurviveTheFormatCanBeStored)
{
    EXPECT_TRUE(shares_file_can_store_path("/media/my footage"));
    EXPECT_TRUE(shares_file_can_store_path("/"));
    for (const char* bad : {"", "/a\tb", "/a\nb", "/a\rb", " /lead", "/trail ", "/trail\f"})
        EXPECT_FALSE(shares_file_can_store_path(bad)) << bad;
}

std::string name_for(std::vector<const char*> existing, const char* proposed)
{
    GList* shares = nullptr;
    for (const char* name : existing)
        shares = g_list_append(shares, share_new(FALSE, name, "/x"));
    g_autofree char* name = make_share_name(shares, proposed);
    g_list_free_full(shares, share_free);
    return name;
}

TEST(MakeShareName, CleansTheProposal)
{
    EXPECT_EQ(name_for({}, "Footage"), "Footage");
    EXPECT_EQ(name_for({}, nullptr), "share");
    EXPECT_EQ(name_for({}, ""), "share");
    EXPECT_EQ(name_for({}, "   \t "), "share");
    EXPECT_EQ(name_for({}, "  padded  "), "padded");
    EXPECT_EQ(name_for({}, "a/b"), "a-b");
    EXPECT_EQ(name_for({}, "/"), "-");
    EXPECT_EQ(name_for({}, "tab\there\nline\rend"), "tab-here-line-end");
    EXPECT_EQ(name_for({}, "."), "share");
    EXPECT_EQ(name_for({}, " .. "), "share");
    EXPECT_EQ(name_for({}, ".hidden"), ".hidden");
    EXPECT_EQ(name_for({}, "A&B <x>"), "A&B <x>");
}

TEST(MakeShareName, NumbersADuplicateAgainstEveryShare)
{
    EXPECT_EQ(name_for({"Footage"}, "Footage"), "Footage-2");
    EXPECT_EQ(name_for({"Footage", "Footage-2"}, "Footage"), "Footage-3");
    EXPECT_EQ(name_for({"Footage-2"}, "Footage"), "Footage");
    EXPECT_EQ(name_for({"share"}, "  "), "share-2");
    EXPECT_EQ(name_for({"footage"}, "Footage"), "Footage"); // names are bytes: case matters
    EXPECT_EQ(name_for({"a-b", "a-b-2"}, "a/b"), "a-b-3");
}

} // namespace
