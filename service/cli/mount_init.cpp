#include "cli/mount_init.hpp"

#include <sys/resource.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kov {

namespace {

// Two heap arenas for the whole process. glibc gives threads arenas of their
// own, up to eight per core, and what one thread frees between another's live
// blocks stays there: a listing of 1,000 clips (layouts built on every
// filesystem thread) left 100 MiB resident with 21 MiB in use; with two
// arenas 54 MiB.
//
// Every decoded segment opens a decoder (about 600 KiB) and frees it again.
// Under glibc's adaptive thresholds that memory may come from a fresh mapping
// each time, or go back to the kernel at the free and return as new pages at
// the next open: an open then costs page faults and zeroing on top of its
// work (a jump took about 1 ms instead of 0.1 ms on a 10-minute clip). Fixed
// thresholds keep it in the heap: blocks under 1 MiB (a decoder's largest is
// far smaller) always come from the heap, larger ones (the filesystem
// threads' request buffers of 1 MiB, mostly never touched) are mappings of
// their own, and the heap is trimmed from 8 MiB of free space at its top.
void set_up_the_heap()
{
#if defined(__GLIBC__)
    ::mallopt(M_ARENA_MAX, 2);
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 8 << 20);
#endif
}

// The soft descriptor limit up to the hard one: the node table caches
// descriptors in proportion to it, and open files and listings take theirs
// beside it.
void raise_descriptor_limit()
{
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
}

} // namespace

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
    set_up_the_heap();
    raise_descriptor_limit();
}

} // namespace kov
