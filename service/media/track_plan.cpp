#include "media/track_plan.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>

#include "pcm/decoding_service.hpp"

namespace kov {

namespace {

// Each sample as a unit, its time summed from the durations before it.
class UnitTimer {
  public:
    UnitTimer(std::uint32_t uniform_delta, const PcmUnitVisitor& visit) : delta_(uniform_delta), visit_(visit) {}
    void operator()(const MediaSample& s)
    {
        visit_({s.offset, s.size, time_});
        time_ += delta_ ? delta_ : s.duration;
    }

  private:
    std::uint32_t delta_;
    const PcmUnitVisitor& visit_;
    std::uint64_t time_ = 0;
};

// The units of a track's sample tables, straight from the tables: the sample
// list of a 2-hour track would be 8 MiB more.
void visit_table_units(const TrackScan& track, std::uint64_t file_size, std::size_t limit, std::uint32_t uniform_delta,
                       const PcmUnitVisitor& visit)
{
    UnitTimer timer(uniform_delta, visit);
    visit_table_samples(track, std::min(limit, sample_limit(track.sample_count, file_size)),
                        [&timer](const MediaSample& s) { timer(s); });
}

PcmUnitList table_units(std::shared_ptr<const TrackScan> tables, std::uint64_t file_size, std::uint32_t uniform_delta)
{
    return [tables = std::move(tables), file_size, uniform_delta](int, std::size_t limit, const PcmUnitVisitor& visit) {
        visit_table_units(*tables, file_size, limit, uniform_delta, visit);
    };
}

constexpr std::uint64_t two_pow_32 = std::uint64_t{1} << 32;

// What a decoding probe made of one configuration and the guesses it started
// from. Tracks that share both decode to the same format, so a recording with
// six tracks of one kind opens one decoder at build time, not six.
struct Probed {
    DecoderConfig config;
    std::uint32_t rate = 0, channels = 0, frames_per_unit = 0; // before
    PcmTrack after;                                            // rate, channels, frames_per_unit
};

struct Prober {
    DecodingService& decoding;
    std::vector<Probed> probed;
};

void probe_once(int fd, PcmTrack& p, Prober& prober)
{
    std::vector<Probed>& probed = prober.probed;
    for (const Probed& done : probed) {
        if (done.config == p.config && done.rate == p.rate && done.channels == p.channels &&
            done.frames_per_unit == p.frames_per_unit) {
            p.rate = done.after.rate;
            p.channels = done.after.channels;
            p.frames_per_unit = done.after.frames_per_unit;
            return;
        }
    }
    Probed entry{p.config, p.rate, p.channels, p.frames_per_unit, {}};
    prober.decoding.probe_stream(fd, p);
    entry.after.rate = p.rate;
    entry.after.channels = p.channels;
    entry.after.frames_per_unit = p.frames_per_unit;
    probed.push_back(std::move(entry));
}

// The PCM track of one track to convert, or nothing when it cannot have one.
bool plan_pcm(int fd, std::uint64_t file_size, TrackScan& track, Prober* prober, PcmTrack& p,
              std::uint32_t& uniform_delta)
{
    uniform_delta = 0;
    p.config = track.decoder;
    p.rate = p.config.rate ? p.config.rate : track.sample_rate;
    p.channels = p.config.channels ? p.config.channels : track.channels;
    p.frames_per_unit = p.config.frames_per_unit;
    p.bits = p.config.bits > 16 ? 24 : 16;
    // The unit list owns the tables from now on; the timing stays with the
    // scan as well (it is small, and the movie box needs it).
    auto owned = std::make_shared<TrackScan>();
    owned->sample_count = track.sample_count;
    owned->uniform_size = track.uniform_size;
    owned->time_to_sample = track.time_to_sample;
    owned->sample_sizes = std::move(track.sample_sizes);
    owned->sample_to_chunk = std::move(track.sample_to_chunk);
    owned->chunk_offsets = std::move(track.chunk_offsets);
    const std::shared_ptr<const TrackScan> tables = owned;
    const bool timed = !track.time_to_sample.empty();
    p.units = table_units(tables, file_size, 0);
    if (prober)
        probe_once(fd, p, *prober);
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
        uniform_delta = p.frames_per_unit;
        p.units = table_units(tables, file_size, uniform_delta);
    }
    // The PCM track's tables count frames in 32 bits; a longer track (over a
    // day at 48 kHz) is left as it is rather than mislabelled.
    if (p.total_frames != 0 && p.total_frames < two_pow_32)
        return true;
    p = PcmTrack{}; // no unit list shares the tables any more: the track gets them back
    track.sample_sizes = std::move(owned->sample_sizes);
    track.sample_to_chunk = std::move(owned->sample_to_chunk);
    track.chunk_offsets = std::move(owned->chunk_offsets);
    return false;
}

} // namespace

