// Fragmented recordings made by ffmpeg in each of its fragment shapes, judged
// by ffprobe: every packet of every stream is a sample the fragment scan
// found, at the same position, with the same size, times and key flag.

#include <sstream>

#include <gtest/gtest.h>

#include "fragment_builder.hpp"
#include "support/test_env.hpp"

using namespace kov;
using namespace kov::test;

namespace {

struct Recording {
    const char* name;
    int audio_tracks;
    std::vector<std::string> flags; // ffmpeg's; none: remuxed by GStreamer's mp4mux instead
};

// ffmpeg's fragment shapes: base data offsets given, at the moof, implicit;
// one moof per keyframe, per duration or per track.
const std::vector<Recording>& recordings()
{
    static const std::vector<Recording> all{
        {"keyframe_base_moof.mp4", 1, {"-movflags", "+frag_keyframe+empty_moov+default_base_moof"}},
        {"keyframe_given_base.mp4", 2, {"-movflags", "+frag_keyframe+empty_moov"}},
        {"duration_separate.mp4", 3, {"-frag_duration", "1000000", "-movflags", "+empty_moov+separate_moof"}},
        {"implicit_base.mp4", 2, {"-movflags", "+frag_keyframe+empty_moov+omit_tfhd_offset"}},
        {"quicktime.mov", 2, {"-movflags", "+frag_keyframe+empty_moov+default_base_moof"}},
        {"gstreamer.mp4", 1, {}},
    };
    return all;
}

std::vector<std::string> recording_args(const Recording& r)
{
    std::vector<std::string> args{"-f", "lavfi", "-i", "testsrc=duration=3:size=160x120:rate=25"};
    for (int a = 0; a < r.audio_tracks; ++a) {
        const std::string rate = a % 2 ? "44100" : "48000";
        for (const char* s : {"-f", "lavfi", "-i"})
            args.push_back(s);
        args.push_back("sine=frequency=" + std::to_string(440 + 110 * a) + ":duration=3:sample_rate=" + rate);
    }
    for (int i = 0; i <= r.audio_tracks; ++i) {
        args.push_back("-map");
        args.push_back(std::to_string(i));
    }
    for (const char* s : {"-c:v", "mpeg4", "-bf", "2", "-g", "12", "-c:a", "aac"})
        args.push_back(s);
    args.insert(args.end(), r.flags.begin(), r.flags.end());
    return args;
}

struct Packet {
    unsigned stream = 0;
    long long pts = 0, dts = 0, pos = 0, size = 0;
    bool key = false;
};

std::vector<Packet> probe_packets(const std::string& path)
{
    const auto r = run_command({"ffprobe", "-v", "error", "-show_entries", "packet=stream_index,pts,dts,pos,size,flags",
                                "-of", "csv=p=0", path});
    std::vector<Packet> out;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        Packet p;
        char flags[8] = {};
        if (std::sscanf(line.c_str(), "%u,%lld,%lld,%lld,%lld,%7s", &p.stream, &p.pts, &p.dts, &p.size, &p.pos,
                        flags) == 6) {
            p.key = flags[0] == 'K';
            out.push_back(p);
        }
    }
    return out;
}

// GStreamer's muxer in its fragment mode (one moof per track, a uuid box and
// an mfra at the end), fed an H.264 + AAC file made by ffmpeg.
bool gstreamer_make(const TempDir& dir, const std::string& out)
{
    const std::string source = dir.file("gst-source.mp4");
    if (!have_program("gst-launch-1.0") ||
        !ffmpeg_make({"-f", "lavfi", "-i", "testsrc=duration=5:size=160x120:rate=25", "-f", "lavfi", "-i",
                      "sine=frequency=440:duration=5:sample_rate=48000", "-c:v", "libx264", "-preset", "ultrafast",
                      "-g", "25", "-c:a", "aac"},
                     source))
        return false;
    const auto r = run_command({"gst-launch-1.0", "-q", "-e", "filesrc", "location=" + source, "!", "qtdemux",
                                "name=d", "d.video_0", "!", "queue", "!", "h264parse", "!", "mux.", "d.audio_0", "!",
                                "queue", "!", "aacparse", "!", "mux.", "mp4mux", "name=mux", "fragment-duration=2000",
                                "!", "filesink", "location=" + out});
    return r.status == 0 && exists(out);
}

bool make_recording(const TempDir& dir, const Recording& r, const std::string& out)
{
    return r.flags.empty() ? gstreamer_make(dir, out) : ffmpeg_make(recording_args(r), out);
}

} // namespace

TEST(FragmentRecordings, ScanFindsEveryPacketFfprobeReads)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    TempDir dir;
    for (const auto& rec : recordings()) {
        SCOPED_TRACE(rec.name);
        const std::string path = dir.file(rec.name);
        ASSERT_TRUE(make_recording(dir, rec, path));
        const Bytes file = read_file(path);
        const auto got = scan_fragment_bytes(file);
        EXPECT_FALSE(got.scan.cut);
        EXPECT_FALSE(got.read_media);
        ASSERT_EQ(got.scan.tracks.size(), static_cast<std::size_t>(rec.audio_tracks + 1));

        std::vector<std::size_t> next(got.scan.tracks.size());
        std::vector<std::uint64_t> time(got.scan.tracks.size());
        for (std::size_t t = 0; t < time.size(); ++t)
            time[t] = got.scan.tracks[t].start_time;
        const auto packets = probe_packets(path);
        ASSERT_FALSE(packets.empty());
        for (const Packet& p : packets) {
            // ffmpeg numbers its tracks from 1 in stream order.
            const auto track = std::find_if(got.scan.tracks.begin(), got.scan.tracks.end(),
                                            [&](const FragmentTrack& t) { return t.track_id == p.stream + 1; });
            ASSERT_NE(track, got.scan.tracks.end());
            const std::size_t t = static_cast<std::size_t>(track - got.scan.tracks.begin());
            ASSERT_LT(next[t], track->samples.size()) << "stream " << p.stream;
            const MediaSample& s = track->samples[next[t]++];
            EXPECT_EQ(static_cast<long long>(s.offset), p.pos);
            EXPECT_EQ(static_cast<long long>(s.size), p.size);
            EXPECT_EQ(static_cast<long long>(time[t]), p.dts) << "stream " << p.stream << " packet " << next[t];
            EXPECT_EQ(static_cast<long long>(time[t]) + s.composition_offset, p.pts);
            EXPECT_EQ(s.sync, p.key);
            time[t] += s.duration;
        }
        for (std::size_t t = 0; t < next.size(); ++t)
            EXPECT_EQ(next[t], got.scan.tracks[t].samples.size());
    }
}
