#include "pcm/unit_table.hpp"

#include <algorithm>
#include <limits>

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
    t.count_ = units.size();
    t.store_places(units);
    // Unit starts are kept only for timing that is not uniform: the first
    // unit that breaks it brings in the starts of those before it.
    bool uniform = true;
    UnitPlacer placer(track.timescale, track.rate, track.frames_per_unit);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::uint64_t f = placer.place(units[i].time);
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

void UnitTable::store_places(const std::vector<PcmUnit>& units)
{
    const std::size_t n = units.size();
    bool near = true;
    for (std::size_t b = 0; b < n && near; b += block) {
        const std::size_t e = std::min(n, b + block);
        const auto [lo, hi] = std::minmax_element(
            units.begin() + static_cast<std::ptrdiff_t>(b), units.begin() + static_cast<std::ptrdiff_t>(e),
            [](const PcmUnit& x, const PcmUnit& y) { return x.offset < y.offset; });
        near = hi->offset - lo->offset <= std::numeric_limits<std::uint32_t>::max();
    }
    const bool short_sizes = std::all_of(units.begin(), units.end(), [](const PcmUnit& u) {
        return u.size <= std::numeric_limits<std::uint16_t>::max();
    });
    if (near) {
        bases_.reserve((n + block - 1) / block);
        near_offsets_.reserve(n);
        for (std::size_t b = 0; b < n; b += block) {
            const std::size_t e = std::min(n, b + block);
            std::uint64_t base = units[b].offset;
            for (std::size_t i = b; i < e; ++i)
                base = std::min(base, units[i].offset);
            bases_.push_back(base);
            for (std::size_t i = b; i < e; ++i)
                near_offsets_.push_back(static_cast<std::uint32_t>(units[i].offset - base));
        }
    } else {
        wide_offsets_.reserve(n);
        for (const PcmUnit& u : units)
            wide_offsets_.push_back(u.offset);
    }
    if (short_sizes) {
        short_sizes_.reserve(n);
        for (const PcmUnit& u : units)
            short_sizes_.push_back(static_cast<std::uint16_t>(u.size));
    } else {
        wide_sizes_.reserve(n);
        for (const PcmUnit& u : units)
            wide_sizes_.push_back(u.size);
    }
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
    return bases_.capacity() * sizeof(std::uint64_t) + near_offsets_.capacity() * sizeof(std::uint32_t) +
           wide_offsets_.capacity() * sizeof(std::uint64_t) + short_sizes_.capacity() * sizeof(std::uint16_t) +
           wide_sizes_.capacity() * sizeof(std::uint32_t) + starts_.capacity() * sizeof(std::uint64_t);
}

} // namespace kov
