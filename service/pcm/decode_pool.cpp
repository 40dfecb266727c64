#include "pcm/decode_pool.hpp"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

namespace kov {

DecodePool& DecodePool::instance()
{
    static DecodePool* const pool = new DecodePool;
    return *pool;
}

DecodePool::DecodePool()
{
    const std::size_t wanted = workers;
    // Without threads (the system refused them) nothing decodes ahead; every
    // reader still decodes what it reads.
    for (std::size_t i = 0; i < wanted; ++i) {
        try {
            std::thread([this] { run(); }).detach();
            ++workers_;
        } catch (const std::system_error&) {
            break;
        }
    }
}

bool DecodePool::submit(std::function<void()> job)
{
    {
        std::lock_guard lock(mutex_);
        if (workers_ == 0 || jobs_.size() >= max_waiting)
            return false;
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

void DecodePool::run()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return !jobs_.empty(); });
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        try {
            job();
        } catch (...) {
            // Out of memory: the segment is not decoded ahead, and the
            // reader that wants it decodes it itself or reports the failure.
        }
    }
}

} // namespace kov
