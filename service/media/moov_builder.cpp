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

// The longest track, once each counts from the movie's start.
std::uint64_t retimed_movie_duration(const MediaScan& scan, std::uint32_t movie_ts)
{
    std::uint64_t longest = 0;
    for (const TrackScan& t : scan.tracks)
        longest = std::max(longest, movie_duration(t, movie_ts, true));
    return longest;
}

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

// One new movie box being written from the source's children and the plans.
class MoovWriter {
  public:
    MoovWriter(const ReadAtFn& read_bytes, const MediaScan& scan, const std::vector<TrackPlan>& plans,
               std::uint32_t movie_ts, BuiltMoov& out)
        : read_bytes_(read_bytes), scan_(scan), plans_(plans), movie_ts_(movie_ts), out_(out), w_(out.bytes),
          retimed_(std::any_of(plans.begin(), plans.end(), [](const TrackPlan& p) { return p.retimed; }))
    {
    }

    bool child(const FileBox& child)
    {
        const std::uint32_t type = child.header.type;
        // An object descriptor names the old tracks' codecs; fragment
        // defaults describe fragments the new file does not have.
        if (type == fourcc("iods") || type == fourcc("mvex"))
            return true;
        const std::size_t index = type == fourcc("trak") ? track_at(child.offset) : scan_.tracks.size();
        const TrackPlan::Action action = index < plans_.size() ? plans_[index].action : TrackPlan::Action::copy;
        if (action == TrackPlan::Action::to_pcm)
            return converted(index);
        const auto bytes = read_box(read_bytes_, child);
        if (!bytes)
            return false;
        if (action == TrackPlan::Action::rebuild_tables)
            write_rebuilt_trak(w_, *bytes, scan_.tracks[index], movie_ts_);
        else if (retimed_ && type == fourcc("mvhd"))
            write_mvhd(w_, *bytes, retimed_movie_duration(scan_, movie_ts_));
        else
            w_.bytes(*bytes);
        return true;
    }

    BeWriter& writer() { return w_; }

  private:
    std::size_t track_at(std::uint64_t offset) const
    {
        std::size_t index = scan_.tracks.size();
        for (std::size_t i = 0; i < scan_.tracks.size(); ++i)
            if (scan_.moov_offset + scan_.tracks[i].trak_offset == offset)
                index = i;
        return index;
    }

    bool converted(std::size_t index)
    {
        const TrackScan& track = scan_.tracks[index];
        std::vector<std::vector<std::uint8_t>> kept;
        for (const FileBox& box : track.kept_boxes) {
            auto bytes = read_box(read_bytes_, box);
            if (!bytes)
                return false;
            kept.push_back(std::move(*bytes));
        }
        const PcmTrack& pcm = plans_[index].pcm;
        PcmTrakParams params;
        params.track_id = track.track_id;
        params.rate = pcm.rate;
        params.channels = pcm.channels;
        params.bits = pcm.bits;
        params.frames = pcm.total_frames;
        params.media_timescale = track.timescale ? track.timescale : pcm.rate;
        params.movie_timescale = movie_ts_;
        params.channel_config = pcm.config.channel_config;
        params.channel_bitmap = pcm.config.channel_bitmap;
        params.quicktime = scan_.quicktime || needs_quicktime(plans_);
        params.frame_at = [&track, &plan = plans_[index], file_size = scan_.file_size](std::uint64_t time) {
            return frame_at_media_time(track, plan, file_size, time);
        };
        if (track.start_time != 0)
            kept = with_start_edit(std::move(kept), track, movie_ts_);
        out_.chunk_offset_at.push_back(write_pcm_trak(w_, kept, track.headers, params));
        return true;
    }

    const ReadAtFn& read_bytes_;
    const MediaScan& scan_;
    const std::vector<TrackPlan>& plans_;
    std::uint32_t movie_ts_;
    BuiltMoov& out_;
    BeWriter w_;
    bool retimed_;
};

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
    MoovWriter writer(read_bytes, scan, plans, movie_ts, out);
    const std::size_t moov = writer.writer().begin_box("moov");
    for (const FileBox& child : scan.moov_boxes)
        if (!writer.child(child))
            return std::nullopt;
    const auto planned = static_cast<std::size_t>(std::count_if(
        plans.begin(), plans.end(), [](const TrackPlan& p) { return p.action == TrackPlan::Action::to_pcm; }));
    if (out.chunk_offset_at.size() != planned || out.bytes.size() > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    writer.writer().end_box(moov);
    return out;
}

} // namespace kov
