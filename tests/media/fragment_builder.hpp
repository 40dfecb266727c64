#pragma once
// Hand-made fragmented movies for the fragment tests: each case states the
// samples it means (where they lie, how long, sync or not) and which header
// carries each value; the builder writes the boxes and the data offsets that
// put the samples back-to-back in the mdat after their moof.

#include <optional>
#include <vector>

#include "media/box_header.hpp"
#include "media/fragment_scan.hpp"
#include "support/mp4_builder.hpp"

namespace kov::test {

struct FragSample {
    std::uint32_t size = 0;
    std::uint32_t duration = 0;
    bool sync = true;
    std::int32_t composition = 0;
};

struct RunSpec {
    std::uint32_t fields = 0; // trun per-sample flags (0x100 duration, 0x200 size, 0x400 flags, 0x800 composition)
    bool data_offset = true;
    std::optional<std::uint32_t> first_flags;
    std::vector<FragSample> samples;
};

enum class Base { given, given_after_data, moof, implicit };

struct TrafSpec {
    std::uint32_t track_id = 1;
    Base base = Base::moof;
    std::optional<std::uint32_t> default_duration, default_size, default_flags; // in tfhd
    std::optional<std::uint64_t> decode_time;                                   // tfdt (version 1 when wide)
    std::vector<RunSpec> runs;
};

using MoofSpec = std::vector<TrafSpec>;

inline std::uint32_t sample_flags(bool sync)
{
    return sync ? 0x02000000u : 0x01010000u;
}

inline void write_moof(Mp4Builder& b, const MoofSpec& moof, std::uint32_t sequence, std::uint64_t payload)
{
    const std::uint64_t moof_offset = b.size();
    BeWriter& w = b.w();
    std::uint64_t total = 0;
    for (const auto& t : moof)
        for (const auto& r : t.runs)
            for (const auto& s : r.samples)
                total += s.size;
    std::uint64_t pos = 0; // where the next run's data starts in the payload
    b.box("moof", [&] {
        b.full_box("mfhd", 0, 0, [&] { w.u32(sequence); });
        for (const auto& t : moof) {
            std::uint64_t base = moof_offset;
            if (t.base == Base::given)
                base = payload;
            else if (t.base == Base::given_after_data)
                base = payload + total;
            else if (t.base == Base::implicit && &t != &moof.front())
                base = payload + pos;
            b.box("traf", [&] {
                std::uint32_t flags = (t.base == Base::given || t.base == Base::given_after_data) ? 0x1 : 0;
                flags |= t.base == Base::moof ? 0x020000 : 0;
                flags |= (t.default_duration ? 0x8 : 0) | (t.default_size ? 0x10 : 0) | (t.default_flags ? 0x20 : 0);
                b.full_box("tfhd", 0, flags, [&] {
                    w.u32(t.track_id);
                    if (flags & 0x1)
                        w.u64(base);
                    for (const auto& v : {t.default_duration, t.default_size, t.default_flags})
                        if (v)
                            w.u32(*v);
                });
                if (t.decode_time) {
                    const bool wide = *t.decode_time > 0xffffffffu;
                    b.full_box("tfdt", wide ? 1 : 0, 0, [&] {
                        if (wide)
                            w.u64(*t.decode_time);
                        else
                            w.u32(static_cast<std::uint32_t>(*t.decode_time));
                    });
                }
                b.box("sbgp", [&] { w.zeros(12); }); // left alone by the scan
                for (const auto& r : t.runs) {
                    const bool negative = std::any_of(r.samples.begin(), r.samples.end(),
                                                      [](const FragSample& s) { return s.composition < 0; });
                    const std::uint32_t tflags = r.fields | (r.data_offset ? 0x1 : 0) | (r.first_flags ? 0x4 : 0);
                    b.full_box("trun", negative ? 1 : 0, tflags, [&] {
                        w.u32(static_cast<std::uint32_t>(r.samples.size()));
                        if (r.data_offset)
                            w.u32(static_cast<std::uint32_t>(static_cast<std::int64_t>(payload + pos - base)));
                        if (r.first_flags)
                            w.u32(*r.first_flags);
                        for (const auto& s : r.samples) {
                            if (r.fields & 0x100)
                                w.u32(s.duration);
                            if (r.fields & 0x200)
                                w.u32(s.size);
                            if (r.fields & 0x400)
                                w.u32(sample_flags(s.sync));
                            if (r.fields & 0x800)
                                w.u32(static_cast<std::uint32_t>(s.composition));
                        }
                    });
                    for (const auto& s : r.samples)
                        pos += s.size;
                }
            });
        }
    });
}

// Writes a moof and its mdat; the moof is written twice, the first time only
// to learn its size (no value changes the size of a field).
inline void append_fragment(Mp4Builder& b, const MoofSpec& moof, std::uint32_t sequence)
{
    Mp4Builder probe;
    for (std::size_t i = 0; i < b.size(); ++i)
        probe.w().u8(0);
    write_moof(probe, moof, sequence, 0);
    const std::uint64_t payload = probe.size() + 8;
    write_moof(b, moof, sequence, payload);
    std::size_t total = 0;
    for (const auto& t : moof)
        for (const auto& r : t.runs)
            for (const auto& s : r.samples)
                total += s.size;
    b.mdat(total);
}

// ftyp, a movie box holding only mvhd and mvex with these trex defaults, then
// the fragments.
inline Bytes fragmented_file(const std::vector<FragmentDefaults>& trex, const std::vector<MoofSpec>& moofs)
{
    Mp4Builder b;
    b.ftyp("iso6");
    b.box("moov", [&] {
        b.full_box("mvhd", 0, 0, [&] { b.w().zeros(96); });
        b.box("mvex", [&] {
            for (const auto& d : trex)
                b.full_box("trex", 0, 0, [&] {
                    b.w().u32(d.track_id);
                    b.w().u32(d.description_index);
                    b.w().u32(d.duration);
                    b.w().u32(d.size);
                    b.w().u32(d.flags);
                });
        });
    });
    std::uint32_t sequence = 1;
    for (const auto& m : moofs) {
        b.box("styp", [&] { b.w().fourcc("msdh"); });
        append_fragment(b, m, sequence++);
    }
    return b.bytes();
}

// Scans an in-memory file whose media data cannot be read: a read that
// touches an mdat payload fails, and is noted. The fragments alone
// (scan_fragment_bytes) or the whole analysis (scan_without_media).
struct ScannedFragments {
    FragmentScan scan;
    bool read_media = false;
};

struct ScanWithoutMedia {
    MediaScan scan;
    bool read_media = false;
};

inline std::int64_t copy_out(const Bytes& file, std::uint64_t offset, std::uint8_t* dest, std::size_t n)
{
    if (offset >= file.size())
        return 0;
    n = std::min<std::size_t>(n, file.size() - offset);
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(offset), n, dest);
    return static_cast<std::int64_t>(n);
}

