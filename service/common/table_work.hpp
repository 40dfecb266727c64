#pragma once
// Work that holds a long recording's sample tables in memory for a moment:
// building the layout of a file just scanned. A 2-hour file with six tracks
// takes tens of MiB while it lasts; a share of one allowance per piece of
// work keeps several at once from multiplying the peak. (Unit tables are
// built straight from the sample tables and need none.)
//
// A share is taken after the source reads that fill the tables, never across
// them where it can be helped: a stalled source must hold up only its own
// file. Where a read follows under a share (a layout probes a few units), the
// share stops counting once it has been held for `presumed_stuck`: work on
// tables in memory takes milliseconds, so a holder that long is waiting for
// its source, and the others go ahead of it.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kov {

class TableWork {
  public:
    // Bytes that shares may take at once: a 2-hour six-track file's layout.
    // A share larger than this is had when no other counts.
    static constexpr std::size_t allowance = 32u << 20;
    static constexpr std::chrono::milliseconds presumed_stuck{500};

    TableWork() = default; // holds nothing yet
    ~TableWork() { give_back(); }
    TableWork(const TableWork&) = delete;
    TableWork& operator=(const TableWork&) = delete;

    // Waits until `bytes` fit in the allowance beside the shares that count,
    // then holds them until give_back() or destruction. Replaces any share
    // this one holds.
    void take(std::size_t bytes);
    void give_back();

    // Bytes held by the shares that count now (for tests).
    static std::size_t counted();

  private:
    std::uint64_t id_ = 0; // 0: none held
};

} // namespace kov
