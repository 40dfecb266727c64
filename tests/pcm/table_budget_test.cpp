// The unit tables' budget: over it, idle tables go back least recently used
// first; a table in use, and the one just built, never do.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "pcm/table_budget.hpp"

namespace kov {
namespace {

using Clock = TableBudget::Clock;

class FakeHolder final : public TableBudget::Holder {
  public:
    FakeHolder(TableBudget& budget, std::uint64_t id, Clock::time_point used) : budget_(budget), id_(id), used_(used) {}
    Clock::time_point table_used() const override { return used_; }
    bool drop_idle_table(Clock::time_point now) override
    {
        if (dropped || now - used_ < TableBudget::idle_after)
            return false;
        dropped = true;
        budget_.set(id_, {}, 0);
        return true;
    }
    bool dropped = false;

  private:
    TableBudget& budget_;
    std::uint64_t id_;
    Clock::time_point used_;
};

TEST(TableBudget, IdleTablesGoBackOldestFirstUntilWithinTheBudget)
{
    TableBudget budget(10);
    const Clock::time_point now = Clock::now();
    std::vector<std::shared_ptr<FakeHolder>> h = {
        std::make_shared<FakeHolder>(budget, 1, now - std::chrono::seconds(5)), // read a while ago
        std::make_shared<FakeHolder>(budget, 2, Clock::time_point{}),            // opened, never read
        std::make_shared<FakeHolder>(budget, 3, now),                            // being read
        std::make_shared<FakeHolder>(budget, 4, Clock::time_point{}),            // just built
    };
    for (std::uint64_t i = 0; i < h.size(); ++i)
        budget.set(i + 1, h[i], 4);
    budget.trim(4);
    EXPECT_TRUE(h[1]->dropped) << "the never-read table is the oldest";
    EXPECT_TRUE(h[0]->dropped);
    EXPECT_FALSE(h[2]->dropped) << "a table in use stays, even over the budget";
    EXPECT_FALSE(h[3]->dropped) << "the table just built stays";
    EXPECT_EQ(budget.held(), 8u);

    // Within the budget nothing more goes, and a holder that is gone costs nothing.
    h[3].reset();
    budget.trim(3);
    EXPECT_FALSE(h[2]->dropped);
    budget.set(4, {}, 0);
    EXPECT_EQ(budget.held(), 4u);
}

} // namespace
} // namespace kov
