// Measures the rewrite engine on one clip: analysis and layout build times,
// the cost of the first 4 KiB of PCM at the start, middle and end of a fresh
// layout, and sequential PCM production in 128 KiB reads. Prints key=value
// lines that bench/rewrite.sh puts beside ffmpeg's figures.

#include <fcntl.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/unique_fd.hpp"
#include "media/file_layout.hpp"
#include "media/media_scan.hpp"
#include "bench_service.hpp"

namespace {
using kov::bench::decoding;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double least(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

// CPU time of this process: on a busy machine wall time mostly measures the
// other processes, CPU time still measures us.
double cpu_seconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char** argv)
{
    // --layout-only: analysis and layout figures and where each PCM stream lies, no decoding.
    const bool layout_only = argc == 3 && std::string(argv[1]) == "--layout-only";
    if (argc < 2 || (argc == 3 && !layout_only)) {
        std::fprintf(stderr, "usage: %s [--layout-only] CLIP\n", argv[0]);
        return 2;
    }
    if (layout_only)
        ++argv;
    kov::UniqueFd fd(::open(argv[1], O_RDONLY | O_CLOEXEC));
    if (!fd) {
        std::perror(argv[1]);
        return 2;
    }
    std::printf("decoder=%s\n", decoding().description().c_str());

    std::vector<double> scan_times, build_times;
    kov::MediaScan scan;
    for (int i = 0; i < 15; ++i) {
        auto t = Clock::now();
        scan = kov::scan_media(fd.get());
        scan_times.push_back(seconds_since(t));
        kov::MediaScan copy = scan; // handed over whole, as the filesystem does
        t = Clock::now();
        auto layout = kov::build_layout(fd.get(), std::move(copy), decoding());
        build_times.push_back(seconds_since(t));
        if (!layout) {
            std::fprintf(stderr, "no layout for %s\n", argv[1]);
            return 1;
        }
    }
    std::printf("moov_bytes=%llu\n", static_cast<unsigned long long>(scan.moov_size));
    std::printf("scan_ms=%.3f\n", median(scan_times) * 1e3);
    std::printf("build_layout_ms=%.3f\n", median(build_times) * 1e3);
    std::printf("build_layout_min_ms=%.3f\n", least(build_times) * 1e3);
    if (layout_only) {
        const auto layout = kov::build_layout(fd.get(), scan, decoding());
        std::printf("regions=%zu\nstreams=%zu\ntotal_size=%llu\n", layout->regions.size(), layout->streams.size(),
                    static_cast<unsigned long long>(layout->total_size));
        for (std::size_t i = 0; i < layout->streams.size(); ++i)
            std::printf("stream_%zu_offset=%llu\nstream_%zu_size=%llu\n", i,
                        static_cast<unsigned long long>(layout->streams[i].offset), i,
                        static_cast<unsigned long long>(layout->streams[i].size));
        return 0;
    }

    // First 4 KiB of PCM from a layout that has decoded nothing yet, after
    // what the filesystem does when the file is opened (timed on its own).
    std::vector<std::uint8_t> buf(131072);
    const char* names[] = {"start", "middle", "end"};
    std::vector<double> prepare_times;
    for (int where = 0; where < 3; ++where) {
        std::vector<double> times;
        for (int i = 0; i < 9; ++i) {
            const auto layout = kov::build_layout(fd.get(), scan, decoding());
            const std::uint64_t pcm_offsets[] = {0, layout->streams[0].size / 2 & ~std::uint64_t{3},
                                                 layout->streams[0].size - 4096};
            auto t = Clock::now();
            layout->streams[0].source->prepare(fd.get());
            prepare_times.push_back(seconds_since(t));
            t = Clock::now();
            layout->read_at(fd.get(), buf.data(), 4096, layout->streams[0].offset + pcm_offsets[where]);
            times.push_back(seconds_since(t));
        }
        std::printf("first_4k_%s_us=%.1f\n", names[where], median(times) * 1e6);
        std::printf("first_4k_%s_min_us=%.1f\n", names[where], least(times) * 1e6);
    }
    std::printf("prepare_us=%.1f\n", median(prepare_times) * 1e6);

    // 4 KiB at random places of one layout: each decodes its segment up to
    // the unit it needs, what a random read through the mount costs.
    const auto layout = kov::build_layout(fd.get(), scan, decoding());
    {
        // Back to back, and 5 ms apart as when someone scrubs through a clip.
        std::mt19937_64 rng(7);
        const std::uint64_t blocks = layout->streams[0].size / 4096;
        for (const char* name : {"jump_4k", "jump_4k_spaced"}) {
            const bool spaced = name[7] != '\0';
            std::vector<double> times;
            for (int i = 0; i < (spaced ? 200 : 500) && blocks > 1; ++i) {
                const std::uint64_t at = rng() % (blocks - 1) * 4096;
                if (spaced)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                const auto t = Clock::now();
                layout->streams[0].source->read(fd.get(), buf.data(), 4096, at);
                times.push_back(seconds_since(t));
            }
            if (!times.empty()) {
                std::printf("%s_us=%.1f\n", name, median(times) * 1e6);
                std::printf("%s_min_us=%.1f\n", name, least(times) * 1e6);
            }
        }
    }

    // Sequential production straight from the PCM source, as a player reads.

    const auto t = Clock::now();
    const double cpu_start = cpu_seconds();
    std::uint64_t produced = 0;
    for (std::uint64_t off = 0; off < layout->streams[0].size; off += buf.size()) {
        const std::uint64_t want = std::min<std::uint64_t>(buf.size(), layout->streams[0].size - off);
        produced += layout->streams[0].source->read(fd.get(), buf.data(), want, off);
    }
    const double elapsed = seconds_since(t);
    const double cpu = cpu_seconds() - cpu_start;
    const double audio_seconds = static_cast<double>(layout->streams[0].frames) / layout->streams[0].rate;
    std::printf("pcm_bytes=%llu\n", static_cast<unsigned long long>(layout->streams[0].size));
    std::printf("pcm_produced=%llu\n", static_cast<unsigned long long>(produced));
    std::printf("audio_seconds=%.1f\n", audio_seconds);
    std::printf("sequential_pcm_s=%.3f\n", elapsed);
    std::printf("sequential_realtime=%.0f\n", audio_seconds / elapsed);
    std::printf("sequential_pcm_cpu_s=%.3f\n", cpu);
    return produced == layout->streams[0].size ? 0 : 1;
}
