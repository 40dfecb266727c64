#pragma once
// A few decoding workers shared by every source of the process: they decode
// the segments a reader will want next while it consumes the current ones, so
// that one reader keeps more than one core busy and many readers do not each
// bring a thread of their own.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace kov {

class DecodePool {
  public:
    // Jobs waiting at most; beyond that a new job is refused (the reader
    // decodes itself when it gets there).
    static constexpr std::size_t max_waiting = 64;

    // Workers. More than cores: on a slow source (a network share) they spend
    // most of their time waiting for reads, and the reads of several
    // segments in flight together are what keeps a reader going there
    // (measured through a source answering each read after 1 ms: 8 workers
    // read 2.4 times faster than 2).
    static constexpr std::size_t workers = 8;

    // The process's pool. Never destroyed.
    static DecodePool& instance();

    // Queues the job for a worker; false when it was refused (no workers, or
    // too many waiting).
    bool submit(std::function<void()> job);

  private:
    DecodePool();
    [[noreturn]] void run();

    // Taken alone: jobs run without it.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::size_t workers_ = 0; // set once, before any use
};

} // namespace kov
