// Rewritten files with several AAC tracks, uneven timing and metadata, made
// by ffmpeg and judged by ffprobe/ffmpeg (MediaInfo and GStreamer for high
// rates), through --emit and through a real mount of the program.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

#include "media/be_writer.hpp"
#include "media/box_header.hpp"
#include "support/mount_harness.hpp"
#include "support/test_env.hpp"

namespace kov::test {
namespace {

// One stream as ffprobe reports it: every field by name.
using Fields = std::map<std::string, std::string>;

std::vector<Fields> probe_streams(const std::string& path)
{
    const auto r = run_command({"ffprobe", "-v", "error", "-show_entries",
                                "stream=index,codec_type,codec_name,sample_rate,channels,channel_layout,duration_ts,"
                                "time_base:stream_tags=language,handler_name,creation_time:stream_disposition=default",
                                "-of", "compact", path});
    EXPECT_EQ(r.status, 0) << path << ": " << r.err;
    std::vector<Fields> out;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("stream|", 0) != 0)
            continue;
        Fields f;
        std::istringstream items(line.substr(7));
        std::string item;
        while (std::getline(items, item, '|'))
            if (const auto eq = item.find('='); eq != std::string::npos)
                f[item.substr(0, eq)] = item.substr(eq + 1);
        out.push_back(f);
    }
    return out;
}

