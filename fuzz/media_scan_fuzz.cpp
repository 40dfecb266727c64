// Feeds arbitrary bytes to the media analysis as if they were a file's
// contents. Any crash, sanitizer report, hang or runaway allocation is a bug.
// Inputs that scan as AAC also get a silent layout (no decoding) and a series
// of layout reads over ranges drawn from the input, each checked against what
// the regions must hold.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "media/file_layout.hpp"
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

void require(bool ok)
{
    if (!ok)
        std::abort();
}

// One memory file for every input: build_layout and read_at take a descriptor.
int input_file(std::span<const std::uint8_t> file)
{
    static const int fd = ::memfd_create("fuzz-input", MFD_CLOEXEC);
    require(fd >= 0 && ::ftruncate(fd, 0) == 0);
    std::size_t done = 0;
    while (done < file.size()) {
        const ssize_t n = ::pwrite(fd, file.data() + done, file.size() - done, static_cast<off_t>(done));
        require(n > 0);
        done += static_cast<std::size_t>(n);
    }
    return fd;
}

void fuzz_layout(std::span<const std::uint8_t> file, const kov::MediaScan& scan)
{
    const int fd = input_file(file);
    const auto layout = kov::build_silent_layout(fd, scan);
    if (!layout)
        return;
    const kov::FileLayout& l = *layout;
    require(l.source_size == file.size() && l.moov_offset == l.source_size);
    require(l.mdat_header_offset == l.moov_offset + l.moov_bytes.size());
    require(l.pcm_offset == l.mdat_header_offset + l.mdat_header.size());
    require(l.total_size == l.pcm_offset + l.pcm_size && l.pcm_size == l.frames * l.channels * 2);
    require(l.frames > 0 && l.source);
    std::uint64_t previous_end = 0;
    for (const auto& o : l.overlays) {
        require(o.offset >= previous_end && o.offset + 4 <= l.source_size);
        previous_end = o.offset + 4;
    }

    // The expected byte at any offset, computed region by region.
    auto expected = [&](std::uint64_t at) -> std::uint8_t {
        if (at < l.source_size) {
            for (const auto& o : l.overlays)
                if (at >= o.offset && at < o.offset + 4)
                    return o.bytes[at - o.offset];
            return file[at];
        }
        if (at < l.mdat_header_offset)
            return l.moov_bytes[at - l.moov_offset];
        if (at < l.pcm_offset)
            return l.mdat_header[at - l.mdat_header_offset];
        return 0; // silent PCM
    };

    std::uint64_t state = 1469598103934665603ull;
    for (std::uint8_t b : file.first(std::min<std::size_t>(file.size(), 64)))
        state = (state ^ b) * 1099511628211ull;
    static std::vector<std::uint8_t> buf(65536 + 16);
    for (int i = 0; i < 24; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        // Offsets near the region boundaries are the interesting ones.
        const std::uint64_t anchors[] = {0, l.overlay_offset, l.source_size, l.mdat_header_offset, l.pcm_offset,
                                         l.total_size};
        const std::uint64_t anchor = anchors[(state >> 8) % 6];
        const std::uint64_t delta = (state >> 16) % 64;
        const std::uint64_t offset = (state >> 40) & 1 ? anchor + delta : (anchor > delta ? anchor - delta : 0);
        const std::uint64_t length = (state >> 24) % 65536;
        std::fill(buf.begin(), buf.end(), 0xA5);
        const std::int64_t got = l.read_at(fd, buf.data(), length, offset);
        const std::uint64_t want = offset >= l.total_size ? 0 : std::min(length, l.total_size - offset);
        require(got == static_cast<std::int64_t>(want));
        for (std::uint64_t k = 0; k < want; ++k)
            require(buf[k] == expected(offset + k));
        require(buf[want] == 0xA5); // nothing written past the result
        if (l.is_plain_source_range(offset, length))
            require(offset + length <= l.source_size &&
                    std::equal(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(want),
                               file.begin() + static_cast<std::ptrdiff_t>(offset)));
    }
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
    if (scan.has_aac)
        fuzz_layout(file, scan);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_one(std::span<const std::uint8_t>(data, size));
    return 0;
}
