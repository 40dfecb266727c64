#include "support/mp4_builder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kov::test {

Bytes default_asc() { return {0x12, 0x10}; }

Mp4Builder& Mp4Builder::raw_box(std::string_view type, std::uint32_t declared_size, std::size_t payload)
{
    w_.u32(declared_size);
    w_.fourcc(type);
    w_.zeros(payload);
    return *this;
}

Mp4Builder& Mp4Builder::ftyp(std::string_view brand)
{
    return box("ftyp", [&] {
        w_.fourcc(brand);
        w_.u32(0x200);
        w_.fourcc(brand);
        w_.fourcc("mp41");
    });
}

Mp4Builder& Mp4Builder::mdat(std::size_t payload)
{
    return box("mdat", [&] { w_.zeros(payload); });
}

Mp4Builder& Mp4Builder::moov(const std::vector<TrackSpec>& tracks)
{
    return box("moov", [&] {
        full_box("mvhd", 0, 0, [&] { w_.zeros(96); });
        for (const auto& t : tracks)
            trak(t);
    });
}

Mp4Builder& Mp4Builder::trak(const TrackSpec& t)
{
    return box("trak", [&] {
        full_box("tkhd", t.version1_headers ? 1 : 0, 3, [&] {
            if (t.version1_headers) {
                w_.u64(0);
                w_.u64(0);
            } else {
                w_.u32(0);
                w_.u32(0);
            }
            w_.u32(t.track_id);
            w_.u32(0);
            if (t.version1_headers)
                w_.u64(t.duration);
            else
                w_.u32(static_cast<std::uint32_t>(t.duration));
            w_.zeros(60);
        });
        box("mdia", [&] { mdia(t); });
    });
}

void Mp4Builder::mdia(const TrackSpec& t)
{
    full_box("mdhd", t.version1_headers ? 1 : 0, 0, [&] {
        if (t.version1_headers) {
            w_.u64(0);
            w_.u64(0);
            w_.u32(t.timescale);
            w_.u64(t.duration);
        } else {
            w_.u32(0);
            w_.u32(0);
            w_.u32(t.timescale);
            w_.u32(static_cast<std::uint32_t>(t.duration));
        }
        w_.u16(0x55c4);
        w_.u16(0);
    });
    if (!t.hdlr_after_minf)
        hdlr(t);
    box("minf", [&] { minf(t); });
    if (t.hdlr_after_minf)
        hdlr(t);
}

void Mp4Builder::hdlr(const TrackSpec& t)
{
    full_box("hdlr", 0, 0, [&] {
        w_.u32(0);
        w_.fourcc(t.handler);
        w_.zeros(12);
        w_.u8(0);
    });
}

void Mp4Builder::minf(const TrackSpec& t)
{
    box("stbl", [&] {
        stsd(t);
        if (!t.time_to_sample.empty())
            full_box("stts", 0, 0, [&] {
                w_.u32(static_cast<std::uint32_t>(t.time_to_sample.size()));
                for (const auto& e : t.time_to_sample) {
                    w_.u32(e.count);
                    w_.u32(e.delta);
                }
            });
        if (!t.sample_to_chunk.empty())
            full_box("stsc", 0, 0, [&] {
                w_.u32(static_cast<std::uint32_t>(t.sample_to_chunk.size()));
                for (const auto& e : t.sample_to_chunk) {
                    w_.u32(e.first_chunk);
                    w_.u32(e.samples_per_chunk);
                    w_.u32(e.description_index);
                }
            });
        full_box("stsz", 0, 0, [&] {
            w_.u32(t.uniform_size);
            w_.u32(t.sample_count);
            for (auto s : t.sample_sizes)
                w_.u32(s);
        });
        if (!t.chunk_offsets.empty())
            full_box(t.co64 ? "co64" : "stco", 0, 0, [&] {
                w_.u32(static_cast<std::uint32_t>(t.chunk_offsets.size()));
                for (auto o : t.chunk_offsets) {
                    if (t.co64)
                        w_.u64(o);
                    else
                        w_.u32(static_cast<std::uint32_t>(o));
                }
            });
    });
}

void Mp4Builder::stsd(const TrackSpec& t)
{
    full_box("stsd", 0, 0, [&] {
        w_.u32(1);
        box(t.format, [&] {
            w_.zeros(6);
            w_.u16(1); // data reference index
            if (t.handler != "soun") {
                w_.zeros(70); // a visual sample entry's fixed fields
                return;
            }
            w_.u16(t.sound_version);
            w_.u16(0);
            w_.u32(0);
            if (t.sound_version == 2) {
                w_.u16(3);
                w_.u16(16);
                w_.u16(0xfffe);
                w_.u16(0);
                w_.u32(0x10000);
                w_.u32(72); // size of the struct
                w_.u64(std::bit_cast<std::uint64_t>(t.sample_rate));
                w_.u32(t.channels);
                w_.u32(0x7f000000);
                w_.u32(t.bits);
                w_.u32(0);
                w_.u32(0);
                w_.u32(1024);
            } else {
                w_.u16(t.channels);
                w_.u16(t.bits);
                w_.u16(t.sound_version == 1 ? 0xfffe : 0);
                w_.u16(0);
                w_.u32(static_cast<std::uint32_t>(t.sample_rate) << 16);
                if (t.sound_version == 1) {
                    w_.u32(1024);
                    w_.u32(0);
                    w_.u32(0);
                    w_.u32(2);
                }
            }
            if (!t.esds)
                return;
            if (t.esds_in_wave)
                box("wave", [&] {
                    box("frma", [&] { w_.fourcc(t.format); });
                    esds(t);
                });
            else
                esds(t);
        });
    });
}

void Mp4Builder::esds(const TrackSpec& t)
{
    box("esds", [&] { w_.bytes(esds_payload(t.object_type, t.asc)); });
}

Bytes esds_payload(std::uint8_t object_type, const Bytes& asc)
{
    Bytes dsi;
    if (!asc.empty()) {
        dsi.push_back(5);
        dsi.push_back(static_cast<std::uint8_t>(asc.size()));
        dsi.insert(dsi.end(), asc.begin(), asc.end());
    }
    Bytes dcd{4, static_cast<std::uint8_t>(13 + dsi.size()), object_type, 0x15, 0, 0x18, 0, 0, 0x01, 0xf4, 0, 0, 0x01, 0xf4, 0};
    dcd.insert(dcd.end(), dsi.begin(), dsi.end());
    Bytes out{0, 0, 0, 0, 3, static_cast<std::uint8_t>(3 + dcd.size() + 3), 0, 1, 0};
    out.insert(out.end(), dcd.begin(), dcd.end());
    const Bytes sl{6, 1, 2};
    out.insert(out.end(), sl.begin(), sl.end());
    return out;
}

Bytes movie_file(const std::vector<TrackSpec>& tracks, std::size_t mdat_payload)
{
    Mp4Builder b;
    b.ftyp().moov(tracks).mdat(mdat_payload);
    return b.bytes();
}

MediaScan scan_bytes(const Bytes& file)
{
    return scan_media_from(file.size(), [&](std::uint64_t offset, std::uint8_t* dest, std::size_t length) {
        if (offset >= file.size())
            return std::int64_t{0};
        const std::size_t n = std::min<std::size_t>(length, file.size() - static_cast<std::size_t>(offset));
        std::memcpy(dest, file.data() + offset, n);
        return static_cast<std::int64_t>(n);
    });
}

} // namespace kov::test
