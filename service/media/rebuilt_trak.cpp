#include "media/rebuilt_trak.hpp"

#include <limits>
#include <vector>

#include "media/box_header.hpp"
#include "media/sample_table_writer.hpp"

namespace kov {

namespace {

// Copies a full box with its duration set: the field follows `v0_before`
// bytes of the payload in a version 0 box (32 bits), `v1_before` in a version
// 1 box (64 bits). A duration too long for version 0 is written as "unknown"
// (all ones). A box too short to hold the field is copied as it is.
void write_with_duration(BeWriter& w, std::span<const std::uint8_t> box, std::size_t v0_before, std::size_t v1_before,
                         std::uint64_t duration)
{
    BeReader r(box);
    const auto h = read_box_header(r);
    std::uint8_t version = 0;
    BeReader fields;
    if (!h || !r.peek_at(r.position(), version) || !r.sub(version == 1 ? v1_before : v0_before, fields) ||
        !r.skip(version == 1 ? 8 : 4)) {
        w.bytes(box);
        return;
    }
    // The box keeps its size, so its header is copied as it was.
    w.bytes(box.first(static_cast<std::size_t>(h->header_size)));
    w.bytes(fields.rest());
    if (version == 1)
        w.u64(duration);
    else
        w.u32(duration > std::numeric_limits<std::uint32_t>::max() ? 0xFFFFFFFFu
                                                                  : static_cast<std::uint32_t>(duration));
    w.bytes(r.rest());
}

struct Rebuild {
    const TrackScan& track;
    std::uint64_t media_duration;
    std::uint64_t track_duration;
};

// Copies the children of a container payload, redoing what the rebuild touches.
void copy_children(BeWriter& w, std::span<const std::uint8_t> payload, std::uint32_t parent, const Rebuild& rb)
{
    for (const BoxEntry& e : list_boxes(payload)) {
        const auto bytes = box_bytes(payload, e);
        const std::uint32_t type = e.type();
        if (type == fourcc("tkhd")) {
            write_with_duration(w, bytes, 20, 28, rb.track_duration);
        } else if (type == fourcc("mdhd")) {
            write_with_duration(w, bytes, 16, 24, rb.media_duration);
        } else if (parent == fourcc("stbl")) {
            // Only the sample description stays: every other table (sample
            // groups and dependencies included) counted the old samples.
            if (type == fourcc("stsd"))
                w.bytes(bytes);
        } else if (type == fourcc("mdia") || type == fourcc("minf") || type == fourcc("stbl")) {
            const std::size_t at = w.begin_box(type);
            copy_children(w, box_payload(bytes).rest(), type, rb);
            if (type == fourcc("stbl"))
                write_sample_tables(w, rb.track);
            w.end_box(at);
        } else {
            w.bytes(bytes);
        }
    }
}

// An empty edit for the time before the first sample, then the media from its start.
void write_start_edit(BeWriter& w, const TrackScan& track, std::uint32_t movie_timescale)
{
    const std::uint64_t whole = movie_duration(track, movie_timescale, true);
    const std::uint64_t media = movie_duration(track, movie_timescale);
    const std::size_t edts = w.begin_box("edts");
    const std::size_t elst = w.begin_full_box("elst", 1, 0);
    w.u32(2);
    w.u64(whole - media);
    w.u64(~std::uint64_t{0}); // media_time -1: nothing plays
    w.u32(0x00010000);
    w.u64(media);
    w.u64(0);
    w.u32(0x00010000);
    w.end_box(elst);
    w.end_box(edts);
}

bool needs_start_edit(std::span<const std::uint8_t> trak_payload, const TrackScan& track)
{
    if (track.start_time == 0)
        return false;
    for (const BoxEntry& e : list_boxes(trak_payload))
        if (e.type() == fourcc("edts"))
            return false;
    return true;
}

} // namespace

std::vector<std::uint8_t> trak_with_start(std::span<const std::uint8_t> trak, const TrackScan& track,
                                          std::uint32_t movie_timescale)
{
    const auto payload = box_payload(trak).rest();
    if (!needs_start_edit(payload, track))
        return {trak.begin(), trak.end()};
    std::vector<std::uint8_t> out;
    BeWriter w(out);
    const std::size_t at = w.begin_box("trak");
    for (const BoxEntry& e : list_boxes(payload)) {
        w.bytes(box_bytes(payload, e));
        if (e.type() == fourcc("tkhd"))
            write_start_edit(w, track, movie_timescale);
    }
    w.end_box(at);
    return out;
}

std::uint64_t table_duration(const TrackScan& track)
{
    std::uint64_t sum = 0;
    for (const TimeToSample& e : track.time_to_sample) {
        const std::uint64_t add = std::uint64_t{e.count} * e.delta;
        sum = add > std::numeric_limits<std::uint64_t>::max() - sum ? std::numeric_limits<std::uint64_t>::max()
                                                                    : sum + add;
    }
    return sum;
}

std::uint64_t movie_duration(const TrackScan& track, std::uint32_t movie_timescale, bool from_zero)
{
    if (track.timescale == 0 || movie_timescale == 0)
        return 0;
    const unsigned __int128 media =
        static_cast<unsigned __int128>(table_duration(track)) + (from_zero ? track.start_time : 0);
    const unsigned __int128 d = media * movie_timescale / track.timescale;
    return d > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                         : static_cast<std::uint64_t>(d);
}

void write_rebuilt_trak(BeWriter& w, std::span<const std::uint8_t> trak, const TrackScan& track,
                        std::uint32_t movie_timescale)
{
    const auto with_start = trak_with_start(trak, track, movie_timescale);
    const Rebuild rb{track, table_duration(track), movie_duration(track, movie_timescale, true)};
    const std::size_t at = w.begin_box("trak");
    copy_children(w, box_payload(with_start).rest(), fourcc("trak"), rb);
    w.end_box(at);
}

void write_mvhd(BeWriter& w, std::span<const std::uint8_t> mvhd, std::uint64_t duration)
{
    write_with_duration(w, mvhd, 16, 24, duration);
}

} // namespace kov
