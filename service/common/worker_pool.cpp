#include "common/worker_pool.hpp"

#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace kov {

using Clock = std::chrono::steady_clock;

struct WorkerPool::State {
    explicit State(Limits l) : limits(l) {}

    const Limits limits;
    // Taken alone: tasks run without it.
    std::mutex mutex;
    std::condition_variable ready;   // a task was queued, or the pool ends
    std::condition_variable changed; // a thread finished a task, or the pool ends
    std::deque<std::function<void()>> queue;
    std::list<Clock::time_point> busy; // when each busy thread took its task
    std::size_t threads = 0;
    std::size_t idle = 0;
    bool watching = false;
    bool ended = false;
};

namespace {

using StatePtr = std::shared_ptr<WorkerPool::State>;

void work(StatePtr s)
{
    std::unique_lock lock(s->mutex);
    for (;;) {
        s->ready.wait(lock, [&] { return s->ended || !s->queue.empty(); });
        if (s->ended)
            break;
        --s->idle;
        std::function<void()> task = std::move(s->queue.front());
        s->queue.pop_front();
        const auto mine = s->busy.insert(s->busy.end(), Clock::now());
        lock.unlock();
        task();
        task = nullptr; // what it holds goes before the lock is taken
        lock.lock();
        s->busy.erase(mine);
        ++s->idle;
        s->changed.notify_all();
    }
    --s->threads;
    --s->idle;
}

// Starts a thread when the limits allow one; true when it did.
bool grow_locked(const StatePtr& s)
{
    const WorkerPool::Limits& l = s->limits;
    std::size_t working = s->busy.size();
    if (l.stuck_after.count() > 0) {
        const Clock::time_point now = Clock::now();
        working = 0;
        for (const Clock::time_point since : s->busy)
            working += now - since < l.stuck_after;
    }
    if (s->ended || working >= l.working || s->threads >= l.threads)
        return false;
    try {
        std::thread(work, s).detach();
    } catch (const std::system_error&) {
        return false;
    }
    ++s->threads;
    ++s->idle; // counted from now, so that the task it will take is not started twice
    return true;
}

void watch(StatePtr s)
{
    std::unique_lock lock(s->mutex);
    while (!s->ended && s->queue.size() > s->idle) {
        if (grow_locked(s))
            s->ready.notify_one();
        else
            s->changed.wait_for(lock, s->limits.stuck_after / 4);
    }
    s->watching = false;
}

// While tasks wait and every thread is at work, one thread watches for
// threads to count as stuck and starts others in their place.
void start_watch_locked(const StatePtr& s)
{
    if (s->watching || s->limits.stuck_after.count() <= 0)
        return;
    try {
        std::thread(watch, s).detach();
        s->watching = true;
    } catch (const std::system_error&) {
    }
}

} // namespace

WorkerPool::WorkerPool(Limits limits) : state_(std::make_shared<State>(limits)) {}

WorkerPool::~WorkerPool()
{
    std::deque<std::function<void()>> dropped; // freed after the lock
    std::lock_guard lock(state_->mutex);
    state_->ended = true;
    dropped.swap(state_->queue);
    state_->ready.notify_all();
    state_->changed.notify_all();
}

bool WorkerPool::submit(std::function<void()>&& task)
{
    const StatePtr& s = state_;
    std::lock_guard lock(s->mutex);
    if (s->limits.waiting != 0 && s->queue.size() >= s->limits.waiting)
        return false;
    s->queue.push_back(std::move(task));
    if (s->idle >= s->queue.size()) {
        s->ready.notify_one();
        return true;
    }
    if (grow_locked(s))
        return true;
    if (s->threads > 0) {
        start_watch_locked(s);
        return true;
    }
    task = std::move(s->queue.back());
    s->queue.pop_back();
    return false;
}

void WorkerPool::start(std::size_t count)
{
    std::lock_guard lock(state_->mutex);
    while (state_->threads < count && state_->threads < state_->limits.threads && !state_->ended) {
        try {
            std::thread(work, state_).detach();
        } catch (const std::system_error&) {
            return;
        }
        ++state_->threads;
        ++state_->idle;
    }
}

} // namespace kov
