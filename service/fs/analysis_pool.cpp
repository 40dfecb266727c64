#include "fs/analysis_pool.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>

namespace kov {

namespace {

using Clock = std::chrono::steady_clock;

// Threads at work that count against the limit: enough for the batch of one
// listing reply on a slow source.
constexpr std::size_t max_working = 32;
// A decision on a working source takes milliseconds (tens on a slow one); a
// thread busy with one for this long is taken to be stuck in a read, and
// counts no more.
constexpr std::chrono::milliseconds stuck_after{200};
// Threads in all, stuck ones included: each stalled file holds one at most.
constexpr std::size_t max_threads = 1024;

class AnalysisPool {
  public:
    void submit(std::function<void()> task)
    {
        std::unique_lock lock(mutex_);
        queue_.push_back(std::move(task));
        if (idle_ >= queue_.size()) {
            ready_.notify_one();
            return;
        }
        if (grow_locked())
            return;
        if (threads_ > 0) {
            start_watch_locked();
            return;
        }
        // No thread at all: the caller decides in person.
        std::function<void()> own = std::move(queue_.back());
        queue_.pop_back();
        lock.unlock();
        own();
    }

  private:
    // Starts a thread when the limit allows one; true when it did.
    bool grow_locked()
    {
        const Clock::time_point now = Clock::now();
        std::size_t working = 0;
        for (const Clock::time_point since : busy_)
            working += now - since < stuck_after;
        if (working >= max_working || threads_ >= max_threads)
            return false;
        try {
            std::thread(&AnalysisPool::work, this).detach();
        } catch (const std::system_error&) {
            return false;
        }
        ++threads_;
        ++idle_; // counted from now, so that the task it will take is not started twice
        return true;
    }

    // While tasks wait and every thread is at work, one thread watches for
    // threads to count as stuck and starts others in their place.
    void start_watch_locked()
    {
        if (watching_)
            return;
        try {
            std::thread(&AnalysisPool::watch, this).detach();
            watching_ = true;
        } catch (const std::system_error&) {
        }
    }

    void watch()
    {
        std::unique_lock lock(mutex_);
        while (queue_.size() > idle_) {
            if (grow_locked())
                ready_.notify_one();
            else
                changed_.wait_for(lock, stuck_after / 4);
        }
        watching_ = false;
    }

    void work()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return !queue_.empty(); });
            --idle_;
            std::function<void()> task = std::move(queue_.front());
            queue_.pop_front();
            const auto mine = busy_.insert(busy_.end(), Clock::now());
            lock.unlock();
            task();
            lock.lock();
            busy_.erase(mine);
            ++idle_;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;   // a task was queued
    std::condition_variable changed_; // a thread finished a task
    std::deque<std::function<void()>> queue_;
    std::list<Clock::time_point> busy_; // when each busy thread took its task
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
    bool watching_ = false;
};

} // namespace

void run_in_analysis_pool(std::function<void()> task)
{
    // Never destroyed: its threads may outlive everything, stuck in a read.
    static AnalysisPool* const pool = new AnalysisPool;
    pool->submit(std::move(task));
}

} // namespace kov
