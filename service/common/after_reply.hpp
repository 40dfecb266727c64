#pragma once
// Work that should wait until the reply to the request being served has gone
// out: background work started beside a read that is still replying slows
// that read down more than the work costs (two cores).
//
// The filesystem's read path holds an AfterReply while it serves a request
// and calls run() once it has replied. Work handed over elsewhere (no
// AfterReply on the thread: --emit, tests, decoding workers) runs at once.

#include <functional>
#include <vector>

namespace kov {

class AfterReply {
  public:
    AfterReply();
    ~AfterReply(); // runs what is left
    AfterReply(const AfterReply&) = delete;
    AfterReply& operator=(const AfterReply&) = delete;

    // Runs the work handed over on this thread since the scope began.
    void run();

    // Runs `work` once the outermost AfterReply of this thread runs (a nested
    // one serves the same request), or at once when there is none.
    static void defer(std::function<void()> work);

  private:
    bool outermost_;
    std::vector<std::function<void()>> work_;
};

} // namespace kov
