#include "media/sample_table_writer.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kov {

namespace {

// Calls fn(count, value) for each run of equal values of `field`.
template <typename Field, typename Fn> void for_each_run(std::span<const MediaSample> samples, Field field, Fn fn)
{
    std::size_t i = 0;
    while (i < samples.size()) {
        std::size_t j = i + 1;
        while (j < samples.size() && field(samples[j]) == field(samples[i]))
            ++j;
        fn(static_cast<std::uint32_t>(j - i), field(samples[i]));
        i = j;
    }
}

template <typename Field> std::uint32_t count_runs(std::span<const MediaSample> samples, Field field)
{
    std::uint32_t runs = 0;
    for_each_run(samples, field, [&](std::uint32_t, auto) { ++runs; });
    return runs;
}

void write_stts(BeWriter& w, std::span<const MediaSample> samples)
{
    const auto duration = [](const MediaSample& s) { return s.duration; };
    const std::size_t at = w.begin_full_box("stts", 0, 0);
    w.u32(count_runs(samples, duration));
    for_each_run(samples, duration, [&](std::uint32_t count, std::uint32_t delta) {
        w.u32(count);
        w.u32(delta);
    });
    w.end_box(at);
}

void write_ctts(BeWriter& w, std::span<const MediaSample> samples)
{
    const auto offset = [](const MediaSample& s) { return s.composition_offset; };
    if (std::all_of(samples.begin(), samples.end(), [](const MediaSample& s) { return s.composition_offset == 0; }))
        return;
    const bool negative =
        std::any_of(samples.begin(), samples.end(), [](const MediaSample& s) { return s.composition_offset < 0; });
    const std::size_t at = w.begin_full_box("ctts", negative ? 1 : 0, 0);
    w.u32(count_runs(samples, offset));
    for_each_run(samples, offset, [&](std::uint32_t count, std::int32_t value) {
        w.u32(count);
        w.u32(static_cast<std::uint32_t>(value));
    });
    w.end_box(at);
}

void write_stss(BeWriter& w, std::span<const MediaSample> samples)
{
    const auto sync = static_cast<std::uint32_t>(
        std::count_if(samples.begin(), samples.end(), [](const MediaSample& s) { return s.sync; }));
    if (sync == samples.size())
        return;
    const std::size_t at = w.begin_full_box("stss", 0, 0);
    w.u32(sync);
    for (std::size_t i = 0; i < samples.size(); ++i)
        if (samples[i].sync)
            w.u32(static_cast<std::uint32_t>(i + 1));
    w.end_box(at);
}

void write_stsz(BeWriter& w, std::span<const MediaSample> samples)
{
    const bool uniform = !samples.empty() && std::all_of(samples.begin(), samples.end(), [&](const MediaSample& s) {
        return s.size == samples.front().size;
    });
    const std::size_t at = w.begin_full_box("stsz", 0, 0);
    w.u32(uniform ? samples.front().size : 0);
    w.u32(static_cast<std::uint32_t>(samples.size()));
    if (!uniform)
        for (const MediaSample& s : samples)
            w.u32(s.size);
    w.end_box(at);
}

// stsc and the chunk offsets from the runs of samples adjacent in the file.
void write_chunks(BeWriter& w, std::span<const MediaSample> samples)
{
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint32_t> lengths; // samples per chunk
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (i > 0 && samples[i].offset == samples[i - 1].offset + samples[i - 1].size) {
            ++lengths.back();
        } else {
            offsets.push_back(samples[i].offset);
            lengths.push_back(1);
        }
    }

    std::size_t at = w.begin_full_box("stsc", 0, 0);
    const std::size_t count_at = w.size();
    w.u32(0);
    std::uint32_t entries = 0;
    for (std::size_t c = 0; c < lengths.size(); ++c) {
        if (c > 0 && lengths[c] == lengths[c - 1])
            continue;
        w.u32(static_cast<std::uint32_t>(c + 1));
        w.u32(lengths[c]);
        w.u32(1);
        ++entries;
    }
    w.patch_u32(count_at, entries);
    w.end_box(at);

    const bool wide = std::any_of(offsets.begin(), offsets.end(), [](std::uint64_t o) { return o > 0xffffffffu; });
    at = w.begin_full_box(wide ? "co64" : "stco", 0, 0);
    w.u32(static_cast<std::uint32_t>(offsets.size()));
    for (const std::uint64_t o : offsets) {
        if (wide)
            w.u64(o);
        else
            w.u32(static_cast<std::uint32_t>(o));
    }
    w.end_box(at);
}

} // namespace

void write_sample_tables(BeWriter& w, std::span<const MediaSample> samples)
{
    write_stts(w, samples);
    write_ctts(w, samples);
    write_stss(w, samples);
    write_stsz(w, samples);
    write_chunks(w, samples);
}

} // namespace kov
