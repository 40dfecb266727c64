#include "cli/probe_report.hpp"

#include <fcntl.h>

#include <string>

#include "common/unique_fd.hpp"

namespace kov {

namespace {

const char* or_unknown(const std::string& s) { return s.empty() ? "?" : s.c_str(); }

} // namespace

void write_probe_report(std::FILE* out, const char* path, const MediaScan& scan)
{
    if (!scan.is_bmff) {
        std::fprintf(out, "not-bmff\t%s\n", path);
        return;
    }
    std::fprintf(out, "file\t%s\tsize=%llu\tfragmented=%d\tmoov@%llu(+%llu)\thas_aac=%d\n", path,
                 static_cast<unsigned long long>(scan.file_size), scan.fragmented ? 1 : 0,
                 static_cast<unsigned long long>(scan.moov_offset), static_cast<unsigned long long>(scan.moov_size),
                 scan.has_aac ? 1 : 0);
    for (const TrackScan& t : scan.tracks) {
        std::fprintf(out, "  track id=%u handler=%s format=%s", t.track_id, or_unknown(t.handler),
                     or_unknown(t.format));
        if (t.handler == "soun")
            std::fprintf(out, " rate=%u ch=%u bits=%u aac=%d asc=%zuB", t.sample_rate, unsigned{t.channels},
                         unsigned{t.bits}, t.codec == Codec::aac ? 1 : 0,
                         t.decoder.codec == Codec::aac ? t.decoder.extradata.size() : 0);
        // A converted AAC track's line reads as it always has; any other
        // sound track names its codec and whether it is converted.
        const bool converted = t.decoder.codec != Codec::none;
        if (t.handler == "soun" && (t.codec != Codec::aac || !converted))
            std::fprintf(out, " codec=%s convert=%d", codec_name(t.codec), converted ? 1 : 0);
        std::fprintf(out, " samples=%llu\n", static_cast<unsigned long long>(t.sample_count));
    }
}

int run_probe(const char* path, CodecSet convert)
{
    MediaScan scan;
    // An unreadable file is reported exactly like one that is not ISO BMFF.
    // O_NONBLOCK: a FIFO given by mistake must not hang the probe.
    if (UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK)); fd)
        scan = scan_media(fd.get(), convert);
    write_probe_report(stdout, path, scan);
    if (!scan.is_bmff)
        return 2;
    return scan.has_aac ? 0 : 1;
}

} // namespace kov
