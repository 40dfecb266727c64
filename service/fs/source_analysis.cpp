#include "fs/source_analysis.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "common/full_io.hpp"
#include "common/table_work.hpp"
#include "fs/mirror_state.hpp"
#include "media/media_scan.hpp"
#include "media/sample_model.hpp"
#include "pcm/decoding_service.hpp"

namespace kov {

namespace {

// Box headers sit at the start of the file and before each box; one read of
// this size covers the file type, free and media data headers of a typical
// clip at once.
constexpr std::size_t read_ahead = 64 * 1024;

// A positional reader over `fd` that keeps the last read-ahead window and
// remembers whether any read failed.
class ScanReader {
  public:
    ScanReader(int fd, std::uint64_t file_size) : fd_(fd), file_size_(file_size) {}

    std::int64_t read(std::uint64_t offset, std::uint8_t* dest, std::size_t length)
    {
        if (length >= read_ahead)
            return checked(pread_full(fd_, dest, length, offset));
        if (!(offset >= window_start_ && offset - window_start_ + length <= window_.size())) {
            // Not in the window: fill it from here, as far as the file goes.
            const std::uint64_t left = offset < file_size_ ? file_size_ - offset : 0;
            window_.resize(
                static_cast<std::size_t>(std::min<std::uint64_t>(read_ahead, std::max<std::uint64_t>(left, length))));
            const std::int64_t got = checked(pread_full(fd_, window_.data(), window_.size(), offset));
            window_start_ = offset;
            window_.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
            if (got < 0)
                return -1;
        }
        const std::size_t at = static_cast<std::size_t>(offset - window_start_);
        const std::size_t n = std::min(length, window_.size() - at);
        std::memcpy(dest, window_.data() + at, n);
        return static_cast<std::int64_t>(n);
    }

    bool failed() const { return failed_; }

  private:
    std::int64_t checked(std::int64_t got)
    {
        failed_ = failed_ || got < 0;
        return got;
    }

    int fd_;
    std::uint64_t file_size_;
    std::vector<std::uint8_t> window_;
    std::uint64_t window_start_ = 0;
    bool failed_ = false;
};

// What building a layout holds beside the scan: a sample and a table entry
// for each sample of every track, at most.
std::size_t layout_work_bytes(const MediaScan& scan)
{
    std::size_t samples = 0;
    for (const TrackScan& track : scan.tracks)
        samples += sample_limit(track.sample_count, scan.file_size);
    return samples * 2 * sizeof(MediaSample);
}

// Whether a file without a layout is a movie that cannot be read as one yet:
// empty, or beginning with a movie's first box but without a whole movie
// box, or with AAC audio whose layout could not be built.
bool unfinished_movie(const MediaScan& scan)
{
    if (scan.file_size == 0)
        return true;
    const BoxHeader* first = !scan.boxes.empty() && scan.boxes.front().offset == 0 ? &scan.boxes.front().header
                             : scan.cut_box && scan.cut_box->offset == 0          ? &scan.cut_box->header
                                                                                  : nullptr;
    if (first == nullptr)
        return false;
    const std::uint32_t type = first->type;
    const bool movie = type == fourcc("ftyp") || type == fourcc("wide") || type == fourcc("mdat") ||
                       type == fourcc("moov");
    return movie && (scan.moov_size == 0 || scan.has_aac);
}

} // namespace

SourceAnalysis analyse_source_file(int fd)
{
    SourceAnalysis result;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        result.read_failed = true;
        return result;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    ScanReader reader(fd, size);
    MediaScan scan = scan_media_from(
        size,
        [&reader](std::uint64_t offset, std::uint8_t* dest, std::size_t length) {
            return reader.read(offset, dest, length);
        },
        mirror_settings().convert);
    if (reader.failed()) {
        result.read_failed = true;
        return result;
    }
    if (!scan.has_aac) {
        result.unfinished = unfinished_movie(scan);
        return result;
    }
    // A long recording's sample tables take tens of MiB while its layout is
    // built (a 2-hour file with six tracks: about 25 MiB); the scan's reads
    // are done by now, so the share is taken without a stall behind it.
    TableWork work;
    work.take(layout_work_bytes(scan));
    // The build reads the source again (box walk, a short decoding probe);
    // it reports only "no layout", so a read error is told by errno.
    errno = 0;
    DecodingService* decoding = decision_decoding();
    result.layout = decoding ? build_layout(fd, std::move(scan), *decoding) : build_silent_layout(fd, std::move(scan));
    const int err = errno;
    result.read_failed = !result.layout && (err == EIO || err == ENXIO || err == ESTALE || err == ETIMEDOUT ||
                                            err == ENOTCONN || err == EINTR || err == ENOMEM);
    result.unfinished = !result.layout && !result.read_failed;
    return result;
}

} // namespace kov
