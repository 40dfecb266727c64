// Measures what the first lookup of a fragmented recording costs: the
// analysis (every top-level box header, the movie box, every moof) and the
// layout build, with a warm page cache; and the number of reads the analysis
// makes. Prints key=value lines for bench/fragments.sh.

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "common/full_io.hpp"
#include "common/unique_fd.hpp"
#include "media/file_layout.hpp"
#include "media/media_scan.hpp"
#include "bench_service.hpp"

namespace {
using kov::bench::decoding;

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of this process: on a busy machine wall time mostly measures the
// other processes, CPU time still measures us.
double cpu_ms()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    const kov::UniqueFd fd(::open(argv[1], O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        std::perror(argv[1]);
        return 1;
    }

    // The reads of one analysis, counted through the same positional reader.
    long reads = 0;
    std::uint64_t bytes = 0;
    const kov::MediaScan counted = kov::scan_media_from(
        static_cast<std::uint64_t>(st.st_size), [&](std::uint64_t offset, std::uint8_t* dest, std::size_t length) {
            ++reads;
            bytes += length;
            return kov::pread_full(fd.get(), dest, length, offset);
        });
    const auto moofs = std::count_if(counted.boxes.begin(), counted.boxes.end(),
                                     [](const kov::FileBox& b) { return b.header.type == kov::fourcc("moof"); });

    std::vector<double> scan_ms, total_ms, total_cpu_ms;
    std::size_t moov_bytes = 0;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        const double cpu_start = cpu_ms();
        const kov::MediaScan scan = kov::scan_media(fd.get());
        scan_ms.push_back(ms_since(start));
        const auto layout = kov::build_layout(fd.get(), scan, decoding());
        total_ms.push_back(ms_since(start));
        total_cpu_ms.push_back(cpu_ms() - cpu_start);
        if (!layout) {
            std::fprintf(stderr, "%s: not rewritten\n", argv[1]);
            return 1;
        }
        moov_bytes = layout->blocks.empty() ? 0 : layout->blocks[0].size();
    }
    std::printf("fragmented=%d\nmoofs=%ld\ntop_level_boxes=%zu\nscan_reads=%ld\nscan_read_bytes=%llu\n",
                counted.fragmented ? 1 : 0, static_cast<long>(moofs), counted.boxes.size(), reads,
                static_cast<unsigned long long>(bytes));
    for (std::size_t t = 0; t < counted.tracks.size(); ++t)
        std::printf("track%zu_samples=%llu\n", t + 1, static_cast<unsigned long long>(counted.tracks[t].sample_count));
    std::printf("new_moov_bytes=%zu\nscan_ms=%.1f\nscan_and_layout_ms=%.1f\nscan_and_layout_min_ms=%.1f\n"
                "scan_and_layout_cpu_ms=%.1f\n",
                moov_bytes, median(scan_ms), median(total_ms), *std::min_element(total_ms.begin(), total_ms.end()),
                median(total_cpu_ms));
    return 0;
}
