// Producing byte ranges of a rewritten file. Runs on many threads at once over
// one immutable layout; allocates nothing.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "media/file_layout.hpp"

#include "common/full_io.hpp"

namespace kov {

namespace {

// Reads count source bytes at offset. A file that has shrunk since the layout
// was built ends the read early; the rest of the stretch reads as zeros so no
// stale buffer contents leak out.
bool read_source(int fd, std::uint8_t* dest, std::uint64_t count, std::uint64_t offset)
{
    const std::int64_t got = pread_full(fd, dest, static_cast<std::size_t>(count), offset);
    if (got < 0)
        return false;
    const auto done = static_cast<std::uint64_t>(got);
    if (done < count)
        std::memset(dest + done, 0, static_cast<std::size_t>(count - done));
    return true;
}

} // namespace

bool FileLayout::is_plain_source_range(std::uint64_t offset, std::uint64_t length) const
{
    if (offset > source_size || length > source_size - offset)
        return false;
    for (const auto& o : overlays)
        if (offset < o.offset + 4 && o.offset < offset + length)
            return false;
    return true;
}

std::int64_t FileLayout::read_at(int fd, std::uint8_t* dest, std::uint64_t length, std::uint64_t offset) const
{
    if (offset >= total_size)
        return 0;
    const std::uint64_t n = std::min(length, total_size - offset);
    const std::uint64_t moov_end = moov_offset + moov_bytes.size();
    const std::uint64_t header_end = mdat_header_offset + mdat_header.size();
    std::uint64_t done = 0;
    std::size_t next_overlay = 0;
    while (done < n) {
        const std::uint64_t position = offset + done;
        const std::uint64_t want = n - done;
        std::uint8_t* out = dest + done;
        std::uint64_t count = 0;
        if (position < source_size) {
            while (next_overlay < overlays.size() && overlays[next_overlay].offset + 4 <= position)
                ++next_overlay;
            const ByteOverlay* o = next_overlay < overlays.size() ? &overlays[next_overlay] : nullptr;
            if (o && position >= o->offset) {
                const std::uint64_t at = position - o->offset;
                count = std::min(want, 4 - at);
                std::memcpy(out, o->bytes.data() + at, static_cast<std::size_t>(count));
            } else {
                const std::uint64_t stop = o ? std::min(o->offset, source_size) : source_size;
                count = std::min(want, stop - position);
                if (!read_source(fd, out, count, position))
                    return -EIO;
            }
        } else if (position < moov_end) {
            count = std::min(want, moov_end - position);
            std::memcpy(out, moov_bytes.data() + (position - moov_offset), static_cast<std::size_t>(count));
        } else if (position < header_end) {
            count = std::min(want, header_end - position);
            std::memcpy(out, mdat_header.data() + (position - mdat_header_offset), static_cast<std::size_t>(count));
        } else {
            count = std::min(want, pcm_offset + pcm_size - position);
            const std::int64_t got = source ? source->read(out, count, position - pcm_offset) : 0;
            if (got < 0)
                return got;
            if (static_cast<std::uint64_t>(got) < count)
                std::memset(out + got, 0, static_cast<std::size_t>(count - static_cast<std::uint64_t>(got)));
        }
        done += count;
    }
    return static_cast<std::int64_t>(n);
}

} // namespace kov
