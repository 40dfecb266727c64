// The media analysis on real files made by the ffmpeg command-line tool, with
// ffprobe as the independent judge; and that an analysis needs no media data.

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "common/unique_fd.hpp"
#include "media/media_scan.hpp"
#include "media/sample_model.hpp"
#include "support/mp4_builder.hpp"
#include "support/test_env.hpp"

using namespace kov;
using namespace kov::test;

namespace {

struct Sample {
    const char* name;
    std::vector<std::string> args;
};

const std::vector<std::string> tone{"-f", "lavfi", "-i", "sine=frequency=440:duration=1"};
const std::vector<std::string> picture{"-f", "lavfi", "-i", "testsrc=duration=1:size=64x48:rate=10"};

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::vector<Sample>& samples()
{
    static const std::vector<Sample> all{
        {"moov_at_end.mp4", join({tone, picture, {"-c:a", "aac", "-c:v", "mpeg4", "-shortest"}})},
        {"faststart.mp4", join({tone, picture, {"-c:a", "aac", "-c:v", "mpeg4", "-shortest", "-movflags", "+faststart"}})},
        {"quicktime.mov", join({tone, picture, {"-c:a", "aac", "-ar", "48000", "-ac", "2", "-c:v", "mpeg4", "-shortest"}})},
        {"hires.mov", join({tone, {"-c:a", "aac", "-ar", "96000", "-ac", "2"}})},
        {"audio_only.m4a", join({tone, {"-c:a", "aac", "-ar", "22050", "-ac", "1"}})},
        {"fragmented.mp4",
         join({tone, picture, {"-c:a", "aac", "-c:v", "mpeg4", "-shortest", "-movflags", "frag_keyframe+empty_moov"}})},
        {"mp3_audio.mp4", join({tone, picture, {"-c:a", "libmp3lame", "-c:v", "mpeg4", "-shortest"}})},
        // "mp4a" with object type 0xDD: not AAC, whatever its entry is called.
        {"vorbis_audio.mp4", join({tone, picture, {"-c:a", "libvorbis", "-c:v", "mpeg4", "-shortest"}})},
        {"video_only.mp4", join({picture, {"-c:v", "mpeg4"}})},
        // Each codec by its own sample entry and configuration box.
        {"flac16.mp4", join({tone, picture, {"-c:a", "flac", "-sample_fmt", "s16", "-ac", "2", "-strict", "-2", "-c:v", "mpeg4", "-shortest"}})},
        {"flac24.mp4", join({tone, picture, {"-c:a", "flac", "-sample_fmt", "s32", "-ac", "2", "-strict", "-2", "-c:v", "mpeg4", "-shortest"}})},
        {"alac.m4a", join({tone, {"-c:a", "alac", "-ar", "48000"}})},
        {"alac24.mov", join({tone, {"-c:a", "alac", "-sample_fmt", "s32p", "-ac", "2"}})},
        {"opus.mp4", join({tone, {"-c:a", "libopus", "-ac", "2", "-strict", "-2"}})},
        {"eac3.mov", join({tone, {"-c:a", "eac3", "-ac", "6"}})},
        {"ac3.mp4", join({tone, {"-c:a", "ac3", "-ac", "2"}})},
    };
    return all;
}

// One ffprobe stream description.
struct Stream {
    std::string type, codec;
    unsigned rate = 0, channels = 0;
    std::string frames;
    unsigned bits = 0; // of a lossless codec
};

std::vector<std::string> split(const std::string& line, char sep)
{
    std::vector<std::string> out;
    std::stringstream in(line);
    std::string f;
    while (std::getline(in, f, sep))
        out.push_back(f);
    return out;
}

std::vector<Stream> probe_streams(const std::string& path)
{
    const auto r = run_command({"ffprobe", "-v", "error", "-show_entries",
                                "stream=codec_type,codec_name,sample_rate,channels,nb_frames,bits_per_raw_sample", "-of",
                                "default=noprint_wrappers=1", path});
    std::vector<Stream> out;
    std::stringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "codec_name")
            out.emplace_back().codec = value;
        else if (out.empty())
            continue;
        else if (key == "codec_type")
            out.back().type = value;
        else if (key == "sample_rate")
            out.back().rate = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        else if (key == "channels")
            out.back().channels = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        else if (key == "nb_frames")
            out.back().frames = value;
        else if (key == "bits_per_raw_sample")
            out.back().bits = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
    }
    return out;
}

std::vector<std::pair<std::uint64_t, std::uint32_t>> probe_audio_packets(const std::string& path)
{
    const auto r = run_command({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "packet=pos,size",
                                "-of", "csv=p=0", path});
    std::vector<std::pair<std::uint64_t, std::uint32_t>> out;
    std::stringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        const auto f = split(line, ',');
        if (f.size() >= 2) // csv prints size before pos
            out.emplace_back(std::strtoull(f[1].c_str(), nullptr, 10),
                             static_cast<std::uint32_t>(std::strtoul(f[0].c_str(), nullptr, 10)));
    }
    return out;
}

