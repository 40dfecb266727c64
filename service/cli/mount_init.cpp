#include "cli/mount_init.hpp"

namespace kov {

void op_init(void*, fuse_conn_info* conn) noexcept
{
    // Only what the kernel offers: libfuse aborts the connection when a
    // filesystem wants a capability the kernel lacks.
    //  - AUTO_INVAL_DATA drops cached pages when a file's size or time changes,
    //    which keep_cache on read-only opens relies on.
    //  - SPLICE_WRITE/SPLICE_MOVE make libfuse splice read replies that point
    //    at a descriptor, so pass-through data never enters our buffers; libfuse
    //    does not ask for them on its own.
    const unsigned wanted = FUSE_CAP_AUTO_INVAL_DATA | FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE;
    conn->want |= wanted & conn->capable;
}

} // namespace kov
