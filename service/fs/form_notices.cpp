// Telling the kernel that a file's form changed, from a thread of its own.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "fs/file_form.hpp"
#include "fs/mirror.hpp"

namespace kov {

namespace {

struct FormNotices {
    std::mutex mutex;
    std::condition_variable wake;
    fuse_session* session = nullptr; // guarded by mutex, with the two below
    std::vector<std::uint64_t> queue;
    bool stop = false;
    std::thread thread;
};

FormNotices& form_notices()
{
    static FormNotices notices;
    return notices;
}

void send_notices(FormNotices& n)
{
    std::unique_lock lock(n.mutex);
    for (;;) {
        n.wake.wait(lock, [&] { return n.stop || !n.queue.empty(); });
        if (n.stop)
            return;
        std::vector<std::uint64_t> batch;
        batch.swap(n.queue);
        fuse_session* session = n.session;
        lock.unlock();
        // A node forgotten meanwhile is answered ENOENT; a number handed on
        // to another file since costs that file its pages once.
        for (const std::uint64_t ino : batch)
            fuse_lowlevel_notify_inval_inode(session, ino, 0, 0);
        lock.lock();
    }
}

} // namespace

void set_form_notices(fuse_session* session)
{
    FormNotices& n = form_notices();
    if (session != nullptr) {
        std::lock_guard lock(n.mutex);
        n.session = session;
        n.stop = false;
        n.thread = std::thread(send_notices, std::ref(n));
        return;
    }
    {
        std::lock_guard lock(n.mutex);
        n.stop = true;
    }
    n.wake.notify_all();
    if (n.thread.joinable())
        n.thread.join();
    std::lock_guard lock(n.mutex);
    n.session = nullptr;
    n.queue.clear();
}

void notify_form_changed(std::uint64_t ino)
{
    FormNotices& n = form_notices();
    {
        std::lock_guard lock(n.mutex);
        if (n.session == nullptr || n.stop)
            return;
        for (const std::uint64_t queued : n.queue)
            if (queued == ino)
                return;
        n.queue.push_back(ino);
    }
    n.wake.notify_one();
}

} // namespace kov
