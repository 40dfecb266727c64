#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "common/trim.hpp"
#include "common/unique_fd.hpp"
#include "shares/share_table.hpp"

namespace kov {
namespace {

// The whole file, or nothing when it cannot be opened or read.
std::string read_whole(const std::string& path)
{
    std::string content;
    // An empty path or one with a NUL byte names no file we could mean.
    if (path.empty() || path.find('\0') != std::string::npos)
        return content;
    // Without blocking on a FIFO put where the list was; only a regular file is read.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return content;
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {}; // a directory or an I/O error: unreadable, hence empty
        if (n == 0)
            break;
        content.append(buf, static_cast<std::size_t>(n));
    }
    return content;
}

std::optional<Share> parse_line(std::string_view line)
{
    const std::string trimmed = trim(line);
    if (trimmed.empty() || trimmed.front() == '#')
        return std::nullopt;
    const auto tab1 = line.find('\t');
    if (tab1 == std::string_view::npos)
        return std::nullopt;
    const auto tab2 = line.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos || tab2 + 1 == line.size())
        return std::nullopt;
    // The path is all the rest, further TABs included.
    const std::string flag = trim(line.substr(0, tab1));
    Share share;
    share.enabled = flag == "1" || flag == "true";
    share.name = trim(line.substr(tab1 + 1, tab2 - tab1 - 1));
    share.path = trim(line.substr(tab2 + 1));
    if (share.name.empty() || share.path.empty())
        return std::nullopt;
    return share;
}

} // namespace

std::vector<Share> read_share_list(const std::string& path)
{
    const std::string content = read_whole(path);
    std::vector<Share> shares;
    std::string_view rest = content;
    while (!rest.empty()) {
        const auto lf = rest.find('\n');
        const std::string_view line = rest.substr(0, lf);
        rest = lf == std::string_view::npos ? std::string_view{} : rest.substr(lf + 1);
        if (auto share = parse_line(line))
            shares.push_back(std::move(*share));
    }
    return shares;
}

} // namespace kov
