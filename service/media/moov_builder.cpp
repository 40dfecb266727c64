#include "media/moov_builder.hpp"

#include <algorithm>
#include <limits>

#include "media/be_reader.hpp"
#include "media/be_writer.hpp"
#include "media/box_header.hpp"
#include "media/pcm_trak.hpp"
#include "media/rebuilt_trak.hpp"

namespace kov {

std::uint32_t movie_timescale(std::span<const std::uint8_t> source_moov)
{
    std::uint32_t timescale = 0;
    for_each_box(box_payload(source_moov), [&](const BoxEntry& e, BeReader r) {
        if (e.type() != fourcc("mvhd"))
            return;
        timescale = 0;
        std::uint8_t version = 0;
        std::uint32_t flags = 0;
        if (!read_full_box(r, version, flags) || !r.skip(version == 1 ? 16 : 8))
            return;
        r.u32(timescale);
    });
    return timescale;
}

namespace {

// The longest track of a fragmented source, once its fragments are counted.
std::uint64_t fragmented_movie_duration(const MediaScan& scan, std::uint32_t movie_ts)
{
    std::uint64_t longest = 0;
    for (const TrackScan& t : scan.tracks)
        longest = std::max(longest, movie_duration(t, movie_ts, true));
    return longest;
}

} // namespace

std::optional<BuiltMoov> build_moov(std::span<const std::uint8_t> source_moov, const MediaScan& scan,
                                    const std::vector<TrackPlan>& plans)
{
    const std::uint32_t movie_ts = movie_timescale(source_moov);
    const BeReader payload = box_payload(source_moov);
    const std::size_t payload_at = source_moov.size() - payload.remaining();

    BuiltMoov out;
    out.bytes.reserve(source_moov.size() + 512 * plans.size());
    BeWriter w(out.bytes);
    const std::size_t moov = w.begin_box("moov");
    std::size_t converted = 0;
    for (const BoxEntry& e : list_boxes(payload.rest())) {
        const auto bytes = box_bytes(payload.rest(), e);
        // An object descriptor names the old tracks' codecs; fragment
        // defaults describe fragments the new file does not have.
        if (e.type() == fourcc("iods") || e.type() == fourcc("mvex"))
            continue;
        std::size_t index = scan.tracks.size();
        if (e.type() == fourcc("trak"))
            for (std::size_t i = 0; i < scan.tracks.size(); ++i)
                if (scan.tracks[i].trak_offset == payload_at + e.offset && scan.tracks[i].trak_size == e.size())
                    index = i;
        if (index >= plans.size() || plans[index].action != TrackPlan::Action::to_pcm) {
            // A fragmented source's tables list none or only some of its samples.
            if (scan.fragmented && index < scan.tracks.size())
                write_rebuilt_trak(w, bytes, scan.tracks[index], movie_ts);
            else if (scan.fragmented && e.type() == fourcc("mvhd"))
                write_mvhd(w, bytes, fragmented_movie_duration(scan, movie_ts));
            else
                w.bytes(bytes);
            continue;
        }
        const TrackScan& track = scan.tracks[index];
        const PcmTrack& pcm = plans[index].pcm;
        PcmTrakParams params;
        params.track_id = track.track_id;
        params.rate = pcm.rate;
        params.channels = pcm.channels;
        params.frames = pcm.total_frames;
        params.media_timescale = track.timescale ? track.timescale : pcm.rate;
        params.movie_timescale = movie_ts;
        params.channel_config = plans[index].channel_config;
        const auto source_trak = trak_with_start(bytes, track, movie_ts);
        out.chunk_offset_at.push_back(write_pcm_trak(w, source_trak, track.headers, params));
        ++converted;
    }
    std::size_t planned = 0;
    for (const auto& p : plans)
        planned += p.action == TrackPlan::Action::to_pcm ? 1 : 0;
    if (converted != planned || out.bytes.size() > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    w.end_box(moov);
    return out;
}

} // namespace kov
