#include "pcm/pcm_track.hpp"

#include <algorithm>
#include <limits>

#include "pcm/codec_decoding.hpp"

namespace kov {

std::uint64_t time_to_frame(std::uint64_t time, std::uint32_t timescale, std::uint32_t rate)
{
    // The usual case, a track timed in its own sample rate, needs no
    // 128-bit division for each of its units.
    if (timescale == 0 || timescale == rate)
        return time;
    using u128 = unsigned __int128;
    const u128 frames = (static_cast<u128>(time) * rate + timescale / 2) / timescale;
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    return frames > most ? most : static_cast<std::uint64_t>(frames);
}

PcmUnitList unit_list_of(std::vector<PcmUnit> units)
{
    return [units = std::move(units)](int, std::size_t limit, const PcmUnitVisitor& visit) {
        for (std::size_t i = 0; i < units.size() && i < limit; ++i)
            visit(units[i]);
    };
}

namespace {

bool within_half(std::uint64_t a, std::uint64_t b, std::uint32_t step)
{
    return (a > b ? a - b : b - a) <= step / 2;
}

// Where a unit timed at frame `at` starts when the previous one started at
// `last`: right where that one's audio ends while within half a unit, else at
// its own time.
std::uint64_t follow_or_jump(std::uint64_t last, std::uint64_t at, std::uint32_t step)
{
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t follow = last > most - step ? most : last + step;
    return within_half(at, follow, step) ? follow : at;
}

} // namespace

UnitPlacer::UnitPlacer(const PcmTrack& track)
    : timescale_(track.timescale), rate_(track.rate), step_(track.frames_per_unit), own_durations_(units_vary(track.config.codec))
{
}

std::uint64_t UnitPlacer::place(std::uint64_t time)
{
    const std::uint64_t at = time_to_frame(time, timescale_, rate_);
    // Following the previous unit by its own duration lands exactly on this
    // unit's time: both are counted from the same rounding of times.
    if (own_durations_)
        return at;
    if (!placed_) {
        placed_ = true;
        last_ = at;
        return at;
    }
    // An overlap never reaches back past the previous unit's own start.
    last_ = std::max(last_, follow_or_jump(last_, at, step_));
    return last_;
}

} // namespace kov
