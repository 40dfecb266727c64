#pragma once
// The rewrite plan: per source track, whether it is copied as it is, copied
// with sample tables made anew (its samples were gathered from fragments), or
// converted to a PCM track, with the decoder configuration and the unit list
// of the conversion. One plan per track of the scan, in the scan's order.
// Built once per layout on the building thread.

#include <cstdint>
#include <vector>

#include "media/media_scan.hpp"
#include "media/sample_model.hpp"
#include "pcm/pcm_track.hpp"

namespace kov {

class DecodingService;

struct TrackPlan {
    enum class Action { copy, rebuild_tables, to_pcm };
    Action action = Action::copy;
    // The samples were gathered anew (from fragments): the track's duration,
    // and with it the movie's, is what its samples add up to.
    bool retimed = false;
    PcmTrack pcm;                     // to_pcm only
    bool end_to_end = false;          // no usable timing: units laid end to end
};

// Whether a PCM track runs at 65,536 Hz or more, or is 24-bit: only
// QuickTime's sound descriptions (versions 1 and 2) hold such rates and
// depths, so the rewritten file must read as QuickTime.
bool needs_quicktime(const std::vector<TrackPlan>& plans);

// The frame of a converted track's PCM at which its media time `time` plays:
// inside the unit that holds that time, as far on from where the decoding
// side places the unit. The edit list needs it to start where the source's did.
std::uint64_t frame_at_media_time(const TrackScan& track, const TrackPlan& plan, std::uint64_t file_size,
                                  std::uint64_t time);

// The PCM units of a track, with each unit's decode time summed from the
// sample durations; `uniform_delta`, when not 0, stands for every duration
// (a track without timing tables).
PcmUnitList pcm_units(SampleList samples, std::uint32_t uniform_delta);

// Plans every track of `scan`. With `decoding` (and its library bound) a
// short decoding probe settles each PCM track's rate, channels and frames per
// unit; without, they come from the sample description. The unit lists of the
// converted tracks take over their sample sizes and chunk tables: the scan's
// tracks keep only their timing.
std::vector<TrackPlan> plan_tracks(int fd, MediaScan& scan, DecodingService* decoding);

} // namespace kov
