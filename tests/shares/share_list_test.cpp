#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shares/share_table.hpp"
#include "support/test_env.hpp"

using kov::read_share_list;
using kov::Share;
using kov::test::TempDir;
using kov::test::write_text;

namespace {

std::vector<Share> read_text(const std::string& text)
{
    TempDir dir;
    const std::string path = dir.file("shares.conf");
    EXPECT_TRUE(write_text(path, text));
    return read_share_list(path);
}

} // namespace

TEST(ShareList, ReadsWhatThePanelWrites)
{
    const auto shares = read_text("# kov-orvane shares\n"
                                  "# one share per line, tab-separated: <enabled 0|1>\\t<name>\\t<path>\n"
                                  "1\tFootage\t/srv/footage\n"
                                  "0\tOld\t/srv/old\n"
                                  "1\tLast\t/srv/last"); // no final LF
    ASSERT_EQ(shares.size(), 3u);
    EXPECT_TRUE(shares[0].enabled);
    EXPECT_EQ(shares[0].name, "Footage");
    EXPECT_EQ(shares[0].path, "/srv/footage");
    EXPECT_FALSE(shares[1].enabled);
    EXPECT_EQ(shares[1].name, "Old");
    EXPECT_EQ(shares[2].name, "Last");
    EXPECT_EQ(shares[2].path, "/srv/last");
}

TEST(ShareList, EnabledOnlyForExactOneOrTrue)
{
    const auto shares = read_text("1\ta\t/p\ntrue\tb\t/p\nTRUE\tc\t/p\nyes\td\t/p\n2\te\t/p\n0\tf\t/p\n \t1 \tg\t/p\n");
    ASSERT_EQ(shares.size(), 7u);
    const bool expected[] = {true, true, false, false, false, false, false};
    for (std::size_t i = 0; i < shares.size(); ++i)
        EXPECT_EQ(shares[i].enabled, expected[i]) << shares[i].name;
    // The first field is trimmed before it is compared.
    EXPECT_TRUE(read_text(" 1 \tx\t/p\n").at(0).enabled);
}

TEST(ShareList, SkipsCommentsBlankAndShortLines)
{
    const auto shares = read_text("\n   \n\t\r\n"
                                  "  \t# 1\tcomment\t/p\n"
                                  "#1\tcomment\t/p\n"
                                  "1\n"
                                  "1\tonly-name\n"
                                  "1\tnothing-after-tab\t\n"
                                  "1\t\t/empty-name\n"
                                  "1\tblank-path\t  \r\n"
                                  "1\tkept\t/p\n");
    ASSERT_EQ(shares.size(), 1u);
    EXPECT_EQ(shares[0].name, "kept");
}

TEST(ShareList, TrimsFieldsAndKeepsTabsInsideThePath)
{
    const auto shares = read_text("1\t  spaced name \t /with space/ \r\n"
                                  "1\tfour\t/a\textra\n");
    ASSERT_EQ(shares.size(), 2u);
    EXPECT_EQ(shares[0].name, "spaced name");
    EXPECT_EQ(shares[0].path, "/with space/"); // CR of a CR LF line is trimmed
    EXPECT_EQ(shares[1].path, "/a\textra");    // a fourth field stays part of the path
    // Vertical tab and form feed are not blanks.
    const auto vt = read_text("1\t\vname\t/p\f\n");
    ASSERT_EQ(vt.size(), 1u);
    EXPECT_EQ(vt[0].name, "\vname");
    EXPECT_EQ(vt[0].path, "/p\f");
}

TEST(ShareList, UnreadableFileIsEmpty)
{
    TempDir dir;
    EXPECT_TRUE(read_share_list(dir.file("missing.conf")).empty());
    EXPECT_TRUE(read_share_list("").empty());
    EXPECT_TRUE(read_share_list(dir.path()).empty()); // a folder cannot be read as a file
}
