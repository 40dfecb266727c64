#include <gtest/gtest.h>

#include "common/trim.hpp"

TEST(Trim, RemovesOnlyEdgeBlanks)
{
    EXPECT_EQ(kov::trim(" \t\r\nname = a b \r\n"), "name = a b");
    EXPECT_EQ(kov::trim(" \t\r\n"), "");
    EXPECT_EQ(kov::trim(""), "");
    EXPECT_EQ(kov::trim("\vx\f"), "\vx\f"); // only space, TAB, CR and LF count
}
