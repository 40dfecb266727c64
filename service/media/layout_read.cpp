// Producing byte ranges of a rewritten file. Runs on many threads at once over
// one immutable layout; allocates nothing.

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "media/file_layout.hpp"

#include "common/full_io.hpp"

namespace kov {

namespace {

// Reads count source bytes at offset. A file that has shrunk since the layout
// was built no longer holds what the layout refers to: that is a failure,
// not zeros.
bool read_source(int fd, std::uint8_t* dest, std::uint64_t count, std::uint64_t offset)
{
    return pread_full(fd, dest, static_cast<std::size_t>(count), offset) == static_cast<std::int64_t>(count);
}

} // namespace

std::size_t FileLayout::region_at(std::uint64_t offset) const
{
    const auto after = std::upper_bound(regions.begin(), regions.end(), offset,
                                        [](std::uint64_t at, const LayoutRegion& r) { return at < r.start; });
    if (after == regions.begin() || offset >= total_size)
        return regions.size();
    return static_cast<std::size_t>(after - regions.begin()) - 1;
}

bool FileLayout::is_plain_source_range(std::uint64_t offset, std::uint64_t length) const
{
    const std::size_t i = region_at(offset);
    if (i == regions.size() || regions[i].kind != LayoutRegion::Kind::source)
        return length == 0 && offset <= source_size;
    return length <= regions[i].start + regions[i].size - offset;
}

std::int64_t FileLayout::read_at(int fd, std::uint8_t* dest, std::uint64_t length, std::uint64_t offset) const
{
    if (offset >= total_size)
        return 0;
    const std::uint64_t n = std::min(length, total_size - offset);
    std::uint64_t done = 0;
    for (std::size_t i = region_at(offset); done < n && i < regions.size(); ++i) {
        const LayoutRegion& r = regions[i];
        const std::uint64_t position = offset + done;
        const std::uint64_t at = position - r.start;
        const std::uint64_t count = std::min(n - done, r.size - at);
        std::uint8_t* out = dest + done;
        switch (r.kind) {
        case LayoutRegion::Kind::source:
            if (!read_source(fd, out, count, position))
                return -EIO;
            break;
        case LayoutRegion::Kind::overlay:
            std::memcpy(out, r.overlay.data() + at, static_cast<std::size_t>(count));
            break;
        case LayoutRegion::Kind::bytes:
            std::memcpy(out, blocks[r.index].data() + at, static_cast<std::size_t>(count));
            break;
        case LayoutRegion::Kind::pcm: {
            const std::int64_t got = streams[r.index].source->read(fd, out, count, at);
            if (got < 0)
                return -EIO;
            if (static_cast<std::uint64_t>(got) < count)
                std::memset(out + got, 0, static_cast<std::size_t>(count - static_cast<std::uint64_t>(got)));
            break;
        }
        }
        done += count;
    }
    return static_cast<std::int64_t>(n);
}

} // namespace kov
