#include "resolve/safe_rewrite.hpp"

#include "common/full_io.hpp"

#include "common/trim.hpp"
#include "common/unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace kov {

namespace {

// Whole content of a file; false when it cannot be opened or read.
bool read_bytes(const std::string& path, std::string& out)
{
    out.clear();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return false;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
}

// Creates or truncates a regular file; refuses to follow a symbolic link
// planted at the name, so a rewrite cannot be redirected elsewhere.
UniqueFd create_file(const std::string& path, mode_t mode)
{
    return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
}

void sync_parent_dir(const std::string& path)
{
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        ::fsync(fd.get()); // best effort: the rename itself already happened
}

} // namespace

namespace {

Lines split_lines(const std::string& bytes)
{
    Lines lines;
    std::string line;
    for (const char c : bytes) {
        if (c == '\n') {
            lines.push_back(std::move(line));
            line.clear();
        } else if (c != '\r') {
            line.push_back(c);
        }
    }
    if (!line.empty())
        lines.push_back(std::move(line));
    return lines;
}

} // namespace

Lines read_lines(const std::string& path)
{
    std::string bytes;
    if (!read_bytes(path, bytes))
        return {};
    return split_lines(bytes);
}

std::optional<Lines> read_lines_for_rewrite(const std::string& path)
{
    std::string bytes;
    if (read_bytes(path, bytes))
        return split_lines(bytes);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT)
        return Lines{};
    return std::nullopt;
}

bool write_lines_safely(const std::string& path, const Lines& lines)
{
    std::string previous;
    read_bytes(path, previous); // unreadable: the backup ends up empty
    if (UniqueFd bak = create_file(path + ".kovbak", 0600))
        write_full(bak.get(), previous.data(), previous.size());

    // Keep the permissions the file had; a fresh one gets the usual 0644.
    struct stat st {};
    const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;

    const std::string tmp = path + ".kovtmp";
    UniqueFd out = create_file(tmp, mode);
    if (!out)
        return false;
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += '\n';
    }
    // A short write (full disk, quota) or a failed flush must never reach
    // the rename: the file would be replaced by a truncated one.
    bool ok = ::fchmod(out.get(), mode) == 0 && write_full(out.get(), text.data(), text.size()) && ::fsync(out.get()) == 0;
    ok = (::close(out.release()) == 0) && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    sync_parent_dir(path);
    return true;
}

Lines replace_key_block(const Lines& lines, const std::regex& pattern, const Lines& block)
{
    std::size_t first = lines.size(), last = 0;
    std::vector<bool> keyed(lines.size(), false);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (std::regex_search(lines[i], pattern, std::regex_constants::match_continuous)) {
            keyed[i] = true;
            if (first == lines.size())
                first = i;
            last = i;
        }
    }
    Lines out;
    out.reserve(lines.size() + block.size());
    if (first == lines.size()) {
        out = lines;
        out.insert(out.end(), block.begin(), block.end());
        return out;
    }
    out.insert(out.end(), lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(first));
    out.insert(out.end(), block.begin(), block.end());
    for (std::size_t i = first; i <= last; ++i)
        if (!keyed[i])
            out.push_back(lines[i]);
    out.insert(out.end(), lines.begin() + static_cast<std::ptrdiff_t>(last) + 1, lines.end());
    return out;
}

bool match_key_line(const std::string& line, const std::regex& key, std::smatch& groups, std::string& value)
{
    if (!std::regex_search(line, groups, key, std::regex_constants::match_continuous))
        return false;
    value = trim(std::string_view(line).substr(static_cast<std::size_t>(groups.length(0))));
    return true;
}

} // namespace kov
