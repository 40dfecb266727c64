#include "pcm/unit_table.hpp"

#include <algorithm>
#include <limits>
#include <span>

namespace kov {

UnitTable UnitTable::build(const PcmTrack& track, int fd, std::size_t limit)
{
    UnitTable t;
    t.step_ = track.frames_per_unit;
    t.total_ = track.total_frames;
    if (!track.units || limit == 0)
        return t;
    // Unit starts are kept only for timing that is not uniform: the first
    // unit that breaks it brings in the starts of those before it.
    bool uniform = true;
    UnitPlacer placer(track);
    track.units(fd, limit, [&](const PcmUnit& u) {
        if (t.count_ == limit)
            return;
        const std::size_t i = t.count_;
        t.add_place(u.offset, u.size);
        const std::uint64_t f = placer.place(u.time);
        if (uniform && f != i * t.step_) {
            uniform = false;
            for (std::size_t j = 0; j < i; ++j)
                t.starts_.push_back(j * t.step_);
        }
        if (!uniform)
            t.starts_.push_back(f);
    });
    t.flush_block();
    return t;
}

void UnitTable::add_place(std::uint64_t offset, std::uint32_t size)
{
    // A unit of 64 KiB or more: every size is kept whole.
    if (wide_sizes_.empty() && size > std::numeric_limits<std::uint16_t>::max()) {
        wide_sizes_.reserve(short_sizes_.size() + 1);
        wide_sizes_.assign(short_sizes_.begin(), short_sizes_.end());
        wide_sizes_.push_back(size);
        short_sizes_ = {};
    } else if (wide_sizes_.empty()) {
        short_sizes_.push_back(static_cast<std::uint16_t>(size));
    } else {
        wide_sizes_.push_back(size);
    }
    ++count_;
    if (!wide_offsets_.empty()) {
        wide_offsets_.push_back(offset);
        return;
    }
    pending_[pending_count_++] = offset;
    if (pending_count_ == block)
        flush_block();
}

void UnitTable::flush_block()
{
    if (pending_count_ == 0)
        return;
    const std::span<const std::uint64_t> pending(pending_.data(), pending_count_);
    pending_count_ = 0;
    const auto [lo, hi] = std::minmax_element(pending.begin(), pending.end());
    if (*hi - *lo <= std::numeric_limits<std::uint32_t>::max()) {
        bases_.push_back(*lo);
        for (const std::uint64_t o : pending)
            near_offsets_.push_back(static_cast<std::uint32_t>(o - *lo));
        return;
    }
    // Units of one block over 4 GiB apart: every offset is kept whole.
    wide_offsets_.reserve(near_offsets_.size() + pending.size());
    for (std::size_t i = 0; i < near_offsets_.size(); ++i)
        wide_offsets_.push_back(bases_[i / block] + near_offsets_[i]);
    wide_offsets_.insert(wide_offsets_.end(), pending.begin(), pending.end());
    bases_ = {};
    near_offsets_ = {};
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
