// The worker pool shared by rewrite decisions and decodes ahead, and work
// held back until a reply has gone out.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "common/after_reply.hpp"
#include "common/worker_pool.hpp"

namespace kov {
namespace {

using namespace std::chrono_literals;

// A latch a task waits on until the test opens it.
class Gate {
  public:
    void open()
    {
        std::lock_guard lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }
    void wait()
    {
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// A pool whose every thread counts however long it is busy (decodes ahead)
// runs a waiting task only once a busy one has ended, and refuses tasks
// beyond its queue, leaving them with the caller.
TEST(WorkerPool, BoundedPoolQueuesThenRefuses)
{
    WorkerPool pool({1, 1, 2, {}});
    auto gate = std::make_shared<Gate>();
    std::atomic<bool> first_done{false};
    std::promise<bool> second_saw;
    std::promise<void> first_started;
    ASSERT_TRUE(pool.submit([gate, &first_done, &first_started] {
        first_started.set_value();
        gate->wait();
        first_done = true;
    }));
    first_started.get_future().wait();
    std::function<void()> second = [&] { second_saw.set_value(first_done.load()); };
    std::function<void()> third = [] {};
    std::function<void()> fourth = [] {};
    ASSERT_TRUE(pool.submit(std::move(second)));
    ASSERT_TRUE(pool.submit(std::move(third)));
    // The running task does not wait; two do, the most allowed.
    bool ran_here = false;
    std::function<void()> refused = [&] { ran_here = true; };
    EXPECT_FALSE(pool.submit(std::move(refused)));
    ASSERT_TRUE(refused) << "a refused task stays with the caller";
    refused();
    EXPECT_TRUE(ran_here);
    gate->open();
    auto saw = second_saw.get_future();
    ASSERT_EQ(saw.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(saw.get()) << "the second task ran beside the first";
}

// A pool that takes long-busy threads for stuck (rewrite decisions) starts
// others in their place, up to its thread limit: fresh tasks run while the
// stuck ones still wait. Ending the pool does not wait for them either.
TEST(WorkerPool, StuckThreadsStopCountingUpToTheThreadLimit)
{
    auto gate = std::make_shared<Gate>();
    auto pool = std::make_unique<WorkerPool>(WorkerPool::Limits{1, 3, 0, 50ms});
    std::atomic<int> stuck_started{0};
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(pool->submit([gate, &stuck_started] {
            ++stuck_started;
            gate->wait();
        }));
    std::promise<void> fresh;
    ASSERT_TRUE(pool->submit([&] { fresh.set_value(); }));
    EXPECT_EQ(fresh.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(stuck_started.load(), 2);

    // Three threads, all stuck now: a fourth task waits for one of them.
    ASSERT_TRUE(pool->submit([gate] { gate->wait(); }));
    auto done = std::make_shared<std::promise<void>>();
    auto after = done->get_future();
    ASSERT_TRUE(pool->submit([done] { done->set_value(); }));
    done.reset();
    pool.reset(); // ends with tasks stuck and one waiting, which is dropped unrun
    EXPECT_THROW(after.get(), std::future_error);
    gate->open();
}

TEST(WorkerPool, AThreadlessPoolRefusesEverything)
{
    WorkerPool pool({0, 0, 0, {}});
    bool ran = false;
    std::function<void()> task = [&] { ran = true; };
    EXPECT_FALSE(pool.submit(std::move(task)));
    ASSERT_TRUE(task);
    EXPECT_FALSE(ran);
}

// Work handed over while a request is served runs once its outermost scope
// has replied; without a scope it runs at once.
TEST(AfterReply, WorkWaitsForTheOutermostReply)
{
    std::vector<int> order;
    AfterReply::defer([&] { order.push_back(1); });
    EXPECT_EQ(order, std::vector<int>{1});
    {
        AfterReply outer;
        {
            const AfterReply inner; // a read inside a request
            AfterReply::defer([&] { order.push_back(2); });
        }
        order.push_back(3);
        outer.run();
        order.push_back(4);
    }
    EXPECT_EQ(order, (std::vector<int>{1, 3, 2, 4}));
}

} // namespace
} // namespace kov
