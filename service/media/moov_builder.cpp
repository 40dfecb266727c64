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
    const auto payload = box_payload(source_moov).rest();
    for (const BoxEntry& e : list_boxes(payload))
        if (e.type() == fourcc("mvhd"))
            timescale = movie_timescale_of(box_bytes(payload, e));
    return timescale;
}

std::uint32_t movie_timescale_of(std::span<const std::uint8_t> mvhd)
{
    BeReader r = box_payload(mvhd);
    std::uint8_t version = 0;
    std::uint32_t flags = 0, timescale = 0;
    if (!read_full_box(r, version, flags) || !r.skip(version == 1 ? 16 : 8))
        return 0;
    r.u32(timescale);
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

namespace {

// The kept boxes of a converted track whose fragments start late, with the
// edit list that keeps its place in time (trak_with_start's, made around a
// stand-in track header).
std::vector<std::vector<std::uint8_t>> with_start_edit(std::vector<std::vector<std::uint8_t>> kept,
                                                       const TrackScan& track, std::uint32_t movie_ts)
{
    std::vector<std::uint8_t> trak;
    BeWriter w(trak);
    const std::size_t at = w.begin_box("trak");
    w.end_box(w.begin_box("tkhd"));
    for (const auto& box : kept)
        w.bytes(box);
    w.end_box(at);
    const std::vector<std::uint8_t> with = trak_with_start(trak, track, movie_ts);
    const auto payload = box_payload(with).rest();
    kept.clear();
    for (const BoxEntry& e : list_boxes(payload))
        if (e.type() != fourcc("tkhd"))
            kept.emplace_back(box_bytes(payload, e).begin(), box_bytes(payload, e).end());
    return kept;
}

std::optional<std::vector<std::uint8_t>> read_box(const ReadAtFn& read_bytes, const FileBox& box)
{
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(box.header.size));
    if (read_bytes(box.offset, bytes.data(), bytes.size()) != static_cast<std::int64_t>(bytes.size()))
        return std::nullopt;
    return bytes;
}

} // namespace

std::optional<BuiltMoov> build_moov(const ReadAtFn& read_bytes, const MediaScan& scan,
                                    const std::vector<TrackPlan>& plans)
{
    // Only what the new box keeps is read: a converted track's sample tables
    // (most of a long recording's movie box) stay on disk.
    std::uint32_t movie_ts = 0;
    for (const FileBox& child : scan.moov_boxes) {
        if (child.header.type != fourcc("mvhd"))
            continue;
        const auto mvhd = read_box(read_bytes, child);
        if (!mvhd)
            return std::nullopt;
        movie_ts = movie_timescale_of(*mvhd);
    }

    BuiltMoov out;
    out.bytes.reserve(4096 * plans.size());
    BeWriter w(out.bytes);
    const std::size_t moov = w.begin_box("moov");
    std::size_t converted = 0;
    for (const FileBox& child : scan.moov_boxes) {
        const std::uint32_t type = child.header.type;
        // An object descriptor names the old tracks' codecs; fragment
        // defaults describe fragments the new file does not have.
        if (type == fourcc("iods") || type == fourcc("mvex"))
            continue;
        std::size_t index = scan.tracks.size();
        if (type == fourcc("trak"))
            for (std::size_t i = 0; i < scan.tracks.size(); ++i)
                if (scan.moov_offset + scan.tracks[i].trak_offset == child.offset)
                    index = i;
        if (index >= plans.size() || plans[index].action != TrackPlan::Action::to_pcm) {
            const auto bytes = read_box(read_bytes, child);
            if (!bytes)
                return std::nullopt;
            // A fragmented source's tables list none or only some of its samples.
            if (scan.fragmented && index < scan.tracks.size())
                write_rebuilt_trak(w, *bytes, scan.tracks[index], movie_ts);
            else if (scan.fragmented && type == fourcc("mvhd"))
                write_mvhd(w, *bytes, fragmented_movie_duration(scan, movie_ts));
            else
                w.bytes(*bytes);
            continue;
        }
        const TrackScan& track = scan.tracks[index];
        std::vector<std::vector<std::uint8_t>> kept;
        for (const FileBox& box : track.kept_boxes) {
            auto bytes = read_box(read_bytes, box);
            if (!bytes)
                return std::nullopt;
            kept.push_back(std::move(*bytes));
        }
        const PcmTrack& pcm = plans[index].pcm;
        PcmTrakParams params;
        params.track_id = track.track_id;
        params.rate = pcm.rate;
        params.channels = pcm.channels;
        params.frames = pcm.total_frames;
        params.media_timescale = track.timescale ? track.timescale : pcm.rate;
        params.movie_timescale = movie_ts;
        params.channel_config = plans[index].pcm.config.channel_config;
        params.quicktime = scan.quicktime || needs_quicktime(plans);
        params.frame_at = [&track, &plan = plans[index], file_size = scan.file_size](std::uint64_t time) {
            return frame_at_media_time(track, plan, file_size, time);
        };
        if (track.start_time != 0)
            kept = with_start_edit(std::move(kept), track, movie_ts);
        out.chunk_offset_at.push_back(write_pcm_trak(w, kept, track.headers, params));
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
