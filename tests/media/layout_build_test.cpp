// build_layout on small files built here: geometry, region sizes, overlays,
// the files that get no layout, and a sparse source beyond 4 GiB.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "common/unique_fd.hpp"
#include "media/be_reader.hpp"
#include "media/be_writer.hpp"
#include "media/box_header.hpp"
#include "media/file_layout.hpp"
#include "pcm/decoding_service.hpp"
#include "support/test_env.hpp"

namespace kov {
namespace {
// The decoding service of these tests.
DecodingService& decoding()
{
    static const auto service = DecodingService::create(bind_system_codec_library(), {});
    return *service;
}


using Bytes = std::vector<std::uint8_t>;

Bytes aac_lc_48k_stereo()
{
    Bytes b(2);
    b[0] = 0x11;
    b[1] = 0x90;
    return b;
}

struct MovieShape {
    std::uint32_t timescale = 48000;
    Bytes asc = aac_lc_48k_stereo();
    std::uint32_t units = 100;
    bool with_stts = true;
    bool with_video = false;
    std::uint64_t video_chunk = 16;  // stco entry of the video track
    std::uint64_t mdat_payload = 64; // bytes of media data (a hole in sparse files)
    bool moov_first = false;
};

void put_box(BeWriter& w, const char* type, auto&& body)
{
    const auto at = w.begin_box(type);
    body();
    w.end_box(at);
}

void put_full(BeWriter& w, const char* type, std::uint8_t version, auto&& body)
{
    const auto at = w.begin_full_box(type, version, 0);
    body();
    w.end_box(at);
}

// Every access unit is empty (size 0): the decoder never sees a byte, so the
// geometry comes from the sample description alone.
Bytes make_moov(const MovieShape& s, std::uint64_t aac_chunk)
{
    Bytes out;
    BeWriter w(out);
    put_box(w, "moov", [&] {
        put_full(w, "mvhd", 0, [&] {
            w.u32(0);
            w.u32(0);
            w.u32(1000);
            w.u32(0);
            w.zeros(80);
        });
        if (s.with_video) {
            put_box(w, "trak", [&] {
                put_full(w, "tkhd", 0, [&] { w.u32(0), w.u32(0), w.u32(1), w.zeros(72); });
                put_box(w, "mdia", [&] {
                    put_full(w, "hdlr", 0, [&] { w.u32(0), w.fourcc("vide"), w.zeros(13); });
                    put_box(w, "minf", [&] {
                        put_box(w, "stbl", [&] {
                            put_full(w, "stsz", 0, [&] { w.u32(8), w.u32(1); });
                            put_full(w, "stco", 0, [&] { w.u32(1), w.u32(static_cast<std::uint32_t>(s.video_chunk)); });
                        });
                    });
                });
            });
        }
        put_box(w, "trak", [&] {
            put_full(w, "tkhd", 0, [&] { w.u32(0), w.u32(0), w.u32(7), w.zeros(72); });
            put_box(w, "mdia", [&] {
                put_full(w, "mdhd", 0, [&] { w.u32(0), w.u32(0), w.u32(s.timescale), w.u32(0), w.u32(0); });
                put_full(w, "hdlr", 0, [&] { w.u32(0), w.fourcc("soun"), w.zeros(13); });
                put_box(w, "minf", [&] {
                    put_box(w, "stbl", [&] {
                        put_full(w, "stsd", 0, [&] {
                            w.u32(1);
                            put_box(w, "mp4a", [&] {
                                w.zeros(6), w.u16(1), w.zeros(8), w.u16(2), w.u16(16), w.u32(0), w.u32(48000u << 16);
                                put_full(w, "esds", 0, [&] {
                                    const auto n = static_cast<std::uint8_t>(s.asc.size());
                                    w.u8(3), w.u8(static_cast<std::uint8_t>(23 + n)), w.u16(1), w.u8(0);
                                    w.u8(4), w.u8(static_cast<std::uint8_t>(15 + n)), w.u8(0x40), w.u8(0x15),
                                        w.zeros(11);
                                    w.u8(5), w.u8(n), w.bytes(s.asc);
                                    w.u8(6), w.u8(1), w.u8(2);
                                });
                            });
                        });
                        if (s.with_stts)
                            put_full(w, "stts", 0, [&] { w.u32(1), w.u32(s.units), w.u32(1024); });
                        put_full(w, "stsc", 0, [&] { w.u32(1), w.u32(1), w.u32(s.units), w.u32(1); });
                        put_full(w, "stsz", 0, [&] {
                            w.u32(0), w.u32(s.units);
                            for (std::uint32_t i = 0; i < s.units; ++i)
                                w.u32(0);
                        });
                        put_full(w, "co64", 0, [&] { w.u32(1), w.u64(aac_chunk); });
                    });
                });
            });
        });
    });
    return out;
}

// Writes ftyp, mdat and moov (in the order asked) to path; returns the file's bytes
// except for a sparse mdat payload, which stays a hole.
void write_mp4(const std::string& path, const MovieShape& s)
{
    Bytes ftyp;
    BeWriter fw(ftyp);
    put_box(fw, "ftyp", [&] { fw.fourcc("isom"), fw.u32(0), fw.fourcc("isom"); });
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(fd);
    auto put = [&](const Bytes& b, std::uint64_t at) {
        ASSERT_EQ(::pwrite(fd.get(), b.data(), b.size(), static_cast<off_t>(at)), static_cast<ssize_t>(b.size()));
    };
    auto mdat_header = [&] {
        Bytes h;
        BeWriter w(h);
        if (s.mdat_payload + 8 < (std::uint64_t{1} << 32)) {
            w.u32(static_cast<std::uint32_t>(s.mdat_payload + 8)), w.fourcc("mdat");
        } else {
            w.u32(1), w.fourcc("mdat"), w.u64(s.mdat_payload + 16);
        }
        return h;
    }();
    put(ftyp, 0);
    const Bytes moov_probe = make_moov(s, 0);
    if (s.moov_first) {
        const std::uint64_t mdat_at = ftyp.size() + moov_probe.size();
        put(make_moov(s, mdat_at + mdat_header.size()), ftyp.size());
        put(mdat_header, mdat_at);
        ASSERT_EQ(::ftruncate(fd.get(), static_cast<off_t>(mdat_at + mdat_header.size() + s.mdat_payload)), 0);
    } else {
        put(mdat_header, ftyp.size());
        const std::uint64_t moov_at = ftyp.size() + mdat_header.size() + s.mdat_payload;
        put(make_moov(s, ftyp.size() + mdat_header.size()), moov_at);
    }
}

struct Built {
    MediaScan scan;
    std::unique_ptr<FileLayout> layout;
    UniqueFd fd;
};

Built build(const std::string& path)
{
    Built b;
    b.fd = UniqueFd(::open(path.c_str(), O_RDONLY));
    b.scan = scan_media(b.fd.get());
    b.layout = build_layout(b.fd.get(), b.scan, decoding());
    return b;
}

Bytes read_range(const Built& b, std::uint64_t offset, std::uint64_t length)
{
    Bytes out(length);
    const auto got = b.layout->read_at(b.fd.get(), out.data(), length, offset);
    out.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return out;
}

std::uint32_t u32_of(const Bytes& b, std::size_t at)
{
    std::uint32_t v = 0;
    BeReader(b).peek_at(at, v);
    return v;
}

TEST(LayoutBuild, StereoTrackGivesTheExpectedRegionsAndOverlay)
{
    test::TempDir dir;
    write_mp4(dir.file("a.mp4"), MovieShape{});
    const Built b = build(dir.file("a.mp4"));
    ASSERT_TRUE(b.scan.has_aac);
    ASSERT_TRUE(b.layout);
    const FileLayout& l = *b.layout;
    ASSERT_EQ(l.streams.size(), 1u);
    const PcmStream& pcm = l.streams[0];
    EXPECT_EQ(pcm.frames, 102400u);
    EXPECT_EQ(pcm.rate, 48000u);
    EXPECT_EQ(pcm.channels, 2u);
    EXPECT_EQ(pcm.size, 409600u);
    ASSERT_EQ(l.blocks.size(), 2u);
    const Bytes& moov = l.blocks[0];
    EXPECT_EQ(l.blocks[1], (Bytes{0x00, 0x06, 0x40, 0x08, 'm', 'd', 'a', 't'}));
    EXPECT_EQ(l.total_size, b.scan.file_size + moov.size() + 8 + 409600);
    const std::uint64_t overlay = b.scan.moov_offset + 4;
    EXPECT_EQ(read_range(b, overlay - 2, 8)[2], 'f');
    EXPECT_EQ(read_range(b, overlay, 4), (Bytes{'f', 'r', 'e', 'e'}));
    EXPECT_EQ(read_range(b, l.source_size, 8)[4], 'm');

    // Source, overlay, source, movie box, media data header, PCM: back to back.
    using K = LayoutRegion::Kind;
    const std::vector<K> kinds{K::source, K::overlay, K::source, K::bytes, K::bytes, K::pcm};
    ASSERT_EQ(l.regions.size(), kinds.size());
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        EXPECT_EQ(l.regions[i].kind, kinds[i]) << i;
        EXPECT_EQ(l.regions[i].start, at) << i;
        at += l.regions[i].size;
    }
    EXPECT_EQ(at, l.total_size);
    EXPECT_EQ(l.regions[1].start, overlay);

