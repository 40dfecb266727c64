#pragma once
// Worker threads for work that reads sources: rewrite decisions and segments
// decoded ahead of a reader. A source may stall for as long as a dead network
// share or a dying disk likes, so the threads are detached and share their
// state with the pool: a thread stuck in a read outlives the pool without
// touching what is gone, and destroying the pool never waits for one.
//
// Threads are made on demand, up to `Limits::threads`. A thread busy with one
// task for `stuck_after` is taken to be stuck in a read and no longer counts
// against `working`: stalled tasks, however many, never keep a fresh one
// waiting for long (one thread watches for that while tasks wait).

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace kov {

class WorkerPool {
  public:
    struct Limits {
        std::size_t working = 1;                  // threads at work that count
        std::size_t threads = 1;                  // threads in all, stuck ones included
        std::size_t waiting = 0;                  // tasks waiting at most; 0: no bound
        std::chrono::milliseconds stuck_after{0}; // 0: a busy thread always counts
    };

    explicit WorkerPool(Limits limits);
    // Drops the tasks still waiting; tasks running finish on their own.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues `task` for a thread and takes it; false, leaving `task` with the
    // caller, when too many wait or no thread could be had at all. Any thread
    // may call. A task must not throw.
    bool submit(std::function<void()>&& task);
    // Starts threads until `count` exist (or the system refuses), so that the
    // first tasks do not wait for them.
    void start(std::size_t count);

    // Shared with the threads; opaque.
    struct State;

  private:
    std::shared_ptr<State> state_;
};

} // namespace kov