std::string probe_text(const std::string& path, const std::string& entries)
{
    const auto r = run_command({"ffprobe", "-v", "error", "-show_entries", entries, "-of", "compact", path});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

std::vector<std::int16_t> decode(const std::string& path, const std::string& index,
                                 const std::vector<std::string>& filter = {})
{
    std::vector<std::string> args{"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:" + index};
    args.insert(args.end(), filter.begin(), filter.end());
    args.insert(args.end(), {"-f", "s16le", "-"});
    const auto r = run_command(args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::int16_t> samples(r.out.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(r.out[2 * i]) |
                                               static_cast<std::uint8_t>(r.out[2 * i + 1]) << 8);
    return samples;
}

std::string packet_hashes(const std::string& path, const std::string& index)
{
    const auto r = run_command({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:" + index, "-c", "copy",
                                "-f", "framemd5", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// Index of the first sample louder than a quiet floor, divided by channels.
std::size_t onset_frame(const std::vector<std::int16_t>& s, int channels)
{
    for (std::size_t i = 0; i < s.size(); ++i)
        if (std::abs(s[i]) > 3000)
            return i / static_cast<std::size_t>(channels);
    return s.size();
}

// A mount of one source folder for the whole test.
struct Mounted {
    MountFolders folders;
    std::unique_ptr<ServiceProcess> service;
    bool start(const std::string& source)
    {
        service = std::make_unique<ServiceProcess>(std::vector<std::string>{source, folders.mnt}, folders.mnt);
        return service->wait_for_mount();
    }
};

// Multi-track and timing cases, each judged against ffmpeg's decode of the
// source: `samples`, sample for sample at the declared length; `onset`, the
// source's audio sample durations are uneven, so its beep is found at its
// timestamped instant (ffmpeg fills the gaps its timestamps leave);
// `continuous`, times that only stray by rounding, sample for sample against
// the continuous decode over the whole length.
enum class Judge { samples, onset, continuous };

struct TrackCase {
    const char* name;
    std::vector<std::string> make;         // ffmpeg arguments
    std::vector<std::string> remux_filter; // when not empty: then -c copy with this audio bitstream filter
    Judge judge = Judge::samples;
    std::function<void(std::vector<std::uint8_t>&)> patch = {}; // applied to the bytes last
};

std::vector<std::string> tone(int hz, int rate, const char* layout)
{
    return {"-f", "lavfi", "-i",
            "sine=frequency=" + std::to_string(hz) + ":sample_rate=" + std::to_string(rate) +
                ":duration=2,aformat=channel_layouts=" + layout};
}

const std::vector<std::string> video{"-f", "lavfi", "-i", "testsrc=duration=2:size=64x48:rate=25"};

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A beep at one second, after silence, and a video to keep beside it.
const std::vector<std::string> beep{
    "-f", "lavfi", "-i", "aevalsrc=if(gte(t\\,1)\\,0.8*sin(2*PI*1000*t)\\,0):s=48000:d=3", "-f", "lavfi", "-i",
    "testsrc=duration=3:size=64x48:rate=25", "-c:v", "mpeg4", "-c:a", "aac", "-aac_pns", "0"};

// Sets the media timescale of every sound track and leaves its times as they are.
void set_sound_timescale(std::vector<std::uint8_t>& file, std::uint32_t timescale)
{
    auto be32 = [&](std::size_t at) {
        return std::uint32_t{file[at]} << 24 | std::uint32_t{file[at + 1]} << 16 | std::uint32_t{file[at + 2]} << 8 |
               file[at + 3];
    };
    auto walk = [&](auto&& self, std::size_t at, std::size_t end) -> void {
        std::size_t mdhd = 0;
        bool sound = false;
        while (at + 8 <= end) {
            const std::size_t size = be32(at);
            const std::uint32_t type = be32(at + 4);
            if (size < 8 || size > end - at)
                return;
            if (type == fourcc("moov") || type == fourcc("trak") || type == fourcc("mdia"))
                self(self, at + 8, at + size);
            mdhd = type == fourcc("mdhd") ? at : mdhd;
            sound = sound || (type == fourcc("hdlr") && size >= 20 && be32(at + 16) == fourcc("soun"));
            at += size;
        }
        if (sound && mdhd != 0)
            for (std::size_t field = mdhd + (file[mdhd + 8] == 1 ? 28 : 20), i = 0; i < 4; ++i)
                file[field + i] = static_cast<std::uint8_t>(timescale >> (24 - 8 * i));
    };
    walk(walk, 0, file.size());
}

std::vector<TrackCase> track_cases()
{
    return {
        {"two.mp4",
         join({video, tone(440, 48000, "stereo"), tone(660, 44100, "mono"),
               {"-map", "0", "-map", "1", "-map", "2", "-c:v", "mpeg4", "-c:a", "aac", "-aac_pns", "0", "-metadata:s:a:0",
                "language=eng", "-metadata:s:a:1", "language=fra", "-metadata:s:a:1", "handler_name=Commentary",
                "-disposition:a:1", "0"}}),
         {}},
        {"three.mov",
         join({video, tone(300, 48000, "mono"), tone(500, 44100, "stereo"), tone(700, 48000, "5.1"),
               {"-map", "0", "-map", "1", "-map", "2", "-map", "3", "-c:v", "mpeg4", "-c:a", "aac", "-aac_pns", "0",
                "-metadata:s:a:0", "handler_name=Game", "-metadata:s:a:1", "handler_name=Mic", "-metadata:s:a:2",
                "handler_name=Chat", "-metadata:s:a:2", "language=deu", "-metadata",
                "creation_time=2024-05-01T10:00:00Z"}}),
         {}},
        {"six.mp4",
         join({video, tone(200, 48000, "stereo"), tone(250, 48000, "mono"), tone(300, 48000, "stereo"),
               tone(350, 48000, "mono"), tone(400, 48000, "stereo"), tone(450, 48000, "stereo"),
               {"-map", "0", "-map", "1", "-map", "2", "-map", "3", "-map", "4", "-map", "5", "-map", "6", "-c:v",
                "mpeg4", "-c:a", "aac", "-aac_pns", "0"}}),
         {}},
        {"aac_ac3.mp4",
         join({video, tone(440, 48000, "stereo"), tone(220, 48000, "stereo"),
               {"-map", "0", "-map", "1", "-map", "2", "-c:v", "mpeg4", "-c:a:0", "aac", "-aac_pns", "0", "-c:a:1",
                "ac3"}}),
         {}},
        // What a -c copy remux of ffmpeg's fragmented output keeps: a first
        // sample of 3200 ticks.
        {"first_sample_3200.mp4", beep, {"-bsf:a", "setts=ts=if(eq(N\\,0)\\,TS\\,TS+2176)"}, Judge::onset},
        // A recorder that dropped 100 ms of audio frames.
        {"gap.mp4", beep, {"-bsf:a", "setts=ts=if(gte(N\\,20)\\,TS+4800\\,TS)"}, Judge::onset},
        // Four units of 124 ticks: each later unit wins at its time, 75 ms early in all.
        {"overlap.mp4", beep, {"-bsf:a", "setts=ts=if(gte(N\\,20)\\,TS-900*min(N-19\\,4)\\,TS)"}, Judge::onset},
        // Times rounded to whole milliseconds: units of 1008 and 1056 ticks.
        {"rounded.mp4", beep, {"-bsf:a", "setts=ts=48*floor(TS/48+0.5)"}, Judge::continuous},
        // 48 kHz audio in a 44.1 kHz timescale: 941 ticks, 1024.2 frames a unit.
        {"timescale_44100.mp4", beep, {"-bsf:a", "setts=ts=(N-1)*941:duration=941"}, Judge::continuous,
         [](std::vector<std::uint8_t>& bytes) { set_sound_timescale(bytes, 44100); }},
    };
}

bool make_case(const TrackCase& c, const std::string& path, const TempDir& scratch)
{
    if (c.remux_filter.empty())
        return ffmpeg_make(c.make, path);
    const std::string plain = scratch.file(std::string("plain_") + c.name);
    if (!ffmpeg_make(c.make, plain))
        return false;
    auto args = join({{"-i", plain, "-c", "copy"}, c.remux_filter});
    if (!ffmpeg_make(args, path))
        return false;
    if (!c.patch)
        return true;
    auto bytes = read_file(path);
    c.patch(bytes);
    return write_file(path, bytes);
}

void expect_same_streams(const std::string& src, const std::string& out, const TrackCase& c)
{
    const auto before = probe_streams(src);
    const auto after = probe_streams(out);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        const Fields& b = before[i];
        const Fields& a = after[i];
        SCOPED_TRACE("stream " + std::to_string(i));
        EXPECT_EQ(a.at("codec_type"), b.at("codec_type"));
        for (const char* key : {"tag:language", "tag:handler_name", "tag:creation_time", "disposition:default"})
            EXPECT_EQ(a.count(key) ? a.at(key) : "", b.count(key) ? b.at(key) : "") << key;
        const std::string index = std::to_string(i);
        if (b.at("codec_name") != "aac") {
            EXPECT_EQ(a.at("codec_name"), b.at("codec_name"));
            EXPECT_EQ(packet_hashes(out, index), packet_hashes(src, index));
            continue;
        }
        EXPECT_EQ(a.at("codec_name"), "pcm_s16le");
        for (const char* key : {"sample_rate", "channels", "channel_layout"})
            EXPECT_EQ(a.at(key), b.at(key)) << key;
        const int channels = std::atoi(b.at("channels").c_str());
        const long long rate = std::atoll(b.at("sample_rate").c_str());
        if (c.judge == Judge::onset) {
            // Where the source's timestamps put the beep, gaps filled with silence.
            const auto want = decode(src, index, {"-af", "aresample=async=1:min_hard_comp=0.001:first_pts=0"});
            const auto got = decode(out, index);
            const auto w = onset_frame(want, channels), g = onset_frame(got, channels);
            ASSERT_LT(w, want.size());
            EXPECT_LE(std::max(w, g) - std::min(w, g), 1024u)
                << "beep at frame " << g << ", the source has it at " << w;
            continue;
        }
        // ffmpeg rounds the decoder's floats half to even, the program half
        // away from zero: one step apart at exact halves. ffmpeg keeps the
        // encoder's padding of the last unit; the PCM track has the declared
        // length (a remuxed file's edit list may end it sooner).
        const auto want = decode(src, index);
        const auto got = decode(out, index);
        long long num = 0, den = 0;
        std::sscanf(b.at("time_base").c_str(), "%lld/%lld", &num, &den);
        ASSERT_GT(den, 0);
        const long long declared = std::atoll(b.at("duration_ts").c_str()) * num * rate / den;
        if (c.judge == Judge::samples) {
            EXPECT_EQ(got.size(), static_cast<std::size_t>(declared * channels));
        }
        const std::size_t n = std::min(got.size(), want.size());
        ASSERT_GE(n + 1024u * channels, want.size()) << "ffmpeg decodes more than one unit beyond";
        int worst = 0;
        for (std::size_t k = 0; k < n; ++k)
            worst = std::max(worst, std::abs(got[k] - want[k]));
        EXPECT_LE(worst, 1);
    }
}

TEST(RewrittenTracks, EveryAacTrackInPlaceDecodedAndInSyncThroughEmitAndTheMount)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    TempDir src, work;
    const auto cases = track_cases();
    for (const auto& c : cases)
        ASSERT_TRUE(make_case(c, src.file(c.name), work)) << c.name;
    Mounted m;
    const bool mounted = fuse_available() && m.start(src.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = work.file(std::string("emit_") + c.name);
        const auto r = run_command({program_path(), "--emit", src.file(c.name), out});
        ASSERT_EQ(r.status, 0) << r.err;
        expect_same_streams(src.file(c.name), out, c);
        if (!mounted)
            continue;
        // The mount shows exactly the emitted bytes, and ffprobe agrees there.
        const std::string through = m.folders.mnt + "/" + c.name;
        EXPECT_TRUE(read_file(through) == read_file(out)) << "mount and --emit differ";
        EXPECT_EQ(probe_streams(through), probe_streams(out));
    }
    if (!mounted)
        GTEST_SKIP() << "checked through --emit only: no FUSE here";
}

// Moves the `meta` box of the movie's `udta` up into the movie box itself,
// where phones and exiftool keep QuickTime keys. The movie box must be last.
std::vector<std::uint8_t> hoist_meta(const std::vector<std::uint8_t>& file)
{
    const auto top = list_boxes(file);
    if (top.empty() || top.back().type() != fourcc("moov"))
        return {};
    const auto moov = box_bytes(file, top.back());
    const auto moov_children = box_payload(moov).rest();
    std::vector<std::uint8_t> out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(top.back().offset));
    BeWriter w(out);
    std::span<const std::uint8_t> meta;
    const std::size_t moov_at = w.begin_box("moov");
    for (const auto& e : list_boxes(moov_children)) {
        const auto bytes = box_bytes(moov_children, e);
        if (e.type() != fourcc("udta")) {
            w.bytes(bytes);
            continue;
        }
        const auto udta_children = box_payload(bytes).rest();
        const std::size_t udta_at = w.begin_box("udta");
        for (const auto& u : list_boxes(udta_children)) {
            if (u.type() == fourcc("meta"))
                meta = box_bytes(udta_children, u);
            else
                w.bytes(box_bytes(udta_children, u));
        }
        w.end_box(udta_at);
    }
    w.bytes(meta);
    w.end_box(moov_at);
    return meta.empty() ? std::vector<std::uint8_t>{} : out;
}

std::string tool_output(const std::vector<std::string>& argv)
{
    const auto r = run_command(argv);
    return r.status == 0 ? r.out : "failed: " + r.err;
}

TEST(RewrittenTracks, MetadataFieldsSurvive)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    TempDir dir;
    const std::string sine = "sine=frequency=440:duration=2";
    auto emit = [&](const std::string& name) {
        const std::string out = dir.file("out_" + name);
        const auto r = run_command({program_path(), "--emit", dir.file(name), out});
        EXPECT_EQ(r.status, 0) << r.err;
        return out;
    };

    // QuickTime keys directly under the movie box.
    ASSERT_TRUE(ffmpeg_make({"-f", "lavfi", "-i", sine, "-c:a", "aac", "-movflags", "use_metadata_tags", "-metadata",
                             "com.apple.quicktime.make=Acme", "-metadata", "com.apple.quicktime.model=Phone 9",
                             "-metadata", "com.apple.quicktime.location.ISO6709=+48.8577+002.2950/"},
                            dir.file("keys_udta.mov")));
    const auto hoisted = hoist_meta(read_file(dir.file("keys_udta.mov")));
    ASSERT_FALSE(hoisted.empty());
    ASSERT_TRUE(write_file(dir.file("keys.mov"), hoisted));
    const std::string keys = probe_text(dir.file("keys.mov"), "format_tags");
    ASSERT_NE(keys.find("com.apple.quicktime.make=Acme"), std::string::npos) << keys;

    // Chapters of an audio-only file: a text track the audio track refers to.
    ASSERT_TRUE(write_text(dir.file("chapters.txt"), ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\n"
                                                     "title=Intro\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2000\n"
                                                     "title=Talk\n"));
    ASSERT_TRUE(ffmpeg_make({"-f", "lavfi", "-i", sine, "-i", dir.file("chapters.txt"), "-map_chapters", "1",
                             "-c:a", "aac"},
                            dir.file("podcast.m4a")));
    for (const char* layout : {"5.1", "7.1"})
        ASSERT_TRUE(ffmpeg_make({"-f", "lavfi", "-i", sine + ",aformat=channel_layouts=" + layout, "-c:a", "aac"},
                                dir.file(std::string("layout") + layout + ".mp4")));
    for (const char* rate : {"96000", "88200"})
        ASSERT_TRUE(ffmpeg_make({"-f", "lavfi", "-i", sine + ":sample_rate=" + rate, "-ac", "2", "-c:a", "aac"},
                                dir.file(std::string("rate") + rate + ".mp4")));
    for (const char* name : {"plain.mov", "plain.mp4"})
        ASSERT_TRUE(ffmpeg_make({"-f", "lavfi", "-i", sine, "-c:a", "aac"}, dir.file(name)));

    struct Field {
        const char* file;
        const char* what;
        std::vector<std::string> read; // the command, the file's path appended
        std::string want;              // empty: the same as for the source
    };
    const bool mediainfo = have_program("mediainfo"), gst = have_program("gst-discoverer-1.0");
    const std::vector<std::string> ffprobe_audio{"ffprobe", "-v", "error", "-select_streams", "a",
                                                 "-show_entries", "stream=sample_rate,channels,channel_layout",
                                                 "-of", "csv=p=0"};
    const std::vector<std::string> mediainfo_audio{"mediainfo",
                                                   "--Inform=Audio;%SamplingRate% %Channel(s)% %BitDepth%"};
    std::vector<Field> fields{
        {"keys.mov", "format tags", {"ffprobe", "-v", "error", "-show_entries", "format_tags", "-of", "compact"}, ""},
        {"podcast.m4a",
         "streams and chapters",
         {"ffprobe", "-v", "error", "-show_entries",
          "stream=index,codec_type:chapter=start_time,end_time:chapter_tags=title", "-of", "compact"},
         ""},
        {"layout5.1.mp4", "channel layout", ffprobe_audio, "44100,6,5.1\n"},
        {"layout7.1.mp4", "channel layout", ffprobe_audio, "44100,8,7.1\n"},
        {"rate96000.mp4", "ffprobe", ffprobe_audio, "96000,2,stereo\n"},
        {"rate88200.mp4", "ffprobe", ffprobe_audio, "88200,2,stereo\n"},
    };
    // QuickTime's media and data handlers in a .mov, the ISO handler alone in an .mp4.
    const std::vector<std::string> exiftool_handlers{"exiftool", "-a", "-s", "-HandlerClass", "-HandlerType",
                                                     "-HandlerDescription"};
    const bool exiftool = have_program("exiftool");
    if (exiftool)
        for (const char* name : {"plain.mov", "plain.mp4"})
            fields.push_back({name, "exiftool handlers", exiftool_handlers, ""});
    if (mediainfo)
        for (const char* rate : {"96000", "88200"})
            fields.push_back({rate[0] == '9' ? "rate96000.mp4" : "rate88200.mp4", "MediaInfo", mediainfo_audio,
                              std::string(rate) + " 2 16\n"});
    for (const auto& f : fields) {
        SCOPED_TRACE(std::string(f.file) + ": " + f.what);
        const std::string out = emit(f.file);
        auto read = [&](const std::string& path) {
            auto argv = f.read;
            argv.push_back(path);
            return tool_output(argv);
        };
        EXPECT_EQ(read(out), f.want.empty() ? read(dir.file(f.file)) : f.want);
    }
    if (gst) {
        for (const char* rate : {"96000", "88200"}) {
            const std::string text =
                tool_output({"gst-discoverer-1.0", emit(std::string("rate") + rate + ".mp4")});
            EXPECT_NE(text.find(std::string("Sample rate: ") + rate), std::string::npos) << text;
            EXPECT_NE(text.find("Channels: 2"), std::string::npos) << text;
            EXPECT_NE(text.find("Depth: 16"), std::string::npos) << text;
        }
    }
    if (!mediainfo || !gst || !exiftool)
        GTEST_SKIP() << "MediaInfo, GStreamer's discoverer or exiftool missing: checked with ffprobe only";
}

} // namespace
} // namespace kov::test
