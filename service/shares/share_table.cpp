#include "shares/share_table.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace kov {
namespace {

bool valid_name(const std::string& name)
{
    // A NUL byte could never be looked up and would cut the name short.
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// Opens the share's folder for good; on failure says why in `why`.
UniqueFd open_folder(const std::string& path, std::string& why)
{
    UniqueFd fd(::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd)
        return fd;
    const int err = errno;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        why = "is a symbolic link";
    else if (err == ENOTDIR && ::lstat(path.c_str(), &st) == 0)
        why = "is not a folder";
    else
        why = std::strerror(err);
    return fd;
}

void report(std::vector<std::string>* problems, const Share& share, const std::string& why)
{
    if (problems)
        problems->push_back("share '" + share.name + "' (" + share.path + ") is not used: " + why);
}

} // namespace

std::vector<ActiveShare> ShareTable::validate(const std::vector<Share>& shares, std::vector<std::string>* problems)
{
    std::vector<ActiveShare> accepted;
    for (const Share& share : shares) {
        if (!share.enabled)
            continue;
        if (!valid_name(share.name)) {
            report(problems, share, "its name cannot be a folder name");
            continue;
        }
        // open() would silently stop at an embedded NUL and check another folder.
        if (share.path.empty() || share.path.find('\0') != std::string::npos) {
            report(problems, share, "no usable path");
            continue;
        }
        bool duplicate = false;
        for (const ActiveShare& a : accepted)
            duplicate = duplicate || a.name == share.name;
        if (duplicate) {
            report(problems, share, "an earlier share has the same name");
            continue;
        }
        std::string why;
        UniqueFd folder = open_folder(share.path, why);
        struct stat st {};
        if (folder && ::fstat(folder.get(), &st) != 0)
            why = std::strerror(errno);
        if (!why.empty()) {
            report(problems, share, why);
            continue;
        }
        accepted.push_back(ActiveShare{share.name, share.path, static_cast<std::uint64_t>(st.st_dev),
                                       static_cast<std::uint64_t>(st.st_ino),
                                       std::make_shared<const UniqueFd>(std::move(folder))});
    }
    return accepted;
}

std::size_t ShareTable::install(const std::vector<Share>& shares, std::vector<std::string>* problems)
{
    std::vector<ActiveShare> accepted = validate(shares, problems);
    active_.swap(accepted);
    return active_.size();
}

std::size_t ShareTable::reload_shares(std::vector<std::string>* problems)
{
    const std::vector<Share> shares = read_share_list(list_path_);
    // The folders are opened before the lock is taken, so a lookup at the
    // mount root never waits for a slow or hung source folder during a reload.
    std::vector<ActiveShare> accepted = validate(shares, problems);
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