PcmUnitList pcm_units(SampleList samples, std::uint32_t uniform_delta)
{
    return [samples = std::move(samples), uniform_delta](int, std::size_t limit, const PcmUnitVisitor& visit) {
        UnitTimer timer(uniform_delta, visit);
        for (const MediaSample& s : samples(limit))
            timer(s);
    };
}

namespace {

// A long recording's sample tables are megabytes per track, and a layout is
// built for every clip a folder listing shows: the unit list of a track with
// its tables in the movie box reads them again when it is first needed,
// through the descriptor of the read that needs them, instead of holding
// them from the analysis on.
PcmUnitList reread_units(std::uint64_t trak_at, std::uint64_t trak_size, std::uint64_t file_size,
                         std::uint32_t uniform_delta)
{
    return [trak_at, trak_size, file_size, uniform_delta](int fd, std::size_t limit, const PcmUnitVisitor& visit) {
        visit_table_units(read_track(fd, trak_at, trak_size), file_size, limit, uniform_delta, visit);
    };
}

} // namespace

bool needs_quicktime(const std::vector<TrackPlan>& plans)
{
    return std::any_of(plans.begin(), plans.end(), [](const TrackPlan& p) {
        return p.action == TrackPlan::Action::to_pcm && (p.pcm.rate >= 65536 || p.pcm.bits != 16);
    });
}

std::uint64_t frame_at_media_time(const TrackScan& track, const TrackPlan& plan, std::uint64_t file_size,
                                  std::uint64_t time)
{
    const PcmTrack& p = plan.pcm;
    const std::uint64_t at = time_to_frame(time, p.timescale, p.rate);
    if (plan.end_to_end)
        return at;
    // The last unit that starts at or before `time`, walked as the unit list
    // would be (no further than its units go).
    std::uint64_t units = sample_limit(track.sample_count, file_size);
    UnitPlacer placer(p);
    std::uint64_t unit_time = 0, timed_at = 0, placed_at = 0;
    for (const TimeToSample& e : track.time_to_sample) {
        for (std::uint32_t k = 0; k < e.count && units > 0 && unit_time <= time; ++k, --units) {
            placed_at = placer.place(unit_time);
            timed_at = time_to_frame(unit_time, p.timescale, p.rate);
            unit_time += e.delta;
        }
        if (units == 0 || unit_time > time)
            break;
    }
    return placed_at + (at - timed_at);
}

std::vector<TrackPlan> plan_tracks(int fd, MediaScan& scan, DecodingService* decoding)
{
    std::optional<Prober> prober;
    if (decoding && decoding->bound())
        prober.emplace(Prober{*decoding, {}});
    Prober* probe = prober ? &*prober : nullptr;
    std::vector<TrackPlan> plans(scan.tracks.size());
    for (std::size_t i = 0; i < scan.tracks.size(); ++i) {
        TrackScan& track = scan.tracks[i];
        std::uint32_t uniform_delta = 0;
        if (track.decoder.codec == Codec::none || !plan_pcm(fd, scan.file_size, track, probe, plans[i].pcm, uniform_delta)) {
            plans[i] = TrackPlan{};
            plans[i].action = scan.fragmented ? TrackPlan::Action::rebuild_tables : TrackPlan::Action::copy;
            plans[i].retimed = scan.fragmented;
            continue;
        }
        plans[i].action = TrackPlan::Action::to_pcm;
        plans[i].retimed = scan.fragmented;
        plans[i].end_to_end = uniform_delta != 0;
        // Fragment samples exist only in the analysis: those tracks keep theirs.
        if (!scan.fragmented)
            plans[i].pcm.units =
                reread_units(scan.moov_offset + track.trak_offset, track.trak_size, scan.file_size, uniform_delta);
    }
    return plans;
}

} // namespace kov
