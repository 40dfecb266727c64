#include "media/sample_table_writer.hpp"

#include <algorithm>
#include <cstdint>

namespace kov {

void set_sample_tables(TrackScan& t, std::span<const MediaSample> samples)
{
    t.sample_count = samples.size();
    t.uniform_size = 0;
    t.sample_sizes.clear();
    t.time_to_sample.clear();
    t.sample_to_chunk.clear();
    t.chunk_offsets.clear();
    t.sync_samples.clear();
    t.sync_table = false;
    t.composition_offsets.clear();
    if (samples.empty())
        return;

    const bool uniform = std::all_of(samples.begin(), samples.end(),
                                     [&](const MediaSample& s) { return s.size == samples.front().size; });
    if (uniform && samples.front().size != 0)
        t.uniform_size = samples.front().size;
    else
        t.sample_sizes.reserve(samples.size());
    const bool all_sync = std::all_of(samples.begin(), samples.end(), [](const MediaSample& s) { return s.sync; });
    t.sync_table = !all_sync;
    const bool composed =
        std::any_of(samples.begin(), samples.end(), [](const MediaSample& s) { return s.composition_offset != 0; });

    std::uint32_t in_chunk = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const MediaSample& s = samples[i];
        if (t.uniform_size == 0)
            t.sample_sizes.push_back(s.size);
        if (!t.time_to_sample.empty() && t.time_to_sample.back().delta == s.duration)
            ++t.time_to_sample.back().count;
        else
            t.time_to_sample.push_back({1, s.duration});
        if (composed) {
            if (!t.composition_offsets.empty() && t.composition_offsets.back().offset == s.composition_offset)
                ++t.composition_offsets.back().count;
            else
                t.composition_offsets.push_back({1, s.composition_offset});
        }
        if (!all_sync && s.sync)
            t.sync_samples.push_back(static_cast<std::uint32_t>(i + 1));

        // A new chunk wherever the sample does not follow the previous one;
        // a stsc entry wherever the chunk length changes.
        if (i > 0 && s.offset == samples[i - 1].offset + samples[i - 1].size) {
            ++in_chunk;
            continue;
        }
        if (i > 0 && (t.sample_to_chunk.empty() || t.sample_to_chunk.back().samples_per_chunk != in_chunk))
            t.sample_to_chunk.push_back({static_cast<std::uint32_t>(t.chunk_offsets.size()), in_chunk, 1});
        t.chunk_offsets.push_back(s.offset);
        in_chunk = 1;
    }
    if (t.sample_to_chunk.empty() || t.sample_to_chunk.back().samples_per_chunk != in_chunk)
        t.sample_to_chunk.push_back({static_cast<std::uint32_t>(t.chunk_offsets.size()), in_chunk, 1});
}

namespace {

void write_stts(BeWriter& w, const TrackScan& t)
{
    const std::size_t at = w.begin_full_box("stts", 0, 0);
    w.u32(static_cast<std::uint32_t>(t.time_to_sample.size()));
    for (const TimeToSample& e : t.time_to_sample) {
        w.u32(e.count);
        w.u32(e.delta);
    }
    w.end_box(at);
}

void write_ctts(BeWriter& w, const TrackScan& t)
{
    if (t.composition_offsets.empty())
        return;
    const bool negative = std::any_of(t.composition_offsets.begin(), t.composition_offsets.end(),
                                      [](const CompositionOffset& e) { return e.offset < 0; });
    const std::size_t at = w.begin_full_box("ctts", negative ? 1 : 0, 0);
    w.u32(static_cast<std::uint32_t>(t.composition_offsets.size()));
    for (const CompositionOffset& e : t.composition_offsets) {
        w.u32(e.count);
        w.u32(static_cast<std::uint32_t>(e.offset));
    }
    w.end_box(at);
}

// A track with no sync sample at all still needs its (empty) table: without
// one every sample would count as a sync sample.
void write_stss(BeWriter& w, const TrackScan& t)
{
    if (!t.sync_table)
        return;
    const std::size_t at = w.begin_full_box("stss", 0, 0);
    w.u32(static_cast<std::uint32_t>(t.sync_samples.size()));
    for (const std::uint32_t s : t.sync_samples)
        w.u32(s);
    w.end_box(at);
}

void write_stsz(BeWriter& w, const TrackScan& t)
{
    const std::size_t at = w.begin_full_box("stsz", 0, 0);
    w.u32(t.uniform_size);
    w.u32(static_cast<std::uint32_t>(t.sample_count));
    if (t.uniform_size == 0)
        for (const std::uint32_t s : t.sample_sizes)
            w.u32(s);
    w.end_box(at);
}

void write_stsc(BeWriter& w, const TrackScan& t)
{
    const std::size_t at = w.begin_full_box("stsc", 0, 0);
    w.u32(static_cast<std::uint32_t>(t.sample_to_chunk.size()));
    for (const SampleToChunk& e : t.sample_to_chunk) {
        w.u32(e.first_chunk);
        w.u32(e.samples_per_chunk);
        w.u32(e.description_index);
    }
    w.end_box(at);
}

void write_stco(BeWriter& w, const TrackScan& t)
{
    const bool wide =
        std::any_of(t.chunk_offsets.begin(), t.chunk_offsets.end(), [](std::uint64_t o) { return o > 0xFFFFFFFFu; });
    const std::size_t at = w.begin_full_box(wide ? "co64" : "stco", 0, 0);
    w.u32(static_cast<std::uint32_t>(t.chunk_offsets.size()));
    for (const std::uint64_t o : t.chunk_offsets) {
        if (wide)
            w.u64(o);
        else
            w.u32(static_cast<std::uint32_t>(o));
    }
    w.end_box(at);
}

} // namespace

void write_sample_tables(BeWriter& w, const TrackScan& t)
{
    write_stts(w, t);
    write_ctts(w, t);
    write_stss(w, t);
    write_stsz(w, t);
    write_stsc(w, t);
    write_stco(w, t);
}

void write_sample_tables(BeWriter& w, std::span<const MediaSample> samples)
{
    TrackScan t;
    set_sample_tables(t, samples);
    write_sample_tables(w, t);
}

} // namespace kov
