#pragma once
// The access units of one track as the decoding source uses them: where each
// lies in the file and which output frames it fills. Immutable once built.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pcm/pcm_track.hpp"

namespace kov {

class UnitTable {
  public:
    // At most `limit` units of the track, each placed by its time.
    static UnitTable build(const PcmTrack& track, std::size_t limit);

    std::size_t size() const { return offsets_.size(); }
    std::uint64_t offset(std::size_t i) const { return offsets_[i]; }
    std::uint32_t unit_size(std::size_t i) const { return sizes_[i]; }
    // Unit i fills at most frames [start(i), end(i)): from its own start to
    // the next unit's, the last one to the end of the stream.
    std::uint64_t start(std::size_t i) const;
    std::uint64_t end(std::size_t i) const;
    // The first unit that ends after `frame` (size() when none does), and the
    // number of units that start before `frame`.
    std::size_t first_ending_after(std::uint64_t frame) const;
    std::size_t count_starting_before(std::uint64_t frame) const;
    // Memory held, for the budget.
    std::size_t bytes() const;

  private:
    std::vector<std::uint64_t> offsets_;
    std::vector<std::uint32_t> sizes_;
    std::vector<std::uint64_t> starts_; // empty when unit i starts at i * step_
    std::uint64_t step_ = 0;
    std::uint64_t total_ = 0;
};

} // namespace kov
