#pragma once
// Handles given to the kernel as fh. An unmount releases neither the handles
// still open nor a release on its way, so the end of the session frees what
// is left here.

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace kov {

template <class T>
class KernelHeld {
public:
    // Hands `handle` over to the kernel; returns the fh value.
    std::uint64_t adopt(std::unique_ptr<T> handle)
    {
        std::lock_guard lock(mutex_);
        live_.insert(handle.get());
        return reinterpret_cast<std::uint64_t>(handle.release());
    }

    // Takes a handle back at its release; empty when the session's end has
    // freed it already.
    std::unique_ptr<T> take(std::uint64_t fh)
    {
        T* handle = reinterpret_cast<T*>(fh);
        std::lock_guard lock(mutex_);
        return std::unique_ptr<T>(live_.erase(handle) == 1 ? handle : nullptr);
    }

    // Every handle not released; only once no request runs any more.
    std::vector<std::unique_ptr<T>> take_all()
    {
        std::vector<std::unique_ptr<T>> left;
        std::lock_guard lock(mutex_);
        for (T* handle : live_)
            left.emplace_back(handle);
        live_.clear();
        return left;
    }

private:
    std::mutex mutex_;
    std::unordered_set<T*> live_;
};

} // namespace kov