    // The chunk offset of the PCM track points at the first PCM byte.
    std::uint64_t co64 = 0;
    BeReader(moov).peek_at(moov.size() - 8, co64);
    EXPECT_EQ(co64, pcm.offset);
    EXPECT_EQ(pcm.offset, l.total_size - pcm.size);
}

TEST(LayoutBuild, MediaTimescaleRescalesTheFrameCount)
{
    test::TempDir dir;
    MovieShape s;
    s.timescale = 44100;
    write_mp4(dir.file("a.mp4"), s);
    const Built b = build(dir.file("a.mp4"));
    ASSERT_TRUE(b.layout);
    // 102400 ticks at 44100 Hz are 111455.8 frames at 48000 Hz: the nearest frame.
    EXPECT_EQ(b.layout->streams[0].frames, 111456u);
}

TEST(LayoutBuild, HeAacWithoutTimingCountsTwoThousandFramesPerUnit)
{
    test::TempDir dir;
    MovieShape s;
    s.asc = Bytes(4);
    s.asc[0] = 0x2B, s.asc[1] = 0x92, s.asc[2] = 0x08;
    s.with_stts = false;
    write_mp4(dir.file("a.mp4"), s);
    const Built b = build(dir.file("a.mp4"));
    ASSERT_TRUE(b.layout);
    EXPECT_EQ(b.layout->streams[0].rate, 44100u);
    EXPECT_EQ(b.layout->streams[0].frames, 2048u * 100);
}

TEST(LayoutBuild, MovieBoxFirstStaysInFrontAsFreeSpace)
{
    test::TempDir dir;
    MovieShape s;
    s.moov_first = true;
    write_mp4(dir.file("a.mp4"), s);
    const Built b = build(dir.file("a.mp4"));
    ASSERT_TRUE(b.layout);
    EXPECT_LT(b.scan.moov_offset, 100u);
    EXPECT_EQ(b.layout->regions[b.layout->region_at(b.scan.file_size)].kind, LayoutRegion::Kind::bytes);
    const Bytes old = read_range(b, b.scan.moov_offset, 8);
    EXPECT_EQ(u32_of(old, 0), b.scan.moov_size);
    EXPECT_EQ(u32_of(old, 4), fourcc("free"));
}

TEST(LayoutBuild, FilesWithoutAUsableStructureGetNoLayout)
{
    test::TempDir dir;
    {
        MovieShape s;
        s.with_stts = false;
        s.units = 0;
        write_mp4(dir.file("empty.mp4"), s);
        const Built b = build(dir.file("empty.mp4"));
        EXPECT_FALSE(b.layout) << "no timing and no samples";
    }
    write_mp4(dir.file("a.mp4"), MovieShape{});
    {
        Built b = build(dir.file("a.mp4"));
        MediaScan moved = b.scan; // a file that shrank since its analysis
        moved.moov_boxes.front().offset = moved.file_size;
        EXPECT_FALSE(build_layout(b.fd.get(), moved, decoding())) << "a box the new movie box keeps cannot be read";
        for (auto& t : b.scan.tracks)
            t.decoder.codec = Codec::none;
        EXPECT_FALSE(build_layout(b.fd.get(), b.scan, decoding())) << "no AAC track";
    }
    // A last box that runs past the end of the file (still being copied),
    // and stray bytes after the last box: appended boxes would be unreachable.
    MovieShape first;
    first.moov_first = true;
    write_mp4(dir.file("first.mp4"), first);
    Bytes truncated = test::read_file(dir.file("first.mp4"));
    truncated.resize(truncated.size() - 10); // the media data box now runs past the end
    ASSERT_TRUE(test::write_file(dir.file("trunc.mp4"), truncated));
    const Built t = build(dir.file("trunc.mp4"));
    ASSERT_TRUE(t.scan.has_aac);
    EXPECT_FALSE(t.layout) << "truncated box";
    Bytes stray = test::read_file(dir.file("a.mp4"));
    stray.insert(stray.end(), {1, 2, 3});
    ASSERT_TRUE(test::write_file(dir.file("stray.mp4"), stray));
    EXPECT_FALSE(build(dir.file("stray.mp4")).layout) << "stray trailing bytes";
}

TEST(LayoutBuild, LastBoxOfSizeZeroReadsWithItsRealSize)
{
    test::TempDir dir;
    MovieShape s;
    s.moov_first = true;
    write_mp4(dir.file("a.mp4"), s);
    Bytes bytes = test::read_file(dir.file("a.mp4"));
    const Built plain = build(dir.file("a.mp4"));
    ASSERT_TRUE(plain.layout);
    const std::uint64_t mdat_at = 20 + plain.scan.moov_size;
    ASSERT_EQ(u32_of(bytes, mdat_at + 4), fourcc("mdat"));
    const std::uint32_t real = u32_of(bytes, mdat_at);
    std::memset(bytes.data() + mdat_at, 0, 4);
    ASSERT_TRUE(test::write_file(dir.file("zero.mp4"), bytes));

    const Built b = build(dir.file("zero.mp4"));
    ASSERT_TRUE(b.layout);
    EXPECT_EQ(u32_of(read_range(b, mdat_at, 8), 0), real);
    EXPECT_FALSE(b.layout->is_plain_source_range(mdat_at, 4));
    EXPECT_TRUE(b.layout->is_plain_source_range(mdat_at + 4, 8));
    // Apart from that one field the rewritten file is the same as without the
    // size-0 declaration.
    const Bytes a = read_range(plain, 0, plain.layout->total_size);
    const Bytes z = read_range(b, 0, b.layout->total_size);
    EXPECT_EQ(a, z);
}

TEST(LayoutBuild, SecondMovieBoxAlsoReadsAsFreeSpace)
{
    test::TempDir dir;
    write_mp4(dir.file("a.mp4"), MovieShape{});
    Bytes bytes = test::read_file(dir.file("a.mp4"));
    const Built first = build(dir.file("a.mp4"));
    ASSERT_TRUE(first.layout);
    const Bytes moov(bytes.begin() + static_cast<std::ptrdiff_t>(first.scan.moov_offset), bytes.end());
    bytes.insert(bytes.end(), moov.begin(), moov.end());
    ASSERT_TRUE(test::write_file(dir.file("two.mp4"), bytes));
    const Built b = build(dir.file("two.mp4"));
    ASSERT_TRUE(b.layout);
    EXPECT_EQ(b.scan.moov_offset, first.scan.moov_offset + first.scan.moov_size);
    EXPECT_EQ(read_range(b, first.scan.moov_offset + 4, 4), (Bytes{'f', 'r', 'e', 'e'}));
    EXPECT_EQ(read_range(b, b.scan.moov_offset + 4, 4), (Bytes{'f', 'r', 'e', 'e'}));
}

TEST(LayoutBuild, SourceBeyondFourGiBKeepsItsStcoAndGetsA64BitPcmOffset)
{
    test::TempDir dir;
    MovieShape s;
    s.with_video = true;
    s.video_chunk = 0x10000000;
    s.mdat_payload = (std::uint64_t{9} << 29); // 4.5 GiB, a hole on disk
    write_mp4(dir.file("big.mp4"), s);
    const Built b = build(dir.file("big.mp4"));
    ASSERT_TRUE(b.layout);
    const std::uint64_t pcm_offset = b.layout->streams[0].offset;
    ASSERT_GT(pcm_offset, std::uint64_t{1} << 32);
    // The video track is copied unchanged, 32-bit chunk offset included.
    const Bytes source_moov = read_range(b, b.scan.moov_offset + 8, b.scan.moov_size - 8);
    const Bytes& moov = b.layout->blocks[0];
    const auto children = box_payload(moov).rest();
    const auto kids = list_boxes(children);
    ASSERT_GE(kids.size(), 3u);
    const auto video = box_bytes(children, kids[1]);
    const auto at = std::search(source_moov.begin(), source_moov.end(), video.begin(), video.end());
    EXPECT_NE(at, source_moov.end()) << "video trak not copied byte for byte";
    std::uint64_t co64 = 0;
    BeReader(moov).peek_at(moov.size() - 8, co64);
    EXPECT_EQ(co64, pcm_offset);
    // The source bytes far into the file still come through unchanged.
    EXPECT_EQ(read_range(b, b.scan.moov_offset - 4, 4), (Bytes{0, 0, 0, 0}));
}

} // namespace
} // namespace kov
