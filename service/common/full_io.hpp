#pragma once
// Whole reads and writes over the POSIX calls that may stop short: they go on
// after short transfers and interruptions, so callers see all, end of file, or
// an error.

#include <cstddef>
#include <cstdint>
#include <limits>

namespace kov {

// Reads up to `count` bytes at `offset` into `dest`. Returns the bytes read,
// fewer than `count` only at end of file, or -1 on an error.
std::int64_t pread_full(int fd, void* dest, std::size_t count, std::uint64_t offset);

// Writes all `count` bytes, in calls of at most `slice` bytes. False on an error.
bool write_full(int fd, const void* data, std::size_t count,
                std::size_t slice = std::numeric_limits<std::size_t>::max());

} // namespace kov
