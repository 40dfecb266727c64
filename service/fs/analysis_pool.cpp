#include "fs/analysis_pool.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace kov {

namespace {

// Enough for the batch of one listing reply on a slow source, with room for
// a few stuck threads.
constexpr unsigned max_threads = 32;

class AnalysisPool {
public:
    void submit(std::function<void()> task)
    {
        std::unique_lock lock(mutex_);
        queue_.push_back(std::move(task));
        if (idle_ >= queue_.size() || threads_ >= max_threads) {
            ready_.notify_one();
            return;
        }
        try {
            std::thread(&AnalysisPool::work, this).detach();
            ++threads_;
        } catch (const std::system_error&) {
            if (threads_ > 0) {
                ready_.notify_one();
                return;
            }
            // No thread at all: the caller decides in person.
            std::function<void()> own = std::move(queue_.back());
            queue_.pop_back();
            lock.unlock();
            own();
        }
    }

private:
    void work()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            ready_.wait(lock, [this] { return !queue_.empty(); });
            --idle_;
            std::function<void()> task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> queue_;
    unsigned threads_ = 0;
    std::size_t idle_ = 0;
};

} // namespace

void run_in_analysis_pool(std::function<void()> task)
{
    // Never destroyed: its threads may outlive everything, stuck in a read.
    static AnalysisPool* const pool = new AnalysisPool;
    pool->submit(std::move(task));
}

} // namespace kov
