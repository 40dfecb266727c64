#include "media/file_layout.hpp"

#include "common/full_io.hpp"

#include <algorithm>
#include <limits>
#include <optional>

#include "media/be_writer.hpp"
#include "media/moov_builder.hpp"
#include "media/track_plan.hpp"
#include "pcm/pcm_track.hpp"
#include "pcm/decoding_service.hpp"
#include "pcm/silent_pcm.hpp"

namespace kov {

namespace {

constexpr std::uint64_t two_pow_32 = std::uint64_t{1} << 32;

struct Overlay {
    std::uint64_t offset = 0;
    std::uint32_t value = 0;
};

// The overlays the source part of the rewritten file needs, from the scan's
// top-level boxes, or nothing when the file does not end in a whole box:
// appended boxes after a truncated box or stray bytes would be unreachable for
// a reader, while the old movie box already reads as free space.
// `quicktime`: the file type's major brand reads "qt  ". PCM above 65535 Hz
// has only the QuickTime version 2 sound description, which MediaInfo reads
// as a version 0 entry (3 channels, big-endian) in a file branded ISO.
std::optional<std::vector<Overlay>> source_overlays(const MediaScan& scan, bool quicktime)
{
    std::vector<Overlay> overlays;
    bool saw_selected_moov = false;
    std::uint64_t end = 0;
    for (const FileBox& box : scan.boxes) {
        if (box.offset >= scan.kept_size)
            break; // a cut-off recording's incomplete fragment and what follows
        if (box.offset != end)
            return std::nullopt;
        end = box.offset + box.header.size;
        if (box.header.to_end) {
            // "To the end of the file" would swallow the appended boxes; the
            // rewritten file states the real size instead.
            if (box.header.size > std::numeric_limits<std::uint32_t>::max())
                return std::nullopt;
            overlays.push_back({box.offset, static_cast<std::uint32_t>(box.header.size)});
        }
        if (box.header.type == fourcc("moof"))
            overlays.push_back({box.offset + 4, fourcc("free")}); // its samples are in the new movie box
        if (quicktime && box.header.type == fourcc("ftyp") && box.header.payload_size() >= 4) {
            overlays.push_back({box.offset + box.header.header_size, fourcc("qt  ")});
            quicktime = false;
        }
        if (box.header.type == fourcc("moov")) {
            // Every old movie box reads as free space, so a reader that takes
            // the first movie box it meets still finds the new one.
            overlays.push_back({box.offset + 4, fourcc("free")});
            saw_selected_moov = saw_selected_moov || box.offset == scan.moov_offset;
        }
    }
    if (scan.keeps_cut_box && scan.cut_box && scan.cut_box->offset == end && scan.kept_size > end) {
        // The media data a recording was cut off in, up to its last whole sample.
        const FileBox& cut = *scan.cut_box;
        const std::uint64_t size = scan.kept_size - cut.offset;
        if (cut.header.header_size == 16) {
            overlays.push_back({cut.offset + 8, static_cast<std::uint32_t>(size >> 32)});
            overlays.push_back({cut.offset + 12, static_cast<std::uint32_t>(size)});
        } else if (size <= std::numeric_limits<std::uint32_t>::max()) {
            overlays.push_back({cut.offset, static_cast<std::uint32_t>(size)});
        } else {
            return std::nullopt;
        }
        end = scan.kept_size;
    }
    if (end != scan.kept_size || !saw_selected_moov)
        return std::nullopt;
    std::sort(overlays.begin(), overlays.end(), [](const Overlay& a, const Overlay& b) { return a.offset < b.offset; });
    return overlays;
}

void add_region(FileLayout& l, LayoutRegion r)
{
    r.start = l.total_size;
    l.total_size += r.size;
    l.regions.push_back(r);
}

// The kept source bytes, with the overlays in their places.
void add_source_regions(FileLayout& l, const std::vector<Overlay>& overlays, std::uint64_t kept_size)
{
    l.source_size = kept_size;
    for (const Overlay& o : overlays) {
        if (o.offset > l.total_size)
            add_region(l, {0, o.offset - l.total_size, LayoutRegion::Kind::source, 0, {}});
        LayoutRegion r{0, 4, LayoutRegion::Kind::overlay, 0, {}};
        for (std::size_t i = 0; i < 4; ++i)
            r.overlay[i] = static_cast<std::uint8_t>(o.value >> (24 - 8 * i));
        add_region(l, r);
    }
    if (l.total_size < kept_size)
        add_region(l, {0, kept_size - l.total_size, LayoutRegion::Kind::source, 0, {}});
}

// The header of a media data box holding `payload` bytes.
std::vector<std::uint8_t> mdat_header(std::uint64_t payload)
{
    std::vector<std::uint8_t> header;
    BeWriter w(header);
    if (payload + 8 < two_pow_32) {
        w.u32(static_cast<std::uint32_t>(payload + 8));
        w.fourcc("mdat");
    } else {
        w.u32(1);
        w.fourcc("mdat");
        w.u64(payload + 16);
    }
    return header;
}

// After the source: the new movie box, then one media data box holding every
// converted track's PCM, one stream after another; each track's chunk offset
// says where its stream starts.
void add_pcm_regions(FileLayout& l, const std::vector<TrackPlan>& plans, BuiltMoov moov)
{
    std::uint64_t pcm_size = 0;
    for (const TrackPlan& p : plans) {
        if (p.action != TrackPlan::Action::to_pcm)
            continue;
        PcmStream s;
        s.rate = p.pcm.rate;
        s.channels = p.pcm.channels;
        s.frames = p.pcm.total_frames;
        s.bits = p.pcm.bits;
        s.size = s.frames * p.pcm.channels * p.pcm.sample_bytes();
        pcm_size += s.size;
        l.streams.push_back(std::move(s));
    }
    l.blocks = {std::move(moov.bytes), mdat_header(pcm_size)};
    add_region(l, {0, l.blocks[0].size(), LayoutRegion::Kind::bytes, 0, {}});
    add_region(l, {0, l.blocks[1].size(), LayoutRegion::Kind::bytes, 1, {}});
    BeWriter patch(l.blocks[0]);
    for (std::size_t i = 0; i < l.streams.size(); ++i) {
        l.streams[i].offset = l.total_size;
        if (l.streams[i].size != 0)
            add_region(l, {0, l.streams[i].size, LayoutRegion::Kind::pcm, static_cast<std::uint32_t>(i), {}});
        patch.patch_u64(moov.chunk_offset_at[i], l.streams[i].offset);
    }
}

std::unique_ptr<FileLayout> build(int fd, MediaScan& scan, DecodingService* decoding)
{
    if (!scan.has_aac)
        return nullptr;
    std::vector<TrackPlan> plans = plan_tracks(fd, scan, decoding);
    if (std::none_of(plans.begin(), plans.end(),
                     [](const TrackPlan& p) { return p.action == TrackPlan::Action::to_pcm; }))
        return nullptr;
    auto overlays = source_overlays(scan, needs_quicktime(plans));
    if (!overlays)
        return nullptr;
    auto moov = build_moov(
        [fd](std::uint64_t offset, std::uint8_t* dest, std::size_t length) {
            return pread_full(fd, dest, length, offset);
        },
        scan, plans);
    if (!moov)
        return nullptr;

    auto layout = std::make_unique<FileLayout>();
    FileLayout& l = *layout;
    add_source_regions(l, *overlays, scan.kept_size);
    add_pcm_regions(l, plans, std::move(*moov));

    std::size_t stream = 0;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        if (plans[i].action != TrackPlan::Action::to_pcm)
            continue;
        PcmStream& s = l.streams[stream++];
        s.track_id = scan.tracks[i].track_id;
        if (decoding)
            s.source = decoding->make_source(std::move(plans[i].pcm));
        else
            s.source = std::make_unique<SilentPcm>();
    }
    return layout;
}

} // namespace

std::unique_ptr<FileLayout> build_layout(int fd, MediaScan scan, DecodingService& decoding)
{
    return build(fd, scan, &decoding);
}

std::unique_ptr<FileLayout> build_silent_layout(int fd, MediaScan scan)
{
    return build(fd, scan, nullptr);
}

} // namespace kov
