#pragma once
// What the decoding side needs to know of one track, handed over by the
// media analysis: the decoder configuration, the output format, and where
// each compressed unit lies and when it plays.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "pcm/decoder_config.hpp"
#include "pcm/pcm_source.hpp"

namespace kov {

// One compressed unit and when its audio starts.
struct PcmUnit {
    std::uint64_t offset = 0; // absolute offset in the source file
    std::uint32_t size = 0;   // bytes
    std::uint64_t time = 0;   // decode time in the track's media timescale, from the first unit; non-decreasing
};

// Hands the units, at most `limit` of them, one after another to the visitor:
// called when the units are first needed, and again after release(); callable
// from any thread. Captures what it needs by value or shared pointer, never by
// reference. `fd` is the file's descriptor, borrowed for the call (a list
// that reads the sample tables again reads them through it). One by one rather than as a list: a long recording's list
// would take 24 bytes a unit beside the table built from it (4 million units, 96 MiB, for a day of audio or a few
// megabytes of hostile tables).
using PcmUnitVisitor = std::function<void(const PcmUnit&)>;
using PcmUnitList = std::function<void(int fd, std::size_t limit, const PcmUnitVisitor& visit)>;

// A unit list over units already in memory.
PcmUnitList unit_list_of(std::vector<PcmUnit> units);

// Bytes of one output sample of `bits` (16 or 24).
constexpr std::uint32_t pcm_sample_bytes(std::uint32_t bits)
{
    return bits == 24 ? 3 : 2;
}

struct PcmTrack {
    DecoderConfig config;          // as the track states it
    std::uint32_t rate = 0;        // output frames per second
    std::uint32_t channels = 0;
    // Bits per output sample: 16 (little-endian), or 24 (big-endian) for
    // lossless audio deeper than 16 bits, whose low bits 16 would lose.
    std::uint32_t bits = 16;
    std::uint32_t frames_per_unit = 0; // 1024, or 2048 with SBR
    std::uint32_t timescale = 0;       // media timescale of PcmUnit::time
    std::uint64_t total_frames = 0;    // length of the PCM stream in frames
    PcmUnitList units;

    std::uint32_t sample_bytes() const { return pcm_sample_bytes(bits); }
};

// The one rounding rule from media time to output frames, used by both sides:
// round half up, 128-bit intermediate, saturating. A zero timescale counts
// the time in output frames already.
std::uint64_t time_to_frame(std::uint64_t time, std::uint32_t timescale, std::uint32_t rate);

// Where each unit's audio starts. A unit follows the previous one without a
// break while its own time lies within half a unit of where the previous
// unit's audio ends, so the rounding and jitter of ordinary timestamps never
// make a click; further off, it starts at its time: silence fills a gap, and
// an overlap cuts the previous unit short. The audio thus never strays more
// than half a unit from its timestamps, and a long file's real drift is
// corrected whenever it reaches that. Unit i's decoded frames fill
// [p_i, min(p_i + decoded_i, p_{i+1})); the last unit ends at total_frames,
// the track's own length; any frame covered by no unit is silence.
// Where units decode to different lengths, the previous unit's audio ends
// after its own duration, the next unit's time less its own: each unit then
// starts at its time.
class UnitPlacer {
  public:
    explicit UnitPlacer(const PcmTrack& track);

    // The start of the next unit, timed at `time` (never below the previous
    // unit's time).
    std::uint64_t place(std::uint64_t time);

  private:
    std::uint32_t timescale_, rate_, step_;
    bool own_durations_;
    bool placed_ = false;
    std::uint64_t last_ = 0; // start of the last unit placed
};

} // namespace kov
