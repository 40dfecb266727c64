#pragma once
// The rules of the fault-injecting test filesystem: which reads fail, wait or
// stall. Commands arrive as text lines written to the control file.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kov::test {

struct FaultRule {
    enum class Kind { fail, delay, stall };
    Kind kind = Kind::fail;
    std::string path;         // relative to the mount, no leading '/'; "*" matches every file
    std::uint64_t begin = 0;  // bytes [begin, end) of the file
    std::uint64_t end = UINT64_MAX;
    int error = 0;            // fail: the errno answered
    unsigned milliseconds = 0; // delay
};

// One parsed command line: a rule to add, or `clear` when `rule` is empty.
struct FaultCommand {
    std::optional<FaultRule> rule;
};

// Parses "fail PATH BEGIN END [ERRNO]", "delay PATH BEGIN END MS",
// "stall PATH" or "clear"; nullopt for anything else.
std::optional<FaultCommand> parse_fault_command(std::string_view line);

class FaultRules {
public:
    void apply(const FaultCommand& command);

    // Applies the rules to a read of `size` bytes at `offset` of `path`:
    // waits for delays and stalls, then returns 0 or the errno to answer.
    // `stop` is asked now and then while stalled, so a stalled read ends when
    // the filesystem shuts down.
    template <class Stop>
    int before_read(const std::string& path, std::uint64_t offset, std::uint64_t size, Stop stop);

private:
    // What the rules ask of one read, taken under the lock.
    struct Verdict {
        int error = 0;
        unsigned delay_ms = 0;
        bool stalled = false;
    };
    Verdict judge(const std::string& path, std::uint64_t offset, std::uint64_t size) const;
    bool wait_stalled(std::uint64_t generation);

    mutable std::mutex mutex_;
    std::condition_variable cleared_;
    std::vector<FaultRule> rules_;
    std::uint64_t generation_ = 0; // bumped by every clear
};

template <class Stop>
int FaultRules::before_read(const std::string& path, std::uint64_t offset, std::uint64_t size, Stop stop)
{
    std::uint64_t generation = 0;
    Verdict v;
    {
        std::lock_guard lock(mutex_);
        v = judge(path, offset, size);
        generation = generation_;
    }
    if (v.stalled)
        while (!wait_stalled(generation))
            if (stop())
                return EINTR;
    if (v.delay_ms > 0) {
        std::unique_lock lock(mutex_);
        cleared_.wait_for(lock, std::chrono::milliseconds(v.delay_ms),
                          [&] { return generation_ != generation; });
    }
    return v.error;
}

} // namespace kov::test
