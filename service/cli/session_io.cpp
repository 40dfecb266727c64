#include "cli/session_io.hpp"

#include <linux/fuse.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kov {

namespace {

// The unique number of the init request while its reply is due, 0 otherwise.
// One mounted session per process.
std::atomic<std::uint64_t> init_unique{0};

ssize_t read_request(int fd, void* buf, std::size_t len, void*)
{
    const ssize_t n = ::read(fd, buf, len);
    if (n < static_cast<ssize_t>(sizeof(fuse_in_header) + offsetof(fuse_init_in, flags) + sizeof(std::uint32_t)))
        return n;
    fuse_in_header in{};
    std::memcpy(&in, buf, sizeof in);
    if (in.opcode != FUSE_INIT)
        return n;
    std::uint32_t offered = 0;
    std::memcpy(&offered, static_cast<const char*>(buf) + sizeof in + offsetof(fuse_init_in, flags), sizeof offered);
    if (offered & FUSE_PARALLEL_DIROPS)
        init_unique = in.unique;
    return n;
}

ssize_t write_reply(int fd, iovec* iov, int count, void*)
{
    std::uint64_t pending = init_unique.load();
    constexpr std::size_t flags_end = offsetof(fuse_init_out, flags) + sizeof(std::uint32_t);
    if (pending != 0 && count >= 2 && iov[0].iov_len == sizeof(fuse_out_header) && iov[1].iov_len >= flags_end) {
        fuse_out_header out{};
        std::memcpy(&out, iov[0].iov_base, sizeof out);
        if (out.unique == pending && out.error == 0 && init_unique.compare_exchange_strong(pending, 0)) {
            char* flags_at = static_cast<char*>(iov[1].iov_base) + offsetof(fuse_init_out, flags);
            std::uint32_t flags = 0;
            std::memcpy(&flags, flags_at, sizeof flags);
            flags |= FUSE_PARALLEL_DIROPS;
            std::memcpy(flags_at, &flags, sizeof flags);
        }
    }
    return ::writev(fd, iov, count);
}

} // namespace

bool use_session_io(fuse_session* session)
{
    // Splicing is left to libfuse: without functions of ours for it, it
    // splices to and from the device itself.
    const fuse_custom_io io{write_reply, read_request, nullptr, nullptr};
    return fuse_session_custom_io(session, &io, fuse_session_fd(session)) == 0;
}

} // namespace kov
