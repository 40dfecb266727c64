#include "pcm/table_budget.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace kov {

void TableBudget::set(std::uint64_t id, std::weak_ptr<Holder> holder, std::size_t bytes)
{
    std::lock_guard lock(mutex_);
    const auto it = tables_.find(id);
    if (it != tables_.end()) {
        held_ -= it->second.bytes;
        if (bytes == 0) {
            tables_.erase(it);
            return;
        }
        it->second = Entry{std::move(holder), bytes};
    } else if (bytes != 0) {
        tables_.emplace(id, Entry{std::move(holder), bytes});
    }
    held_ += bytes;
}

void TableBudget::trim(std::uint64_t keep)
{
    const Clock::time_point now = Clock::now();
    std::vector<std::pair<Clock::time_point, std::shared_ptr<Holder>>> idle;
    {
        std::lock_guard lock(mutex_);
        if (held_ <= budget_)
            return;
        for (const auto& [id, entry] : tables_) {
            if (id == keep)
                continue;
            if (std::shared_ptr<Holder> h = entry.holder.lock()) {
                const Clock::time_point used = h->table_used();
                if (now - used >= idle_after)
                    idle.emplace_back(used, std::move(h));
            }
        }
    }
    std::sort(idle.begin(), idle.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    // The holders' locks are taken without this one: they take it in turn.
    for (auto& [used, holder] : idle) {
        if (held() <= budget_)
            break;
        holder->drop_idle_table(now);
    }
}

std::size_t TableBudget::held()
{
    std::lock_guard lock(mutex_);
    return held_;
}

} // namespace kov
