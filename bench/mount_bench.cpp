// Measures reads through a mount of kov-orvane (or of any file): sequential
// throughput, the first 4 KiB after a cold open, random-read latency
// percentiles and parallel readers. Prints key=value lines that
// bench/mount.sh collects into medians beside `cat` and ffmpeg.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.hpp"
#include "media/file_layout.hpp"
#include "media/media_scan.hpp"
#include "bench_service.hpp"

namespace {
using kov::bench::decoding;

using Clock = std::chrono::steady_clock;
constexpr std::size_t block = 128 * 1024; // what cat reads at a time

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::uint64_t arg_u64(const char* s) { return std::strtoull(s, nullptr, 10); }

kov::UniqueFd open_or_die(const char* path)
{
    kov::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        std::perror(path);
        std::exit(2);
    }
    return fd;
}

// Reads [offset, offset + length) in 128 KiB pieces; returns the bytes read.
std::uint64_t read_range(int fd, std::uint64_t offset, std::uint64_t length)
{
    std::vector<char> buf(block);
    std::uint64_t done = 0;
    while (done < length) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(block, length - done));
        const ssize_t n = ::pread(fd, buf.data(), want, static_cast<off_t>(offset + done));
        if (n <= 0)
            break;
        done += static_cast<std::uint64_t>(n);
    }
    return done;
}

int regions(const char* path)
{
    const auto fd = open_or_die(path);
    const auto scan = kov::scan_media(fd.get());
    const auto layout = kov::build_layout(fd.get(), scan, decoding());
    if (!layout) {
        std::fprintf(stderr, "%s: not rewritten\n", path);
        return 1;
    }
    std::printf("source_size=%llu\noverlay_offset=%llu\npcm_offset=%llu\npcm_size=%llu\ntotal_size=%llu\n",
                static_cast<unsigned long long>(layout->source_size),
                static_cast<unsigned long long>(layout->regions[1].start),
                static_cast<unsigned long long>(layout->streams[0].offset),
                static_cast<unsigned long long>(layout->streams[0].size),
                static_cast<unsigned long long>(layout->total_size));
    return 0;
}

int sequential(const char* path, std::uint64_t offset, std::uint64_t length)
{
    const auto fd = open_or_die(path);
    const auto t = Clock::now();
    const std::uint64_t got = read_range(fd.get(), offset, length);
    const double s = since(t);
    std::printf("bytes=%llu\nseconds=%.6f\nmb_per_s=%.1f\n", static_cast<unsigned long long>(got), s, got / s / 1e6);
    return got == length ? 0 : 1;
}

int first_read(const char* path, std::uint64_t offset)
{
    auto t = Clock::now();
    const auto fd = open_or_die(path);
    const double open_s = since(t);
    char buf[4096];
    t = Clock::now();
    const ssize_t n = ::pread(fd.get(), buf, sizeof buf, static_cast<off_t>(offset));
    const double read_s = since(t);
    std::printf("open_us=%.1f\nread_us=%.1f\n", open_s * 1e6, read_s * 1e6);
    return n == static_cast<ssize_t>(sizeof buf) ? 0 : 1;
}

int random_reads(const char* path, std::uint64_t start, std::uint64_t end, std::size_t size, int count)
{
    const auto fd = open_or_die(path);
    // Without readahead every read is one request of exactly this size.
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_RANDOM);
    std::mt19937_64 rng(12345);
    const std::uint64_t slots = (end - start - size) / 4096;
    std::vector<char> buf(size);
    std::vector<double> us;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t offset = start + rng() % slots * 4096;
        const auto t = Clock::now();
        if (::pread(fd.get(), buf.data(), size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size))
            return 1;
        us.push_back(since(t) * 1e6);
    }
    std::sort(us.begin(), us.end());
    std::printf("p50_us=%.1f\np99_us=%.1f\n", us[us.size() / 2], us[us.size() * 99 / 100]);
    return 0;
}

int parallel(int argc, char** argv)
{
    std::vector<std::thread> readers;
    std::vector<std::uint64_t> bytes(static_cast<std::size_t>(argc));
    const auto t = Clock::now();
    for (int i = 0; i < argc; ++i) {
        readers.emplace_back([&, i] {
            const auto fd = open_or_die(argv[i]);
            bytes[static_cast<std::size_t>(i)] = read_range(fd.get(), 0, UINT64_MAX);
        });
    }
    for (auto& r : readers)
        r.join();
    const double s = since(t);
    std::uint64_t total = 0;
    for (auto b : bytes)
        total += b;
    std::printf("bytes=%llu\nseconds=%.6f\nmb_per_s=%.1f\n", static_cast<unsigned long long>(total), s,
                total / s / 1e6);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "regions" && argc == 3)
        return regions(argv[2]);
    if (mode == "seq" && argc == 5)
        return sequential(argv[2], arg_u64(argv[3]), arg_u64(argv[4]));
    if (mode == "first" && argc == 4)
        return first_read(argv[2], arg_u64(argv[3]));
    if (mode == "random" && argc == 7)
        return random_reads(argv[2], arg_u64(argv[3]), arg_u64(argv[4]), arg_u64(argv[5]),
                            static_cast<int>(arg_u64(argv[6])));
    if (mode == "parallel" && argc > 2)
        return parallel(argc - 2, argv + 2);
    std::fprintf(stderr,
                 "usage: %s regions FILE | seq FILE OFFSET LENGTH | first FILE OFFSET |\n"
                 "       random FILE START END SIZE COUNT | parallel FILE...\n",
                 argv[0]);
    return 2;
}
