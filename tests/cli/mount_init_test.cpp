#include <gtest/gtest.h>

#include "cli/mount_init.hpp"

// Splicing read replies and dropping stale pages both hang on what init asks
// the kernel for; asking for something it lacks would abort the connection.
TEST(MountInit, WantsSpliceAndAutoInvalOnlyWhenOffered)
{
    fuse_conn_info conn{};
    conn.capable = FUSE_CAP_AUTO_INVAL_DATA | FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE | FUSE_CAP_SPLICE_READ |
                   FUSE_CAP_ASYNC_READ;
    conn.want = FUSE_CAP_ASYNC_READ;
    kov::op_init(nullptr, &conn);
    EXPECT_EQ(conn.want,
              FUSE_CAP_ASYNC_READ | FUSE_CAP_AUTO_INVAL_DATA | FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);

    fuse_conn_info old_kernel{};
    old_kernel.capable = FUSE_CAP_SPLICE_WRITE;
    kov::op_init(nullptr, &old_kernel);
    EXPECT_EQ(old_kernel.want, static_cast<unsigned>(FUSE_CAP_SPLICE_WRITE));
}
