#include "shares/share_table.hpp"

#include <sys/stat.h>

namespace kov {
namespace {

bool valid_name(const std::string& name)
{
    // A NUL byte could never be looked up and would cut the name short.
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

} // namespace

std::vector<ActiveShare> ShareTable::validate(const std::vector<Share>& shares)
{
    std::vector<ActiveShare> accepted;
    for (const Share& share : shares) {
        if (!share.enabled || !valid_name(share.name))
            continue;
        // stat() would silently stop at an embedded NUL and check another folder.
        if (share.path.empty() || share.path.find('\0') != std::string::npos)
            continue;
        struct stat st {};
        if (::stat(share.path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        bool duplicate = false;
        for (const ActiveShare& a : accepted)
            duplicate = duplicate || a.name == share.name;
        if (duplicate)
            continue;
        accepted.push_back(ActiveShare{share.name, share.path, static_cast<std::uint64_t>(st.st_dev),
                                       static_cast<std::uint64_t>(st.st_ino)});
    }
    return accepted;
}

std::size_t ShareTable::install(const std::vector<Share>& shares)
{
    std::vector<ActiveShare> accepted = validate(shares);
    active_.swap(accepted);
    return active_.size();
}

std::size_t ShareTable::reload_shares()
{
    const std::vector<Share> shares = read_share_list(list_path_);
    // The stat calls run before the lock is taken, so a lookup at the mount
    // root never waits for a slow or hung source folder during a reload.
    std::vector<ActiveShare> accepted = validate(shares);
    std::lock_guard lock(mutex_);
    active_.swap(accepted);
    return active_.size();
}

std::optional<ActiveShare> ShareTable::find(std::string_view name) const
{
    std::lock_guard lock(mutex_);
    for (const ActiveShare& a : active_) {
        if (a.name.size() == name.size() && a.name == name)
            return a;
    }
    return std::nullopt;
}

std::vector<ActiveShare> ShareTable::snapshot() const
{
    std::lock_guard lock(mutex_);
    return active_;
}

ShareTable& share_table()
{
    static ShareTable table;
    return table;
}

} // namespace kov
