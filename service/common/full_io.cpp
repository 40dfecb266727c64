#include "common/full_io.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kov {

std::int64_t pread_full(int fd, void* dest, std::size_t count, std::uint64_t offset)
{
    auto* out = static_cast<std::uint8_t*>(dest);
    constexpr auto max_offset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    std::size_t done = 0;
    while (done < count) {
        if (offset > max_offset - done)
            return -1;
        const ssize_t n = ::pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

bool write_full(int fd, const void* data, std::size_t count, std::size_t slice)
{
    const auto* in = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, in + done, std::min(count - done, slice));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace kov