class RealMedia : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!have_ffmpeg())
            return;
        dir_ = std::make_unique<TempDir>();
        for (const auto& s : samples())
            made_[s.name] = ffmpeg_make(s.args, dir_->file(s.name));
    }
    static void TearDownTestSuite() { dir_.reset(); }

    void SetUp() override
    {
        if (!have_ffmpeg())
            GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    }

    static std::unique_ptr<TempDir> dir_;
    static std::map<std::string, bool> made_;
};

std::unique_ptr<TempDir> RealMedia::dir_;
std::map<std::string, bool> RealMedia::made_;

MediaScan scan_path(const std::string& path, CodecSet convert = default_conversions())
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return scan_media(fd.get(), convert);
}

CodecSet every_codec()
{
    CodecSet all;
    for (const Codec c : {Codec::aac, Codec::eac3, Codec::ac3, Codec::opus, Codec::flac, Codec::alac, Codec::vorbis,
                          Codec::mp3, Codec::pcm})
        all.add(c);
    return all;
}

} // namespace

TEST_F(RealMedia, AgreesWithFfprobe)
{
    for (const auto& sample : samples()) {
        SCOPED_TRACE(sample.name);
        ASSERT_TRUE(made_[sample.name]);
        const std::string path = dir_->file(sample.name);
        const MediaScan scan = scan_path(path);
        const MediaScan told = scan_path(path, every_codec());
        const auto streams = probe_streams(path);
        const bool fragmented = std::string(sample.name) == "fragmented.mp4";
        ASSERT_TRUE(scan.is_bmff);
        EXPECT_EQ(scan.fragmented, fragmented);
        EXPECT_EQ(scan.file_size, read_file(path).size());
        ASSERT_EQ(scan.tracks.size(), streams.size());
        bool any_converted = false;
        for (std::size_t i = 0; i < streams.size(); ++i) {
            const TrackScan& t = scan.tracks[i];
            const Stream& s = streams[i];
            EXPECT_EQ(t.handler, s.type == "audio" ? "soun" : "vide");
            EXPECT_EQ(codec_name(t.codec), s.type == "audio" ? s.codec : "unknown");
            const bool converted = default_conversions().has(t.codec);
            EXPECT_EQ(t.decoder.codec, converted ? t.codec : Codec::none);
            EXPECT_EQ(told.tracks[i].decoder.codec, t.codec);
            any_converted = any_converted || converted;
            if (!fragmented) {
                EXPECT_EQ(std::to_string(t.sample_count), s.frames);
            }
            if (s.type != "audio")
                continue;
            const DecoderConfig& d = told.tracks[i].decoder;
            if (s.codec != "opus") { // ffprobe names Opus's output rate, the entry its input rate
                EXPECT_EQ(t.sample_rate, s.rate);
            }
            EXPECT_EQ(d.bits, s.codec == "flac" || s.codec == "alac" ? s.bits : 0u);
            if (s.codec != "mp3") { // its configuration states neither
                EXPECT_EQ(d.rate, s.rate);
                EXPECT_EQ(d.channels, s.channels);
                EXPECT_EQ(d.extradata.empty(), s.codec == "eac3" || s.codec == "ac3");
                if (!fragmented) {
                    const auto units = table_samples(t, max_track_samples);
                    const auto packets = probe_audio_packets(path);
                    ASSERT_EQ(units.size(), packets.size());
                    for (std::size_t k = 0; k < units.size(); ++k) {
                        EXPECT_EQ(units[k].offset, packets[k].first) << k;
                        EXPECT_EQ(units[k].size, packets[k].second) << k;
                    }
                }
            }
        }
        EXPECT_EQ(scan.has_aac, any_converted);
        // --probe says the same, naming the codec of a track other than AAC.
        const auto probe = run_command({program_path(), "--probe", path});
        EXPECT_EQ(probe.status, any_converted ? 0 : 1);
        EXPECT_NE(probe.out.find(any_converted ? "has_aac=1" : "has_aac=0"), std::string::npos) << probe.out;
        for (const Stream& s : streams) {
            if (s.type == "audio" && s.codec != "aac") {
                EXPECT_NE(probe.out.find("codec=" + s.codec), std::string::npos) << probe.out;
            }
        }
    }
}

