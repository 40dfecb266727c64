#include "media/sample_model.hpp"

#include <algorithm>

namespace kov {

std::size_t sample_limit(std::uint64_t claimed, std::uint64_t file_size)
{
    return static_cast<std::size_t>(std::min({claimed, file_size, max_track_samples}));
}

std::size_t table_sample_bound(const TrackScan& track, std::size_t limit)
{
    const auto& stsc = track.sample_to_chunk;
    const std::uint64_t n = track.chunk_offsets.size();
    const std::uint64_t wanted = std::min<std::uint64_t>(track.sample_count, limit);
    std::uint64_t bound = 0;
    for (std::size_t e = 0; e < stsc.size() && bound < wanted; ++e) {
        const std::uint64_t a = stsc[e].first_chunk;
        const std::uint64_t b = e + 1 < stsc.size() ? stsc[e + 1].first_chunk : n + 1;
        if (!(a < b && a >= 1 && a <= n))
            continue;
        const std::uint64_t samples = (std::min(b, n + 1) - a) * stsc[e].samples_per_chunk; // < 2^64
        bound = samples > wanted - bound ? wanted : bound + samples;
    }
    return static_cast<std::size_t>(bound);
}

std::vector<MediaSample> table_samples(const TrackScan& track, std::size_t limit)
{
    std::vector<MediaSample> out;
    out.reserve(table_sample_bound(track, limit));
    visit_table_samples(track, limit, [&out](const MediaSample& s) { out.push_back(s); });
    return out;
}

void visit_table_samples(const TrackScan& track, std::size_t limit, const std::function<void(const MediaSample&)>& fn)
{
    const auto& stsc = track.sample_to_chunk;
    const std::uint64_t n = track.chunk_offsets.size();
    const std::uint64_t wanted = std::min<std::uint64_t>(track.sample_count, limit);
    if (wanted == 0 || n == 0 || stsc.empty())
        return;

    // Run-length tables are walked alongside the samples.
    std::size_t stts_at = 0, ctts_at = 0, sync_at = 0;
    std::uint32_t stts_left = track.time_to_sample.empty() ? 0 : track.time_to_sample[0].count;
    std::uint32_t ctts_left = track.composition_offsets.empty() ? 0 : track.composition_offsets[0].count;
    auto next_duration = [&]() -> std::uint32_t {
        while (stts_left == 0 && stts_at + 1 < track.time_to_sample.size())
            stts_left = track.time_to_sample[++stts_at].count;
        if (stts_left == 0)
            return 0;
        --stts_left;
        return track.time_to_sample[stts_at].delta;
    };
    auto next_composition = [&]() -> std::int32_t {
        while (ctts_left == 0 && ctts_at + 1 < track.composition_offsets.size())
            ctts_left = track.composition_offsets[++ctts_at].count;
        if (ctts_left == 0)
            return 0;
        --ctts_left;
        return track.composition_offsets[ctts_at].offset;
    };
    auto is_sync = [&](std::uint64_t index) {
        const auto& list = track.sync_samples;
        if (!track.sync_table)
            return true;
        while (sync_at < list.size() && list[sync_at] < index + 1)
            ++sync_at;
        return sync_at < list.size() && list[sync_at] == index + 1;
    };

    std::uint64_t i = 0;
    for (std::size_t e = 0; e < stsc.size() && i < wanted; ++e) {
        const std::uint64_t a = stsc[e].first_chunk;
        const std::uint64_t b = e + 1 < stsc.size() ? stsc[e + 1].first_chunk : n + 1;
        const std::uint32_t spc = stsc[e].samples_per_chunk;
        if (!(a < b && a >= 1 && a <= n))
            continue;
        for (std::uint64_t k = a; k < b && k <= n && i < wanted; ++k) {
            std::uint64_t offset = track.chunk_offsets[static_cast<std::size_t>(k - 1)];
            for (std::uint32_t s = 0; s < spc && i < wanted; ++s) {
                std::uint32_t size = track.uniform_size;
                if (size == 0)
                    size = i < track.sample_sizes.size() ? track.sample_sizes[static_cast<std::size_t>(i)] : 0;
                fn({offset, size, next_duration(), next_composition(), is_sync(i)});
                offset += size;
                ++i;
            }
        }
    }
}

SampleList table_sample_list(std::shared_ptr<const TrackScan> track, std::uint64_t file_size)
{
    return [track = std::move(track), file_size](std::size_t limit) {
        return table_samples(*track, std::min(limit, sample_limit(track->sample_count, file_size)));
    };
}

} // namespace kov
