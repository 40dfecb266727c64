// Probe cost: how long the media analysis takes and what it reads, on real
// clips and on the same movie box behind a multi-GiB sparse media data box.
// Usage: bench_probe SCRATCH_DIR CLIP...

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common/unique_fd.hpp"
#include "media/be_writer.hpp"
#include "media/media_scan.hpp"
#include "media/sample_model.hpp"

using namespace kov;

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Cost {
    double median_ms = 0, max_ms = 0, units_ms = 0;
    std::size_t reads = 0, bytes = 0, units = 0;
    MediaScan scan;
};

Cost measure(const std::string& path, int runs)
{
    Cost c;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return c;
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        c.scan = scan_media(fd.get());
        times.push_back(ms_since(start));
    }
    std::sort(times.begin(), times.end());
    c.median_ms = times[times.size() / 2];
    c.max_ms = times.back();
    // The same analysis through a counting reader.
    scan_media_from(static_cast<std::uint64_t>(st.st_size),
                    [&](std::uint64_t offset, std::uint8_t* dest, std::size_t length) {
                        ++c.reads;
                        const ssize_t n = ::pread(fd.get(), dest, length, static_cast<off_t>(offset));
                        c.bytes += n > 0 ? static_cast<std::size_t>(n) : 0;
                        return static_cast<std::int64_t>(n);
                    });
    const auto start = Clock::now();
    for (const auto& t : c.scan.tracks)
        if (t.decoder.codec != Codec::none)
            c.units += table_samples(t, max_track_samples).size();
    c.units_ms = ms_since(start);
    return c;
}

// ftyp, a 64-bit mdat of `hole` bytes that are never written, then the clip's moov.
bool make_sparse(const std::string& clip, const std::string& out, std::uint64_t hole)
{
    UniqueFd in(::open(clip.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in)
        return false;
    const MediaScan scan = scan_media(in.get());
    std::vector<std::uint8_t> moov(static_cast<std::size_t>(scan.moov_size));
    if (moov.empty() || ::pread(in.get(), moov.data(), moov.size(), static_cast<off_t>(scan.moov_offset)) !=
                            static_cast<ssize_t>(moov.size()))
        return false;
    std::vector<std::uint8_t> head;
    BeWriter w(head);
    const auto at = w.begin_box("ftyp");
    w.fourcc("isom");
    w.u32(0x200);
    w.fourcc("isom");
    w.end_box(at);
    w.u32(1);
    w.fourcc("mdat");
    w.u64(16 + hole);
    UniqueFd fd(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return fd && ::pwrite(fd.get(), head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
           ::pwrite(fd.get(), moov.data(), moov.size(), static_cast<off_t>(head.size() + hole)) ==
               static_cast<ssize_t>(moov.size());
}

void report(const std::string& name, const Cost& c)
{
    std::printf("%-28s size=%12llu moov=%9llu  scan median %8.3f ms max %8.3f ms  reads %zu (%zu bytes)  "
                "aac units %zu in %.3f ms\n",
                name.c_str(), static_cast<unsigned long long>(c.scan.file_size),
                static_cast<unsigned long long>(c.scan.moov_size), c.median_ms, c.max_ms, c.reads, c.bytes, c.units,
                c.units_ms);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SCRATCH_DIR CLIP...\n", argv[0]);
        return 2;
    }
    const std::string scratch = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string clip = argv[i];
        const std::string name = clip.substr(clip.rfind('/') + 1);
        report(name, measure(clip, 21));
        const std::string sparse = scratch + "/sparse-" + name;
        if (!make_sparse(clip, sparse, 64ull << 30)) {
            std::fprintf(stderr, "cannot make the sparse copy of %s\n", clip.c_str());
            return 1;
        }
        report("64 GiB hole + " + name, measure(sparse, 21));
        ::unlink(sparse.c_str());
    }
    return 0;
}
