#include "resolve/safe_rewrite.hpp"

#include "common/full_io.hpp"
#include "common/unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace kov {

namespace {

bool fail(FileError& error, const std::string& file, const std::string& reason)
{
    error = FileError{file, reason};
    return false;
}

bool fail_errno(FileError& error, const std::string& file, int err) { return fail(error, file, std::strerror(err)); }

// Whole content of a plain file. O_NONBLOCK so a FIFO planted at the name
// cannot hold the command; it is refused by its type right after.
bool read_bytes(const std::string& path, std::string& out, FileError& error)
{
    out.clear();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd)
        return fail_errno(error, path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return fail_errno(error, path, errno);
    if (!S_ISREG(st.st_mode))
        return fail(error, path, "not a regular file");
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail_errno(error, path, errno);
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
}

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

// A name we are about to replace or create must be free or a plain file:
// never a FIFO, a device, a folder or a link, whatever someone planted there.
bool slot_is_ours(const std::string& path, FileError& error)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? true : fail_errno(error, path, errno);
    if (!S_ISREG(st.st_mode))
        return fail(error, path, "in the way and not a regular file; remove it first");
    return true;
}

void sync_parent_dir(const std::string& path)
{
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        ::fsync(fd.get()); // best effort: the rename itself already happened
}

// Replaces `dest` by `bytes` through target + ".kovtmp", with the owner and
// mode in `like`. A leftover temporary file is a plain file of an earlier run
// (or a planted hard link): its name is removed, never written through.
bool replace_whole(const std::string& target, const std::string& dest, const std::string& bytes,
                   const struct stat& like, FileError& error)
{
    const std::string tmp = target + ".kovtmp";
    if (!slot_is_ours(tmp, error) || !slot_is_ours(dest, error))
        return false;
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT)
        return fail_errno(error, tmp, errno);
    UniqueFd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out)
        return fail_errno(error, tmp, errno);
    struct stat made {};
    bool ok = ::fstat(out.get(), &made) == 0;
    // Root editing another user's file must leave it theirs.
    if (ok && (made.st_uid != like.st_uid || made.st_gid != like.st_gid))
        ok = ::fchown(out.get(), like.st_uid, like.st_gid) == 0;
    // A short write (full disk, quota) or a failed flush must never reach
    // the rename: the file would be replaced by a truncated one.
    ok = ok && ::fchmod(out.get(), like.st_mode & 07777) == 0 && write_full(out.get(), bytes.data(), bytes.size()) &&
         ::fsync(out.get()) == 0;
    int err = errno;
    std::string where = tmp;
    if (::close(out.release()) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(tmp.c_str(), dest.c_str()) != 0) {
        ok = false;
        err = errno;
        where = dest;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return fail_errno(error, where, err);
    }
    sync_parent_dir(dest);
    return true;
}

// The target's owner and mode, and that it is a plain file.
bool target_state(const std::string& target, struct stat& st, FileError& error)
{
    if (::lstat(target.c_str(), &st) != 0)
        return fail_errno(error, target, errno);
    if (!S_ISREG(st.st_mode))
        return fail(error, target, "not a regular file");
    return true;
}

} // namespace

Lines read_lines(const std::string& path)
{
    std::string bytes;
    FileError ignored;
    if (!read_bytes(path, bytes, ignored))
        return {};
    return split_lines(bytes);
}

std::optional<std::string> rewrite_target(const std::string& path, FileError& error)
{
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        fail_errno(error, path, errno);
        return std::nullopt;
    }
    return std::string(resolved);
}

std::optional<Lines> read_lines_for_rewrite(const std::string& target, FileError& error)
{
    std::string bytes;
    if (!read_bytes(target, bytes, error))
        return std::nullopt;
    return split_lines(bytes);
}

bool write_lines_safely(const std::string& target, const Lines& lines, FileError& error)
{
    struct stat st {};
    std::string previous;
    if (!target_state(target, st, error) || !read_bytes(target, previous, error))
        return false;
    // The backup is complete before anything else changes, and an earlier
    // backup stays until then.
    if (!replace_whole(target, target + ".kovbak", previous, st, error))
        return false;
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += '\n';
    }
    return replace_whole(target, target, text, st, error);
}

bool restore_from_backup(const std::string& target, FileError& error)
{
    struct stat st {};
    std::string saved;
    return target_state(target, st, error) && read_bytes(target + ".kovbak", saved, error) &&
           replace_whole(target, target, saved, st, error);
}

EditOutcome edit_config_file(const std::string& path, FileError& error,
                             const std::function<std::optional<Lines>(const Lines&)>& edit)
{
    const auto target = rewrite_target(path, error);
    if (!target)
        return EditOutcome::failed;
    const auto lines = read_lines_for_rewrite(*target, error);
    if (!lines)
        return EditOutcome::failed;
    const auto edited = edit(*lines);
    if (!edited)
        return EditOutcome::unchanged;
    return write_lines_safely(*target, *edited, error) ? EditOutcome::changed : EditOutcome::failed;
}

Lines replace_key_block(const Lines& lines, const std::function<bool(std::string_view)>& in_block,
                        const Lines& block)
{
    std::size_t first = lines.size(), last = 0;
    std::vector<bool> keyed(lines.size(), false);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (in_block(lines[i])) {
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

} // namespace kov
