#pragma once
// The shares-mode reload thread: waits on a signalfd for SIGHUP and on an
// eventfd for the stop request; on SIGHUP it re-reads the share list, swaps the
// ShareTable and has the kernel drop what it caches of the mount root.
// Started and stopped on the main thread; owns its two descriptors.

#include <thread>

#include "common/unique_fd.hpp"
#include "fs/fuse_api.hpp"

namespace kov {

class ShareTable;

class ReloadThread {
public:
    ReloadThread() = default;
    ReloadThread(const ReloadThread&) = delete;
    ReloadThread& operator=(const ReloadThread&) = delete;
    ~ReloadThread() { stop(); }

    // Blocks SIGHUP in the calling thread (so every thread made later inherits
    // the block), then creates the descriptors and starts the thread. Returns
    // false when a descriptor could not be made: SIGHUP then stays blocked and
    // the mount goes on without live reloads.
    bool start(fuse_session* session, ShareTable& table);
    // Asks the thread to end and joins it; closes the descriptors. Idempotent.
    void stop();

private:
    UniqueFd signal_fd_;
    UniqueFd stop_fd_;
    std::thread thread_;
};

} // namespace kov
