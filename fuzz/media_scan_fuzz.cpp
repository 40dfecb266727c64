// Feeds arbitrary bytes to the media analysis as if they were a file's
// contents. Any crash, sanitizer report, hang or runaway allocation is a bug.
// Further stages over the same scan (layout building, reads) belong in
// fuzz_one() after the access units.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "media/media_scan.hpp"

namespace {

kov::MediaScan scan_memory(std::span<const std::uint8_t> file)
{
    return kov::scan_media_from(file.size(), [file](std::uint64_t offset, std::uint8_t* dest, std::size_t length) {
        if (offset >= file.size())
            return std::int64_t{0};
        const std::size_t n = std::min<std::size_t>(length, file.size() - static_cast<std::size_t>(offset));
        std::memcpy(dest, file.data() + offset, n);
        return static_cast<std::int64_t>(n);
    });
}

void fuzz_one(std::span<const std::uint8_t> file)
{
    const kov::MediaScan scan = scan_memory(file);
    if (scan.moov_size > file.size() || scan.moov_offset > file.size() - scan.moov_size)
        std::abort(); // a recorded movie box always lies inside the file
    for (const kov::TrackScan& track : scan.tracks) {
        const auto units = kov::build_access_units(track);
        if (units.size() > track.sample_count)
            std::abort();
        if (track.aac && !scan.has_aac)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_one(std::span<const std::uint8_t>(data, size));
    return 0;
}
