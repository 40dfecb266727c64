#pragma once
// Owns one handle from the dynamic loader. Libraries are opened with
// RTLD_NODELETE: closing the handle then never unmaps the code, so function
// pointers taken from it stay valid for the life of the process, and the leak
// checker does not see allocations of an unloaded library as unknown leaks.

#include <dlfcn.h>

#include <utility>

namespace kov {

class DlHandle {
  public:
    DlHandle() = default;
    DlHandle(const DlHandle&) = delete;
    DlHandle& operator=(const DlHandle&) = delete;
    DlHandle(DlHandle&& o) noexcept : handle_(std::exchange(o.handle_, nullptr)) {}
    DlHandle& operator=(DlHandle&& o) noexcept
    {
        if (this != &o) {
            reset();
            handle_ = std::exchange(o.handle_, nullptr);
        }
        return *this;
    }
    ~DlHandle() { reset(); }

    // Opens `name` with `flags` | RTLD_NODELETE; false when the loader refuses.
    bool open(const char* name, int flags)
    {
        reset();
        handle_ = ::dlopen(name, flags | RTLD_NODELETE);
        return handle_ != nullptr;
    }

    void reset()
    {
        if (handle_)
            ::dlclose(handle_);
        handle_ = nullptr;
    }

    void* get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // Fills `fn` with the symbol `name` of this library (of the global scope
    // when no library is open); false, and `fn` null, when it does not exist.
    template <typename Fn> bool bind(const char* name, Fn*& fn) const
    {
        void* sym = ::dlsym(handle_ ? handle_ : RTLD_DEFAULT, name);
        fn = reinterpret_cast<Fn*>(sym);
        return sym != nullptr;
    }

  private:
    void* handle_ = nullptr;
};

} // namespace kov
