// Fragmented recordings made by ffmpeg in each of its fragment shapes and by
// GStreamer, judged by ffprobe: every packet of every stream is a sample the
// fragment scan found, at the same position, with the same size, times and
// key flag.

#include <sstream>

#include <gtest/gtest.h>

#include "fragment_builder.hpp"
#include "fragment_recordings.hpp"
#include "media/sample_model.hpp"
#include "support/test_env.hpp"

using namespace kov;
using namespace kov::test;

namespace {

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
        const auto got = scan_without_media(file);
        EXPECT_TRUE(got.scan.fragmented);
        EXPECT_EQ(got.scan.kept_size, file.size());
        EXPECT_FALSE(got.read_media);
        ASSERT_EQ(got.scan.tracks.size(), static_cast<std::size_t>(rec.audio_tracks + 1));

        std::vector<std::vector<MediaSample>> samples;
        for (const auto& t : got.scan.tracks)
            samples.push_back(table_samples(t, max_track_samples));
        std::vector<std::size_t> next(samples.size());
        std::vector<long long> time(samples.size());
        const auto packets = probe_packets(path);
        ASSERT_FALSE(packets.empty());
        for (const Packet& p : packets) {
            ASSERT_LT(p.stream, samples.size());
            const std::size_t t = p.stream;
            ASSERT_LT(next[t], samples[t].size()) << "stream " << t;
            const MediaSample& s = samples[t][next[t]++];
            EXPECT_EQ(static_cast<long long>(s.offset), p.pos);
            EXPECT_EQ(static_cast<long long>(s.size), p.size);
            EXPECT_EQ(time[t], p.dts) << "stream " << t << " packet " << next[t];
            EXPECT_EQ(time[t] + s.composition_offset, p.pts);
            EXPECT_EQ(s.sync, p.key);
            time[t] += s.duration;
        }
        for (std::size_t t = 0; t < next.size(); ++t) {
            EXPECT_EQ(next[t], samples[t].size());
            EXPECT_EQ(got.scan.tracks[t].sample_count, samples[t].size()) << "the count --probe reports";
        }
    }
}
