#pragma once
// The access units of one track as the decoding source uses them: where each
// lies in the file and which output frames it fills. Immutable once built.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pcm/pcm_track.hpp"

namespace kov {

class UnitTable {
  public:
    // At most `limit` units of the track, each placed by its time.
    static UnitTable build(const PcmTrack& track, int fd, std::size_t limit);

    std::size_t size() const { return count_; }
    std::uint64_t offset(std::size_t i) const
    {
        return wide_offsets_.empty() ? bases_[i / block] + near_offsets_[i] : wide_offsets_[i];
    }
    std::uint32_t unit_size(std::size_t i) const { return wide_sizes_.empty() ? short_sizes_[i] : wide_sizes_[i]; }
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
    // Adds the next unit's place; offsets wait in pending_ until their block
    // of 16 is complete.
    void add_place(std::uint64_t offset, std::uint32_t size);
    void flush_block();

    // A 2-hour track has 337,500 units, and a recording may have several
    // tracks open at once: offsets are kept as 32-bit distances from the
    // lowest of their block of 16 and sizes in 16 bits, 6.5 bytes a unit
    // instead of 12. Tables that do not fit (units of one block over
    // 4 GiB apart, a unit of 64 KiB or more) keep them whole.
    static constexpr std::size_t block = 16;
    std::size_t count_ = 0;
    std::vector<std::uint64_t> bases_;        // per block: its lowest offset
    std::vector<std::uint32_t> near_offsets_; // per unit: from its block's base
    std::vector<std::uint64_t> wide_offsets_; // instead of the two above
    std::vector<std::uint16_t> short_sizes_;
    std::vector<std::uint32_t> wide_sizes_; // instead of short_sizes_
    std::vector<std::uint64_t> starts_;     // empty when unit i starts at i * step_
    std::uint64_t step_ = 0;
    std::uint64_t total_ = 0;
    std::array<std::uint64_t, block> pending_{}; // while building
    std::size_t pending_count_ = 0;
};

} // namespace kov
