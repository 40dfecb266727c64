#include "media/file_layout.hpp"

#include "common/full_io.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "media/be_reader.hpp"
#include "media/be_writer.hpp"
#include "media/moov_builder.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/pcm_track.hpp"
#include "pcm/silent_pcm.hpp"

namespace kov {

namespace {

using u128 = unsigned __int128;

constexpr std::uint64_t two_pow_32 = std::uint64_t{1} << 32;
// The new movie box is held in memory per layout; a source movie box beyond
// this is not something a 32-bit box size could carry anyway.
constexpr std::uint64_t max_moov_size = std::numeric_limits<std::uint32_t>::max();

ByteOverlay overlay_of(std::uint64_t offset, std::uint32_t value)
{
    ByteOverlay o;
    o.offset = offset;
    for (int i = 0; i < 4; ++i)
        o.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    return o;
}

// Walks the top-level boxes of the source and returns the overlays its
// rewritten form needs, or nothing when the file does not end in a whole box:
// appended boxes after a truncated box or stray bytes would be unreachable for
// a reader, while the old movie box already reads as free space.
std::optional<std::vector<ByteOverlay>> top_level_overlays(int fd, const MediaScan& scan)
{
    std::vector<ByteOverlay> overlays;
    bool saw_selected_moov = false;
    std::uint64_t pos = 0;
    while (pos < scan.file_size) {
        const std::uint64_t left = scan.file_size - pos;
        if (left < 8)
            return std::nullopt;
        std::uint8_t head[16] = {};
        const std::size_t want = left >= 16 ? 16 : 8;
        if (pread_full(fd, head, want, pos) != static_cast<std::int64_t>(want))
            return std::nullopt;
        const BeReader r(std::span<const std::uint8_t>(head, want));
        std::uint32_t size32 = 0, type = 0;
        r.peek_at(0, size32);
        r.peek_at(4, type);
        std::uint64_t size = size32, header = 8;
        if (size32 == 1) {
            if (!r.peek_at(8, size))
                return std::nullopt;
            header = 16;
        } else if (size32 == 0) {
            // "To the end of the file" would swallow the appended boxes; the
            // rewritten file states the real size instead.
            size = left;
            if (size > std::numeric_limits<std::uint32_t>::max())
                return std::nullopt;
            overlays.push_back(overlay_of(pos, static_cast<std::uint32_t>(size)));
        }
        if (size < header || size > left)
            return std::nullopt;
        if (type == fourcc("moov")) {
            // Every old movie box reads as free space, so a reader that takes
            // the first movie box it meets still finds the new one.
            overlays.push_back(overlay_of(pos + 4, fourcc("free")));
            saw_selected_moov = saw_selected_moov || pos == scan.moov_offset;
        }
        pos += size;
    }
    if (!saw_selected_moov)
        return std::nullopt;
    std::sort(overlays.begin(), overlays.end(),
              [](const ByteOverlay& a, const ByteOverlay& b) { return a.offset < b.offset; });
    return overlays;
}

std::uint64_t pcm_frames(const TrackScan& track, std::uint32_t rate, std::uint64_t frames_per_unit,
                         std::uint32_t media_timescale)
{
    const std::uint64_t by_units = frames_per_unit * track.sample_count;
    if (track.time_to_sample.empty())
        return by_units;
    u128 duration = 0;
    for (const auto& e : track.time_to_sample)
        duration += static_cast<u128>(e.count) * e.delta;
    const u128 scaled = duration * rate;
    if (scaled < media_timescale)
        return by_units;
    const u128 frames = scaled / media_timescale;
    return frames > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                              : static_cast<std::uint64_t>(frames);
}

std::unique_ptr<FileLayout> build(int fd, const MediaScan& scan, bool decode)
{
    std::size_t selected = scan.tracks.size();
    for (std::size_t i = 0; i < scan.tracks.size(); ++i) {
        if (scan.tracks[i].aac) {
            selected = i;
            break;
        }
    }
    if (selected == scan.tracks.size() || scan.fragmented)
        return nullptr;
    if (scan.moov_size == 0 || scan.moov_size > max_moov_size)
        return nullptr;
    const TrackScan& track = scan.tracks[selected];

    auto overlays = top_level_overlays(fd, scan);
    if (!overlays)
        return nullptr;

    PcmTrack pcm;
    pcm.asc = track.asc;
    pcm.rate = track.asc_rate ? track.asc_rate : track.sample_rate;
    pcm.channels = track.asc_channels ? track.asc_channels : track.channels;
    pcm.frames_per_unit = track.sbr ? 2048 : 1024;
    decode = decode && codec_library_bound();
    // Units play back to back, one unit's frames after the other's.
    const auto scanned = std::make_shared<const TrackScan>(track);
    const auto unit_list = [scanned](std::uint32_t frames_per_unit) {
        return [scanned, frames_per_unit](std::size_t limit) {
            std::vector<AccessUnit> units = build_access_units(*scanned);
            std::vector<PcmUnit> out;
            out.reserve(std::min(units.size(), limit));
            for (std::size_t i = 0; i < units.size() && i < limit; ++i)
                out.push_back({units[i].offset, units[i].size, std::uint64_t{i} * frames_per_unit});
            return out;
        };
    };
    if (decode) {
        pcm.units = unit_list(pcm.frames_per_unit);
        probe_stream(fd, pcm);
    }
    if (pcm.rate == 0)
        pcm.rate = track.sample_rate ? track.sample_rate : 48000;
    if (pcm.channels == 0)
        pcm.channels = track.channels ? track.channels : 2;

    const std::uint32_t media_timescale = track.timescale ? track.timescale : pcm.rate;
    const std::uint64_t frames = pcm_frames(track, pcm.rate, pcm.frames_per_unit, media_timescale);
    // The sample tables of the PCM track count frames in 32 bits; a longer
    // track (over a day at 48 kHz) is served unchanged rather than mislabelled.
    if (frames == 0 || frames >= two_pow_32)
        return nullptr;

    std::vector<std::uint8_t> source_moov(static_cast<std::size_t>(scan.moov_size));
    if (pread_full(fd, source_moov.data(), source_moov.size(), scan.moov_offset) !=
        static_cast<std::int64_t>(source_moov.size()))
        return nullptr;

    PcmTrackParams params;
    params.track_id = track.track_id;
    params.rate = pcm.rate;
    params.channels = pcm.channels;
    params.frames = frames;
    params.media_timescale = media_timescale;
    auto moov = build_moov(source_moov, scan, selected, params);
    if (!moov)
        return nullptr;
    source_moov = {};

    auto layout = std::make_unique<FileLayout>();
    layout->frames = frames;
    layout->channels = pcm.channels;
    layout->rate = pcm.rate;
    layout->pcm_size = frames * pcm.channels * 2;
    const std::uint64_t pcm_size = layout->pcm_size;
    BeWriter header(layout->mdat_header);
    if (pcm_size + 8 < two_pow_32) {
        header.u32(static_cast<std::uint32_t>(pcm_size + 8));
        header.fourcc("mdat");
    } else {
        header.u32(1);
        header.fourcc("mdat");
        header.u64(pcm_size + 16);
    }

    layout->source_size = scan.file_size;
    layout->overlay_offset = scan.moov_offset + 4;
    layout->overlays = std::move(*overlays);
    layout->moov_bytes = std::move(moov->bytes);
    layout->moov_offset = layout->source_size;
    layout->mdat_header_offset = layout->moov_offset + layout->moov_bytes.size();
    layout->pcm_offset = layout->mdat_header_offset + layout->mdat_header.size();
    layout->total_size = layout->pcm_offset + pcm_size;
    for (int i = 0; i < 8; ++i)
        layout->moov_bytes[moov->chunk_offset_at + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(layout->pcm_offset >> (56 - 8 * i));

    if (decode) {
        pcm.timescale = pcm.rate;
        pcm.total_frames = frames;
        pcm.units = unit_list(pcm.frames_per_unit);
        layout->source = make_pcm_source(fd, std::move(pcm));
    }
    if (!layout->source)
        layout->source = std::make_unique<SilentPcm>();
    return layout;
}

} // namespace

std::unique_ptr<FileLayout> build_layout(int fd, const MediaScan& scan)
{
    return build(fd, scan, true);
}

std::unique_ptr<FileLayout> build_silent_layout(int fd, const MediaScan& scan)
{
    return build(fd, scan, false);
}

} // namespace kov
