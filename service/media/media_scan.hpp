#pragma once
// The analysis of one candidate media file: whether it is ISO BMFF, where its
// top-level boxes and movie box lie, and per track what the rewrite needs.
// Plain values with no shared state; scan_media only uses positional reads,
// so any thread may call it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "media/box_header.hpp"
#include "pcm/codec_set.hpp"

namespace kov {

// A movie box is tables, not media: even a day-long film with several tracks
// stays far below this. A larger one is treated as unreadable rather than
// letting one hostile file make the service allocate gigabytes.
constexpr std::uint64_t max_moov_size = 256u << 20;

// One box of the file and where it starts.
struct FileBox {
    std::uint64_t offset = 0;
    BoxHeader header;
};

struct TimeToSample {
    std::uint32_t count = 0;
    std::uint32_t delta = 0;
};

struct SampleToChunk {
    std::uint32_t first_chunk = 0;
    std::uint32_t samples_per_chunk = 0;
    std::uint32_t description_index = 0;
};

struct CompositionOffset {
    std::uint32_t count = 0;
    std::int32_t offset = 0;
};

// What a converted track keeps of its source track's headers. The defaults
// stand where the source has no such box.
struct TrackHeaders {
    std::uint32_t tkhd_flags = 0x000007;
    std::uint64_t created = 0; // tkhd
    std::uint64_t modified = 0;
    std::uint16_t layer = 0;
    std::uint16_t alternate_group = 0;
    std::uint16_t volume = 0x0100;
    std::uint64_t media_created = 0; // mdhd
    std::uint64_t media_modified = 0;
    std::uint16_t language = 0x55C4;        // packed ISO 639-2 "und"
    std::vector<std::uint8_t> handler_name; // hdlr name as stored; empty when absent
};

struct TrackScan {
    std::uint32_t track_id = 0;
    std::string handler;
    std::string format;
    std::uint32_t timescale = 0;
    std::uint64_t duration = 0;
    std::uint16_t channels = 0;
    std::uint16_t bits = 0;
    std::uint32_t sample_rate = 0;
    Codec codec = Codec::none; // what the sound entry holds, converted or not
    DecoderConfig decoder;     // the codec is none unless the track is one to convert
    std::uint64_t sample_count = 0;
    std::uint32_t uniform_size = 0;
    std::vector<std::uint32_t> sample_sizes;
    std::vector<TimeToSample> time_to_sample;
    std::vector<SampleToChunk> sample_to_chunk;
    std::vector<std::uint64_t> chunk_offsets;
    std::vector<std::uint32_t> sync_samples; // stss, 1-based
    bool sync_table = false; // an stss was read: only the samples it lists are sync samples (none when empty)
    std::vector<CompositionOffset> composition_offsets;
    TrackHeaders headers;
    // Where the trak box lies inside the movie box, and the boxes of it that a
    // converted track keeps (tref, edts, udta, meta; file offsets).
    std::size_t trak_offset = 0;
    std::uint64_t trak_size = 0;
    std::vector<FileBox> kept_boxes;
    // Decode time of the first sample, in the media timescale: not 0 only for
    // fragments that start late (their first tfdt).
    std::uint64_t start_time = 0;
};

struct MediaScan {
    bool is_bmff = false;
    bool has_aac = false; // a track to convert (of any codec the mount converts)
    bool fragmented = false;
    bool quicktime = false; // the file type's major brand is "qt  "
    std::uint64_t file_size = 0;
    std::uint64_t moov_offset = 0;
    std::uint64_t moov_size = 0;
    // The top-level boxes in file order, as far as the walk went: they cover
    // the whole file only when the last one ends at file_size.
    std::vector<FileBox> boxes;
    std::vector<FileBox> moov_boxes; // the children of the movie box
    std::vector<TrackScan> tracks;
    // The source bytes a rewritten file keeps: file_size, or less for a
    // fragmented recording cut off inside a fragment (left out, with
    // everything after it).
    std::uint64_t kept_size = 0;
    // The top-level box the file ends inside, as its header declares it.
    std::optional<FileBox> cut_box;
    // A fragmented recording cut off inside its last fragment's media data
    // keeps the whole samples there: the cut box then ends at kept_size, its
    // size stated anew.
    bool keeps_cut_box = false;
};

// Analyses the file open on `fd` (borrowed). Never reads media data. The
// tracks of the codecs in `convert` are the ones to convert.
MediaScan scan_media(int fd, CodecSet convert = default_conversions());

// Reads up to `length` bytes at `offset` into `dest`; returns the count read
// (short only at the end of the file) or -1 on failure.
using ReadAtFn = std::function<std::int64_t(std::uint64_t offset, std::uint8_t* dest, std::size_t length)>;

// The track whose trak box lies at `offset` (`size` bytes, header included) in
// the file open on `fd`, analysed again; empty when it cannot be read.
TrackScan read_track(int fd, std::uint64_t offset, std::uint64_t size);

// The same analysis of a regular file of `file_size` bytes over any positional
// reader (scan_media is this over pread): one call per top-level box header and
// one for the movie box.
MediaScan scan_media_from(std::uint64_t file_size, const ReadAtFn& read_bytes,
                          CodecSet convert = default_conversions());

} // namespace kov
