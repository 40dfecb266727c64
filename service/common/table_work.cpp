#include "common/table_work.hpp"

#include <condition_variable>
#include <map>
#include <mutex>

namespace kov {

namespace {

using Clock = std::chrono::steady_clock;

struct Share {
    std::size_t bytes = 0;
    Clock::time_point since;
};

class Shares {
  public:
    std::uint64_t take(std::size_t bytes)
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            const Clock::time_point now = Clock::now();
            std::size_t held = 0;
            Clock::time_point next_stuck = Clock::time_point::max();
            for (const auto& [id, share] : shares_) {
                if (now - share.since >= TableWork::presumed_stuck)
                    continue;
                held += share.bytes;
                next_stuck = std::min(next_stuck, share.since + TableWork::presumed_stuck);
            }
            if (held == 0 || (bytes <= TableWork::allowance && held <= TableWork::allowance - bytes))
                break;
            // Woken by a share given back, or when the oldest stops counting.
            given_back_.wait_until(lock, next_stuck);
        }
        const std::uint64_t id = next_id_++;
        shares_.emplace(id, Share{bytes, Clock::now()});
        return id;
    }

    void give_back(std::uint64_t id)
    {
        {
            std::lock_guard lock(mutex_);
            shares_.erase(id);
        }
        given_back_.notify_all();
    }

    std::size_t counted()
    {
        std::lock_guard lock(mutex_);
        const Clock::time_point now = Clock::now();
        std::size_t held = 0;
        for (const auto& [id, share] : shares_)
            if (now - share.since < TableWork::presumed_stuck)
                held += share.bytes;
        return held;
    }

  private:
    std::mutex mutex_;
    std::condition_variable given_back_;
    std::map<std::uint64_t, Share> shares_;
    std::uint64_t next_id_ = 1;
};

Shares& shares()
{
    static Shares* const all = new Shares; // never destroyed: workers may run at exit
    return *all;
}

} // namespace

void TableWork::take(std::size_t bytes)
{
    give_back();
    id_ = shares().take(bytes);
}

void TableWork::give_back()
{
    if (id_ != 0)
        shares().give_back(id_);
    id_ = 0;
}

std::size_t TableWork::counted()
{
    return shares().counted();
}

} // namespace kov
