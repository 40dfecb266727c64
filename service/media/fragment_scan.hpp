#pragma once
// Movie fragments: the samples that top-level `moof` boxes add to the tracks of
// a movie, read from the fragment headers alone (never from media data). The
// result is plain values owned by the caller; any thread may scan, and the
// file is only read through the positional reader given.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "media/box_header.hpp"
#include "media/media_scan.hpp"
#include "media/sample_model.hpp"

namespace kov {

// What a track's fragments fall back on when their own headers are silent
// (one `trex` of the movie's `mvex`).
struct FragmentDefaults {
    std::uint32_t track_id = 0;
    std::uint32_t description_index = 0;
    std::uint32_t duration = 0;
    std::uint32_t size = 0;
    std::uint32_t flags = 0;
};

// The `trex` boxes of the `mvex` children of a movie box payload (the box less
// its own header).
std::vector<FragmentDefaults> read_fragment_defaults(std::span<const std::uint8_t> moov_payload);

struct FragmentTrack {
    std::uint32_t track_id = 0;
    bool timed = false;           // the first fragment gave its decode time (`tfdt`)
    std::uint64_t start_time = 0; // decode time of the first sample, media timescale
    // In decode order. A fragment whose `tfdt` lies past the end of the samples
    // before it lengthens the last of them, so the gap is kept in the timing.
    std::vector<MediaSample> samples;
};

struct FragmentScan {
    std::vector<FragmentTrack> tracks;       // in order of first appearance
    std::vector<std::uint64_t> moof_offsets; // the kept fragments' `moof` boxes
    // The source bytes worth keeping: what follows belongs to a fragment that
    // was left out (cut off, or unreadable) or to a box the walk could not read.
    std::uint64_t kept_end = 0;
    bool cut = false; // a fragment was left out
    // The last fragment was kept in part: kept_end lies inside its media data.
    bool partial = false;
};

// A file that ends inside the media data box after its last `moof`: the
// samples whose bytes lie wholly before `end` can still be kept.
struct CutMediaData {
    std::uint64_t offset = 0;     // where the box starts, right after the moof
    std::uint64_t payload_at = 0; // where its payload starts
    std::uint64_t end = 0;        // the end of the file
};

// Reads every `moof` among `boxes` (the file's valid top-level boxes, in file
// order) once, in one piece. A fragment whose header cannot be read in full,
// is malformed, or whose sample bytes run past the last box, is left out
// together with everything after it; except that with `cut`, the last moof's
// samples that lie wholly in the file are kept.
FragmentScan scan_fragments(std::span<const FileBox> boxes, std::span<const FragmentDefaults> defaults,
                            const ReadAtFn& read_bytes, std::optional<CutMediaData> cut = std::nullopt);

// A track's samples from its movie box tables and from its fragments, in
// decode order; fragment samples at an offset the tables already list are the
// same samples (hybrid writers) and are dropped. Durations follow the decode
// times; `start_time` receives the first sample's decode time.
std::vector<MediaSample> merge_fragment_samples(std::span<const MediaSample> movie, FragmentTrack&& fragments,
                                                std::uint64_t& start_time);

// The reads of the top-level walk of a file that may be fragmented. A moof is
// read whole as soon as the walk meets its header, together with the header
// of the box after it, so a fragment costs two reads (its moof's header, then
// the moof) and the fragment scan reads nothing again. Lives for one scan.
class TopLevelReads {
  public:
    explicit TopLevelReads(const ReadAtFn& read_bytes) : read_bytes_(read_bytes) {}

    // Up to `length` bytes at `offset` for a box header.
    std::int64_t header(std::uint64_t offset, std::uint8_t* dest, std::size_t length);
    // The walk found `h` at `offset` (within a file of `file_size` bytes).
    void found(std::uint64_t offset, const BoxHeader& h, std::uint64_t file_size);
    // Reads that serve the moofs kept from memory and anything else from the file.
    std::int64_t read(std::uint64_t offset, std::uint8_t* dest, std::size_t length) const;

  private:
    const ReadAtFn& read_bytes_;
    std::vector<std::uint8_t> kept_;      // every moof read whole, back to back
    std::vector<std::uint64_t> kept_at_;  // file offset of each, ascending
    std::vector<std::size_t> kept_start_; // where each starts in kept_
    std::uint64_t next_at_ = 0;           // the header after the last moof read
    std::array<std::uint8_t, 16> next_head_{};
    std::size_t next_size_ = 0;
};

// Adds the samples of the complete fragments of a fragmented file whose movie
// box announces fragments (has an `mvex`) to the tracks of its scan: each track's tables then describe the samples of
// its movie box tables and of its fragments together, and `kept_size` ends before the first fragment left out. `moov`
// is the movie box read whole.
void add_fragment_samples(MediaScan& scan, std::span<const std::uint8_t> moov, const TopLevelReads& reads);

} // namespace kov
