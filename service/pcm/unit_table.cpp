#include "pcm/unit_table.hpp"

#include <algorithm>

namespace kov {

UnitTable UnitTable::build(const PcmTrack& track, std::size_t limit)
{
    UnitTable t;
    t.step_ = track.frames_per_unit;
    t.total_ = track.total_frames;
    if (!track.units || limit == 0)
        return t;
    std::vector<PcmUnit> units = track.units(limit);
    if (units.size() > limit)
        units.resize(limit);
    t.offsets_.reserve(units.size());
    t.sizes_.reserve(units.size());
    // Unit starts are kept only for timing that is not uniform: the first
    // unit that breaks it brings in the starts of those before it.
    bool uniform = true;
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i < units.size(); ++i) {
        t.offsets_.push_back(units[i].offset);
        t.sizes_.push_back(units[i].size);
        // Times must not go back; a table that does is held to its highest
        // time so far rather than letting units overlap.
        const std::uint64_t f = std::max(previous, time_to_frame(units[i].time, track.timescale, track.rate));
        previous = f;
        if (uniform && f != i * t.step_) {
            uniform = false;
            t.starts_.reserve(units.size());
            for (std::size_t j = 0; j < i; ++j)
                t.starts_.push_back(j * t.step_);
        }
        if (!uniform)
            t.starts_.push_back(f);
    }
    return t;
}

std::uint64_t UnitTable::start(std::size_t i) const
{
    return std::min(starts_.empty() ? i * step_ : starts_[i], total_);
}

std::uint64_t UnitTable::end(std::size_t i) const
{
    return i + 1 < size() ? start(i + 1) : total_;
}

std::size_t UnitTable::first_ending_after(std::uint64_t frame) const
{
    const std::size_t n = size();
    if (n == 0 || frame >= total_)
        return n;
    std::size_t i = 0;
    if (starts_.empty()) {
        i = step_ == 0 ? n - 1 : static_cast<std::size_t>(std::min<std::uint64_t>(frame / step_, n - 1));
    } else {
        // The first unit after unit 0 that starts past the frame ends the one before it.
        const auto it = std::upper_bound(starts_.begin() + 1, starts_.end(), frame);
        i = static_cast<std::size_t>(it - starts_.begin()) - 1;
    }
    return i;
}

std::size_t UnitTable::count_starting_before(std::uint64_t frame) const
{
    const std::size_t n = size();
    if (frame > total_) // start() is capped at the total
        return n;
    if (starts_.empty()) {
        if (step_ == 0)
            return frame > 0 ? n : 0;
        return static_cast<std::size_t>(std::min<std::uint64_t>(frame / step_ + (frame % step_ != 0), n));
    }
    return static_cast<std::size_t>(std::lower_bound(starts_.begin(), starts_.end(), frame) - starts_.begin());
}

std::size_t UnitTable::bytes() const
{
    return offsets_.capacity() * sizeof(std::uint64_t) + sizes_.capacity() * sizeof(std::uint32_t) +
           starts_.capacity() * sizeof(std::uint64_t);
}

} // namespace kov
