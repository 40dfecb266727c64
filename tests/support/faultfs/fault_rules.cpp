#include "fault_rules.hpp"

#include <cerrno>
#include <charconv>
#include <chrono>

namespace kov::test {

namespace {

std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t start = line.find_first_not_of(" \t\r\n", at);
        if (start == std::string_view::npos)
            break;
        std::size_t stop = line.find_first_of(" \t\r\n", start);
        if (stop == std::string_view::npos)
            stop = line.size();
        out.push_back(line.substr(start, stop - start));
        at = stop;
    }
    return out;
}

template <class T>
bool number(std::string_view text, T& value)
{
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && ptr == text.data() + text.size();
}

bool offset(std::string_view text, std::uint64_t& value)
{
    if (text == "max") {
        value = UINT64_MAX;
        return true;
    }
    return number(text, value);
}

bool error_code(std::string_view text, int& value)
{
    static constexpr struct {
        std::string_view name;
        int code;
    } names[] = {{"EIO", EIO}, {"ENXIO", ENXIO}, {"EACCES", EACCES}, {"ESTALE", ESTALE},
                 {"ENOMEM", ENOMEM}, {"ETIMEDOUT", ETIMEDOUT}, {"EINTR", EINTR}, {"ENOENT", ENOENT}};
    for (const auto& n : names)
        if (n.name == text) {
            value = n.code;
            return true;
        }
    return number(text, value) && value > 0;
}

std::string relative(std::string_view path)
{
    while (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    return std::string(path);
}

} // namespace

std::optional<FaultCommand> parse_fault_command(std::string_view line)
{
    const auto w = words(line);
    if (w.empty())
        return std::nullopt;
    if (w[0] == "clear")
        return w.size() == 1 ? std::optional<FaultCommand>(FaultCommand{}) : std::nullopt;
    FaultRule rule;
    if (w[0] == "stall" && w.size() == 2) {
        rule.kind = FaultRule::Kind::stall;
        rule.path = relative(w[1]);
        return FaultCommand{rule};
    }
    if (w.size() < 4 || !offset(w[2], rule.begin) || !offset(w[3], rule.end) || rule.begin >= rule.end)
        return std::nullopt;
    rule.path = relative(w[1]);
    if (w[0] == "fail" && (w.size() == 4 || w.size() == 5)) {
        rule.kind = FaultRule::Kind::fail;
        rule.error = EIO;
        if (w.size() == 5 && !error_code(w[4], rule.error))
            return std::nullopt;
        return FaultCommand{rule};
    }
    if (w[0] == "delay" && w.size() == 5 && number(w[4], rule.milliseconds)) {
        rule.kind = FaultRule::Kind::delay;
        return FaultCommand{rule};
    }
    return std::nullopt;
}

void FaultRules::apply(const FaultCommand& command)
{
    std::lock_guard lock(mutex_);
    if (command.rule) {
        rules_.push_back(*command.rule);
        return;
    }
    rules_.clear();
    ++generation_;
    cleared_.notify_all();
}

FaultRules::Verdict FaultRules::judge(const std::string& path, std::uint64_t offset, std::uint64_t size) const
{
    Verdict v;
    // A read of nothing still touches the byte at its offset, so an empty
    // read at a failing position fails too.
    const std::uint64_t last = size == 0 ? offset : offset + (size - 1);
    for (const auto& r : rules_) {
        if (r.path != "*" && r.path != path)
            continue;
        if (r.kind == FaultRule::Kind::stall) {
            v.stalled = true;
            continue;
        }
        if (last < r.begin || offset >= r.end)
            continue;
        if (r.kind == FaultRule::Kind::fail && v.error == 0)
            v.error = r.error;
        if (r.kind == FaultRule::Kind::delay)
            v.delay_ms = std::max(v.delay_ms, r.milliseconds);
    }
    return v;
}

bool FaultRules::wait_stalled(std::uint64_t generation)
{
    std::unique_lock lock(mutex_);
    return cleared_.wait_for(lock, std::chrono::milliseconds(100), [&] { return generation_ != generation; });
}

} // namespace kov::test