// A read of media data: past the 16 bytes a box header read may take.
inline bool touches_media(const std::vector<FileBox>& boxes, std::uint64_t offset, std::size_t n)
{
    for (const auto& box : boxes)
        if (box.header.type == fourcc("mdat") && offset < box.offset + box.header.size && offset + n > box.offset + 16)
            return true;
    return false;
}

// A reader of `file` that fails inside media data, noting it in `read_media`.
inline ReadAtFn media_failing_reader(const Bytes& file, const std::vector<FileBox>& boxes, bool& read_media)
{
    return [&file, &boxes, &read_media](std::uint64_t offset, std::uint8_t* dest, std::size_t n) -> std::int64_t {
        if (touches_media(boxes, offset, n)) {
            read_media = true;
            return -1;
        }
        return copy_out(file, offset, dest, n);
    };
}

inline ScanWithoutMedia scan_without_media(const Bytes& file)
{
    ScanWithoutMedia out;
    const std::vector<FileBox> boxes = scan_bytes(file).boxes;
    out.scan = scan_media_from(file.size(), media_failing_reader(file, boxes, out.read_media));
    return out;
}

inline ScannedFragments scan_fragment_bytes(const Bytes& file)
{
    ScannedFragments out;
    const MediaScan movie = scan_bytes(file);
    std::vector<FragmentDefaults> defaults;
    if (movie.moov_size != 0)
        defaults =
            read_fragment_defaults(box_payload(std::span(file).subspan(movie.moov_offset, movie.moov_size)).rest());
    out.scan = scan_fragments(movie.boxes, defaults, media_failing_reader(file, movie.boxes, out.read_media));
    return out;
}

} // namespace kov::test
