#pragma once
// The unit tables of every source of one decoding service under one budget. A long
// recording's table takes megabytes per track, and a file with several
// tracks has one per track: when a new table would exceed the budget, the
// tables no read has used for a while are given back, least recently used
// first, and built again if their stream is read once more. A table in use
// is never taken, so readers never rebuild each other's tables in turn.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace kov {

class TableBudget {
  public:
    using Clock = std::chrono::steady_clock;

    // Tables kept for a mount beyond those in use: a 2-hour track takes
    // about 4 MiB. The one place this is set.
    static constexpr std::size_t default_budget = 16u << 20;
    // A table no read has used for this long may be given back.
    static constexpr std::chrono::milliseconds idle_after{1000};

    // What holds a table: a source.
    class Holder {
      public:
        virtual ~Holder() = default;
        // When a read last used the table; the clock's epoch for a table no
        // read has used yet (built when its file was opened).
        virtual Clock::time_point table_used() const = 0;
        // Gives the table back if it is still idle at `now`; true when it did.
        // Takes the holder's own lock.
        virtual bool drop_idle_table(Clock::time_point now) = 0;
    };

    explicit TableBudget(std::size_t budget) : budget_(budget) {}

    // The holder's table now takes `bytes`; 0 when it has none.
    void set(std::uint64_t id, std::weak_ptr<Holder> holder, std::size_t bytes);
    // Gives back idle tables of holders other than `keep` until the total is
    // within the budget or none is idle. Called without any holder's lock.
    void trim(std::uint64_t keep);
    // Bytes counted now.
    std::size_t held();

  private:
    struct Entry {
        std::weak_ptr<Holder> holder;
        std::size_t bytes = 0;
    };

    // Taken after a holder's lock or alone, never before it: trim() lets it
    // go before it takes a holder's. Nothing else is taken while it is held.
    std::mutex mutex_;
    std::size_t budget_;
    std::size_t held_ = 0;
    std::unordered_map<std::uint64_t, Entry> tables_;
};

} // namespace kov