TEST_F(RealMedia, MovieBoxPlacement)
{
    const MediaScan end = scan_path(dir_->file("moov_at_end.mp4"));
    EXPECT_EQ(end.moov_offset + end.moov_size, end.file_size);
    const MediaScan front = scan_path(dir_->file("faststart.mp4"));
    EXPECT_EQ(front.moov_size, end.moov_size);
    EXPECT_LT(front.moov_offset, 64u); // right after ftyp (and free)
    // Moving the moov changed every chunk offset; the units still point at the same bytes.
    const auto a = read_file(dir_->file("moov_at_end.mp4"));
    const auto b = read_file(dir_->file("faststart.mp4"));
    const auto ua = table_samples(end.tracks[1], max_track_samples);
    const auto ub = table_samples(front.tracks[1], max_track_samples);
    ASSERT_EQ(ua.size(), ub.size());
    for (std::size_t k = 0; k < ua.size(); ++k)
        ASSERT_TRUE(std::equal(a.begin() + static_cast<std::ptrdiff_t>(ua[k].offset),
                               a.begin() + static_cast<std::ptrdiff_t>(ua[k].offset + ua[k].size),
                               b.begin() + static_cast<std::ptrdiff_t>(ub[k].offset)))
            << k;
}

// Gigabytes of media data between the headers and the movie box, every read
// of them failing: the analysis still finds everything, because it reads
// headers and the movie box only.
TEST(ScanCost, NeedsNoMediaData)
{
    constexpr std::uint64_t hole = 6ull << 30;
    Mp4Builder head;
    head.ftyp().raw_box("free", 8).raw_box("skip", 24, 16);
    const std::uint64_t mdat_at = head.size();
    Bytes mdat_header;
    BeWriter w(mdat_header);
    w.u32(1);
    w.fourcc("mdat");
    w.u64(16 + hole);
    TrackSpec audio; // three samples at the end of the media data
    audio.sample_count = 3;
    audio.sample_sizes = {5, 6, 7};
    audio.time_to_sample = {{3, 1024}};
    audio.sample_to_chunk = {{1, 3, 1}};
    audio.chunk_offsets = {mdat_at + 16 + hole - 18};
    audio.co64 = true;
    Mp4Builder movie;
    movie.moov({audio});
    const std::uint64_t moov_at = mdat_at + 16 + hole;
    const std::uint64_t file_size = moov_at + movie.size();

    bool read_media = false;
    const MediaScan scan =
        scan_media_from(file_size, [&](std::uint64_t offset, std::uint8_t* dest, std::size_t length) -> std::int64_t {
            if (offset + length > mdat_at + 16 && offset < moov_at) {
                read_media = true;
                return -1;
            }
            for (std::size_t i = 0; i < length; ++i) {
                const std::uint64_t at = offset + i;
                std::uint8_t v = 0;
                if (at < mdat_at)
                    v = head.bytes()[at];
                else if (at < mdat_at + 16)
                    v = mdat_header[at - mdat_at];
                else if (at >= moov_at)
                    v = movie.bytes()[at - moov_at];
                dest[i] = v;
            }
            return static_cast<std::int64_t>(length);
        });
    EXPECT_FALSE(read_media);
    ASSERT_TRUE(scan.is_bmff);
    EXPECT_EQ(scan.moov_offset, moov_at);
    ASSERT_EQ(scan.boxes.size(), 5u);
    EXPECT_EQ(scan.boxes[3].header.size, 16 + hole);
    EXPECT_EQ(scan.boxes[4].offset, moov_at);
    ASSERT_EQ(scan.tracks.size(), 1u);
    EXPECT_EQ(scan.tracks[0].decoder.codec, Codec::aac);
    const auto samples = table_samples(scan.tracks[0], max_track_samples);
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_EQ(samples[2].offset, moov_at - 7);
    EXPECT_EQ(samples[2].size, 7u);
}

TEST(ScanCost, SparseMultiGigabyteFile)
{
    TempDir dir;
    const std::string path = dir.file("sparse.mp4");
    Mp4Builder head;
    head.ftyp();
    const std::uint64_t hole = 5ull << 30;
    head.box64("mdat", [&] {});
    Bytes bytes = head.bytes();
    const std::uint64_t mdat_size = 16 + hole;
    for (int i = 0; i < 8; ++i)
        bytes[24 + 8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(mdat_size >> (56 - 8 * i));
    Mp4Builder movie;
    movie.moov({TrackSpec{}});
    ASSERT_TRUE(write_file(path, bytes));
    {
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
        ASSERT_TRUE(fd);
        const auto n = ::pwrite(fd.get(), movie.bytes().data(), movie.size(), static_cast<off_t>(24 + mdat_size));
        ASSERT_EQ(n, static_cast<ssize_t>(movie.size()));
    }
    const MediaScan scan = scan_path(path);
    EXPECT_TRUE(scan.is_bmff);
    EXPECT_EQ(scan.moov_offset, 24 + mdat_size);
    EXPECT_EQ(scan.tracks.size(), 1u);
}
