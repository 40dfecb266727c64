#include "cli/codec_presence.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include <memory>
#include <string_view>

#include "common/unique_fd.hpp"
#include "media/media_scan.hpp"

namespace kov {

namespace {

using Clock = std::chrono::steady_clock;
using DirStream = std::unique_ptr<DIR, int (*)(DIR*)>;

bool named_like_media(std::string_view name)
{
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return false;
    const std::string_view ext = name.substr(dot + 1);
    for (const char* known : {"mp4", "m4a", "m4v", "mov"})
        if (ext.size() == std::char_traits<char>::length(known) && ::strncasecmp(ext.data(), known, ext.size()) == 0)
            return true;
    return false;
}

// A directory stream of its own over the folder `name` in `at`; null when it
// is no folder (a symbolic link included) or cannot be read.
DirStream open_folder(int at, const char* name)
{
    UniqueFd fd(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    DIR* dir = fd ? ::fdopendir(fd.get()) : nullptr;
    if (dir)
        fd.release();
    return DirStream(dir, ::closedir);
}

class Walk {
  public:
    Walk(CodecSet wanted, const PresenceLimits& limits)
        : wanted_(wanted), limits_(limits), deadline_(Clock::now() + limits.max_time)
    {
    }

    // False once the walk must stop: a bound was reached or all was found.
    bool folder(DirStream dir, unsigned depth)
    {
        while (const dirent* entry = ::readdir(dir.get())) {
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            if (Clock::now() >= deadline_)
                return stop(false);
            if (!visit(::dirfd(dir.get()), entry, depth))
                return false;
        }
        return true;
    }

    const CodecPresence& result() const { return result_; }

  private:
    bool visit(int at, const dirent* entry, unsigned depth)
    {
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(at, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                return true;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            if (depth >= limits_.max_depth) {
                result_.complete = false;
                return true;
            }
            DirStream sub = open_folder(at, entry->d_name);
            return !sub || folder(std::move(sub), depth + 1);
        }
        if (type != DT_REG || !named_like_media(entry->d_name))
            return true;
        if (result_.files >= limits_.max_files)
            return stop(false);
        // Non-blocking, so a FIFO that took a media name cannot hold the walk.
        const UniqueFd fd(::openat(at, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return true;
        ++result_.files;
        for (const TrackScan& track : scan_media(fd.get()).tracks)
            if (wanted_.has(track.codec))
                result_.found.add(track.codec);
        // Nothing left to learn.
        return result_.found == wanted_ ? stop(true) : true;
    }

    bool stop(bool complete)
    {
        result_.complete = complete;
        return false;
    }

    const CodecSet wanted_;
    const PresenceLimits limits_;
    const Clock::time_point deadline_;
    CodecPresence result_;
};

} // namespace

CodecPresence find_codecs(const std::vector<ActiveShare>& shares, CodecSet wanted, const PresenceLimits& limits)
{
    Walk walk(wanted, limits);
    if (wanted == CodecSet{})
        return walk.result();
    for (const ActiveShare& share : shares) {
        // The folder as validated when the share was installed.
        DirStream root = share.folder ? open_folder(share.folder->get(), ".") : DirStream(nullptr, ::closedir);
        if (root && !walk.folder(std::move(root), 0))
            break;
    }
    return walk.result();
}

} // namespace kov
