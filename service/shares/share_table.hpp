#pragma once
// The service's table of active shares. One per process (share_table());
// tests may make their own. The mutex guards only the active sequence and is
// held just long enough to copy in or out; list_path is fixed before any
// other thread starts.

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shares/share.hpp"

namespace kov {

class ShareTable {
public:
    void set_list_path(std::string path) { list_path_ = std::move(path); }
    const std::string& list_path() const { return list_path_; }

    // Validates `shares` and replaces the active sequence. The caller holds
    // mutex(). `problems`, when given, receives one line for each enabled
    // share that cannot be used, saying why.
    std::size_t install(const std::vector<Share>& shares, std::vector<std::string>* problems = nullptr);
    // Reads list_path (an unreadable file reads as empty), then installs under the mutex.
    std::size_t reload_shares(std::vector<std::string>* problems = nullptr);
    std::optional<ActiveShare> find(std::string_view name) const;
    std::vector<ActiveShare> snapshot() const;

    std::mutex& mutex() const { return mutex_; }

private:
    std::string list_path_;
    // Keeps the entries of `shares` that may become active, in order: enabled, a
    // usable name, a path that is a folder now and not a symbolic link, the
    // first of each name.
    static std::vector<ActiveShare> validate(const std::vector<Share>& shares, std::vector<std::string>* problems);

    mutable std::mutex mutex_; // guards active_; held only to copy or swap, never while replying
    std::vector<ActiveShare> active_;
};

// Reads the share list file at `path`. Never fails: an unreadable file is empty.
std::vector<Share> read_share_list(const std::string& path);

// The process-wide table.
ShareTable& share_table();

} // namespace kov
