// Feeds arbitrary bytes to the media analysis as if they were a file's
// contents. Any crash, sanitizer report, hang or runaway allocation is a bug.
// Every track's samples are expanded with their unit times; inputs that scan
// as AAC also get a silent layout (no decoding) and a series of layout reads
// over ranges drawn from the input, each checked against what the regions
// must hold.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "media/file_layout.hpp"
#include "pcm/pcm_track.hpp"
#include "media/media_scan.hpp"
#include "media/sample_model.hpp"
#include "media/track_plan.hpp"

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
    using Kind = kov::LayoutRegion::Kind;
    // Regions back to back from 0 to the end; sources only inside the source
    // part; every index names something that exists.
    std::uint64_t end = 0;
    std::size_t pcm_regions = 0;
    for (const auto& r : l.regions) {
        require(r.start == end && r.size > 0);
        end += r.size;
        switch (r.kind) {
        case Kind::source:
            require(r.start + r.size <= l.source_size);
            break;
        case Kind::overlay:
            require(r.size == 4 && r.start + 4 <= l.source_size);
            break;
        case Kind::bytes:
            require(r.index < l.blocks.size() && r.size == l.blocks[r.index].size());
            break;
        case Kind::pcm:
            require(r.index < l.streams.size() && l.streams[r.index].offset == r.start &&
                    l.streams[r.index].size == r.size);
            ++pcm_regions;
            break;
        }
    }
    // A cut-off fragmented recording keeps only its complete fragments.
    require(end == l.total_size && l.source_size == scan.kept_size && !l.streams.empty());
    for (const auto& s : l.streams)
        require(s.source && s.frames > 0 && s.size == s.frames * s.channels * kov::pcm_sample_bytes(s.bits));
    require(pcm_regions == l.streams.size());

    // The expected byte at any offset, from the region that holds it.
    auto expected = [&](std::uint64_t at) -> std::uint8_t {
        const auto& r = l.regions[l.region_at(at)];
        switch (r.kind) {
        case Kind::source:
            return file[at];
        case Kind::overlay:
            return r.overlay[at - r.start];
        case Kind::bytes:
            return l.blocks[r.index][at - r.start];
        case Kind::pcm:
            return 0; // silent PCM
        }
        return 0;
    };

    std::uint64_t state = 1469598103934665603ull;
    for (std::uint8_t b : file.first(std::min<std::size_t>(file.size(), 64)))
        state = (state ^ b) * 1099511628211ull;
    static std::vector<std::uint8_t> buf(65536 + 16);
    for (int i = 0; i < 24; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        // Offsets near the region boundaries are the interesting ones.
        const auto& region = l.regions[(state >> 8) % l.regions.size()];
        const std::uint64_t anchor = (state >> 4) & 1 ? region.start : region.start + region.size;
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

// The sample model and the PCM unit times of every track: bounded by the
// tables and the file, times never going back.
void fuzz_samples(std::span<const std::uint8_t> file, const kov::MediaScan& scan)
{
    for (const kov::TrackScan& track : scan.tracks) {
        const auto shared = std::make_shared<const kov::TrackScan>(track);
        std::size_t count = 0;
        std::uint64_t last_time = 0;
        kov::pcm_units(kov::table_sample_list(shared, file.size()), 0)(-1, ~std::size_t{0}, [&](const kov::PcmUnit& u) {
            require(count == 0 || u.time >= last_time);
            last_time = u.time;
            ++count;
        });
        require(count <= track.sample_count && count <= file.size());
        if (track.decoder.codec != kov::Codec::none && !scan.has_aac)
            std::abort();
    }
}

void fuzz_one(std::span<const std::uint8_t> file)
{
    const kov::MediaScan scan = scan_memory(file);
    if (scan.moov_size > file.size() || scan.moov_offset > file.size() - scan.moov_size)
        std::abort(); // a recorded movie box always lies inside the file
    for (std::size_t i = 1; i < scan.boxes.size(); ++i)
        require(scan.boxes[i].offset == scan.boxes[i - 1].offset + scan.boxes[i - 1].header.size);
    // What the new movie box reads again lies inside the movie box.
    auto inside_moov = [&](const kov::FileBox& b) {
        return b.offset >= scan.moov_offset && b.header.size <= scan.moov_size &&
               b.offset - scan.moov_offset <= scan.moov_size - b.header.size;
    };
    for (const auto& b : scan.moov_boxes)
        require(inside_moov(b));
    for (const auto& t : scan.tracks)
        for (const auto& b : t.kept_boxes)
            require(inside_moov(b));
    require(scan.kept_size <= file.size() && (scan.fragmented || scan.kept_size == file.size()));
    fuzz_samples(file, scan);
    if (scan.has_aac)
        fuzz_layout(file, scan);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_one(std::span<const std::uint8_t>(data, size));
    return 0;
}
