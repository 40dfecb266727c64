#include "media/track_plan.hpp"

#include <limits>
#include <memory>

#include "pcm/codec_library.hpp"

namespace kov {

namespace {

constexpr std::uint64_t two_pow_32 = std::uint64_t{1} << 32;

// The PCM track of one AAC track, or nothing when it cannot have one.
bool plan_pcm(int fd, const MediaScan& scan, const TrackScan& track, bool decode, PcmTrack& p)
{
    p.asc = track.asc;
    p.rate = track.asc_rate ? track.asc_rate : track.sample_rate;
    p.channels = track.asc_channels ? track.asc_channels : track.channels;
    p.frames_per_unit = track.sbr ? 2048 : 1024;
    const auto tables = std::make_shared<const TrackScan>(track);
    const bool timed = !track.time_to_sample.empty();
    p.units = pcm_units(table_sample_list(tables, scan.file_size), 0);
    if (decode)
        probe_stream(fd, p);
    if (p.rate == 0)
        p.rate = track.sample_rate ? track.sample_rate : 48000;
    if (p.channels == 0)
        p.channels = track.channels ? track.channels : 2;

    p.timescale = track.timescale ? track.timescale : p.rate;
    unsigned __int128 duration = 0;
    for (const auto& e : track.time_to_sample)
        duration += static_cast<unsigned __int128>(e.count) * e.delta;
    const std::uint64_t ticks = duration > std::numeric_limits<std::uint64_t>::max()
                                    ? std::numeric_limits<std::uint64_t>::max()
                                    : static_cast<std::uint64_t>(duration);
    p.total_frames = timed ? time_to_frame(ticks, p.timescale, p.rate) : 0;
    if (p.total_frames == 0) {
        // No usable timing: the units are laid end to end, one decoded unit each.
        p.timescale = p.rate;
        p.total_frames = std::uint64_t{p.frames_per_unit} * track.sample_count;
        p.units = pcm_units(table_sample_list(tables, scan.file_size), p.frames_per_unit);
    }
    // The PCM track's tables count frames in 32 bits; a longer track (over a
    // day at 48 kHz) is left as it is rather than mislabelled.
    return p.total_frames != 0 && p.total_frames < two_pow_32;
}

} // namespace

PcmUnitList pcm_units(SampleList samples, std::uint32_t uniform_delta)
{
    return [samples = std::move(samples), uniform_delta](std::size_t limit) {
        const std::vector<MediaSample> list = samples(limit);
        std::vector<PcmUnit> units;
        units.reserve(list.size());
        std::uint64_t time = 0;
        for (const MediaSample& s : list) {
            units.push_back({s.offset, s.size, time});
            time += uniform_delta ? uniform_delta : s.duration;
        }
        return units;
    };
}

std::vector<TrackPlan> plan_tracks(int fd, const MediaScan& scan, bool decode)
{
    decode = decode && codec_library_bound();
    std::vector<TrackPlan> plans(scan.tracks.size());
    for (std::size_t i = 0; i < scan.tracks.size(); ++i) {
        const TrackScan& track = scan.tracks[i];
        if (!track.aac || !plan_pcm(fd, scan, track, decode, plans[i].pcm)) {
            plans[i] = TrackPlan{};
            continue;
        }
        plans[i].action = TrackPlan::Action::to_pcm;
        plans[i].channel_config = track.channel_config;
    }
    return plans;
}

} // namespace kov
