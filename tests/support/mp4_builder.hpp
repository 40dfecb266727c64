#pragma once
// Hand-made ISO BMFF structures for tests: nested boxes written through
// BeWriter (sizes patched, never counted by hand), boxes with hostile headers,
// and whole movies described by a few fields per track.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "media/be_writer.hpp"
#include "media/media_scan.hpp"

namespace kov::test {

using Bytes = std::vector<std::uint8_t>;

// Out of line: GCC 12 warns falsely about a braced byte list as a member default.
Bytes default_asc();

// One track of a hand-made movie. Empty tables are left out of the file.
struct TrackSpec {
    std::uint32_t track_id = 1;
    std::string handler = "soun";
    std::string format = "mp4a";
    std::uint32_t timescale = 44100;
    std::uint64_t duration = 0;
    bool version1_headers = false; // tkhd and mdhd version 1 (64-bit times)
    // Audio sample entry (only written for "soun" tracks).
    std::uint16_t sound_version = 0; // QuickTime sound description version 0, 1 or 2
    std::uint16_t channels = 2;
    std::uint16_t bits = 16;
    double sample_rate = 44100;
    bool esds = true;          // write an esds box into the sample entry
    bool esds_in_wave = false; // put it inside a "wave" box, as QuickTime does
    std::uint8_t object_type = 0x40;
    Bytes asc = default_asc(); // AAC LC, 44.1 kHz, stereo
    bool hdlr_after_minf = false;
    // Sample tables.
    std::uint32_t sample_count = 0;
    std::uint32_t uniform_size = 0;
    std::vector<std::uint32_t> sample_sizes;
    std::vector<TimeToSample> time_to_sample;
    std::vector<SampleToChunk> sample_to_chunk;
    std::vector<std::uint64_t> chunk_offsets;
    bool co64 = false;
};

class Mp4Builder {
public:
    Mp4Builder() : w_(bytes_) {}
    Mp4Builder(const Mp4Builder&) = delete;
    Mp4Builder& operator=(const Mp4Builder&) = delete;

    BeWriter& w() { return w_; }
    const Bytes& bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }

    // A box with a 32-bit size around what body() writes.
    template <typename Body> Mp4Builder& box(std::string_view type, Body&& body)
    {
        const std::size_t at = w_.begin_box(type);
        body();
        w_.end_box(at);
        return *this;
    }
    template <typename Body>
    Mp4Builder& full_box(std::string_view type, std::uint8_t version, std::uint32_t flags, Body&& body)
    {
        const std::size_t at = w_.begin_full_box(type, version, flags);
        body();
        w_.end_box(at);
        return *this;
    }
    // A box with size field 1 and a 64-bit size.
    template <typename Body> Mp4Builder& box64(std::string_view type, Body&& body)
    {
        const std::size_t at = bytes_.size();
        w_.u32(1);
        w_.fourcc(type);
        w_.u64(0);
        body();
        const std::uint64_t size = bytes_.size() - at;
        for (int i = 0; i < 8; ++i)
            bytes_[at + 8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (56 - 8 * i));
        return *this;
    }
    // A box whose size field says 0: it runs to the end of what encloses it.
    template <typename Body> Mp4Builder& box_to_end(std::string_view type, Body&& body)
    {
        w_.u32(0);
        w_.fourcc(type);
        body();
        return *this;
    }
    // A header with any declared size, followed by `payload` bytes of zeros.
    Mp4Builder& raw_box(std::string_view type, std::uint32_t declared_size, std::size_t payload = 0);

    Mp4Builder& ftyp(std::string_view brand = "isom");
    Mp4Builder& mdat(std::size_t payload);
    Mp4Builder& moov(const std::vector<TrackSpec>& tracks);
    Mp4Builder& trak(const TrackSpec& track);

private:
    void mdia(const TrackSpec& t);
    void minf(const TrackSpec& t);
    void hdlr(const TrackSpec& t);
    void stsd(const TrackSpec& t);
    void esds(const TrackSpec& t);

    Bytes bytes_;
    BeWriter w_;
};

// esds payload (version and flags included): ES_Descriptor > DecoderConfig-
// Descriptor(object type) > DecoderSpecificInfo(asc, left out when empty).
Bytes esds_payload(std::uint8_t object_type, const Bytes& asc);

// ftyp, moov with the given tracks, then an mdat of `mdat_payload` bytes.
Bytes movie_file(const std::vector<TrackSpec>& tracks, std::size_t mdat_payload = 16);

// Scans bytes held in memory, as scan_media would scan a file holding them.
MediaScan scan_bytes(const Bytes& file);

} // namespace kov::test
