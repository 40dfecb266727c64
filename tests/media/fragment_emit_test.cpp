// Fragmented recordings through --emit and the mount, judged by ffprobe and
// ffmpeg: an unfragmented file with the same streams, video packets identical,
// each audio stream PCM equal to ffmpeg's decode of the source's AAC; a
// recording cut inside a fragment keeps exactly its complete fragments.

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "fragment_recordings.hpp"
#include "media/box_header.hpp"
#include "media/moov_builder.hpp"
#include "media/rebuilt_trak.hpp"
#include "support/mount_harness.hpp"
#include "support/mp4_builder.hpp"

using namespace kov::test;

namespace {

struct Stream {
    std::string type, codec, start;
    long long duration_ts = 0, tb_den = 0;
    int rate = 0, channels = 0;
};

std::vector<Stream> streams_of(const std::string& path)
{
    const auto r = run_command({"ffprobe", "-v", "error", "-show_entries",
                                "stream=codec_type,codec_name,start_time,duration_ts,time_base,sample_rate,channels",
                                "-of", "csv=p=0:nk=0", path});
    std::vector<Stream> out;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        Stream s;
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, ',')) {
            const auto eq = field.find('=');
            const std::string key = field.substr(0, eq), value = field.substr(eq + 1);
            if (key == "codec_type")
                s.type = value;
            else if (key == "codec_name")
                s.codec = value;
            else if (key == "start_time")
                s.start = value;
            else if (key == "duration_ts")
                s.duration_ts = std::atoll(value.c_str());
            else if (key == "time_base")
                s.tb_den = std::atoll(value.c_str() + value.find('/') + 1);
            else if (key == "sample_rate")
                s.rate = std::atoi(value.c_str());
            else if (key == "channels")
                s.channels = std::atoi(value.c_str());
        }
        out.push_back(s);
    }
    return out;
}

std::string ffmpeg_out(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"ffmpeg", "-nostdin", "-v", "error"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = run_command(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "ffmpeg complains";
    return r.out;
}

// Per-packet timing, size and MD5 of one stream, one line each.
std::vector<std::string> packet_lines(const std::string& path, int index)
{
    std::istringstream in(
        ffmpeg_out({"-i", path, "-map", "0:" + std::to_string(index), "-c", "copy", "-f", "framemd5", "-"}));
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] != '#')
            out.push_back(line);
    return out;
}

std::string key_flags(const std::string& path, int index)
{
    return run_command({"ffprobe", "-v", "error", "-select_streams", std::to_string(index), "-show_entries",
                        "packet=flags", "-of", "csv=p=0", path})
        .out;
}

std::int16_t s16(const std::string& b, std::size_t i)
{
    return static_cast<std::int16_t>(static_cast<std::uint8_t>(b[i]) | static_cast<std::uint8_t>(b[i + 1]) << 8);
}

// ffmpeg's decode of one AAC stream, each access unit's 1024 frames placed
// right after the previous unit's while its packet's time is within half a
// unit of there, else at that time (later units cut what they overlap, gaps
// silent), up to the stream's declared length: where a player puts the sound.
std::string placed_decode(const std::string& path, int index, const Stream& s, std::size_t frame)
{
    const std::string plain = ffmpeg_out({"-i", path, "-map", "0:" + std::to_string(index), "-f", "s16le", "-"});
    std::istringstream dts_lines(run_command({"ffprobe", "-v", "error", "-select_streams", std::to_string(index),
                                              "-show_entries", "packet=dts", "-of", "csv=p=0", path})
                                     .out);
    // Times from the first packet on: a stream that starts late is read from
    // its start time.
    std::vector<long long> dts;
    for (std::string line; std::getline(dts_lines, line);)
        dts.push_back(std::atoll(line.c_str()));
    const long long first = dts.empty() ? 0 : dts.front();
    auto frames = [&](long long ticks) { return (ticks * s.rate * 2 + s.tb_den) / (2 * s.tb_den); }; // half up
    std::vector<long long> starts;
    for (const long long t : dts) {
        const long long at = frames(t - first), follow = starts.empty() ? at : starts.back() + 1024;
        starts.push_back(std::max(starts.empty() ? at : starts.back(), std::llabs(at - follow) <= 512 ? follow : at));
    }
    const auto total = static_cast<std::size_t>(frames(s.duration_ts - first));
    std::string out(total * frame, '\0');
    const std::size_t unit = 1024 * frame;
    for (std::size_t u = 0; u < starts.size() && (u + 1) * unit <= plain.size(); ++u) {
        const std::size_t at = static_cast<std::size_t>(starts[u]) * frame;
        std::size_t end = std::min(at + unit, out.size());
        if (u + 1 < starts.size())
            end = std::min(end, static_cast<std::size_t>(starts[u + 1]) * frame);
        if (at < end)
            std::copy_n(plain.begin() + static_cast<std::ptrdiff_t>(u * unit), end - at,
                        out.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return out;
}

// How many packets of each stream lie wholly in the first `size` bytes of a file.
std::vector<std::size_t> packets_within(const std::string& path, std::size_t streams, std::uint64_t size)
{
    std::istringstream lines(run_command({"ffprobe", "-v", "error", "-show_entries", "packet=stream_index,pos,size",
                                          "-of", "csv=p=0", path})
                                 .out);
    std::vector<std::size_t> count(streams);
    for (std::string line; std::getline(lines, line);) {
        unsigned long long index = 0, pos = 0, bytes = 0;
        if (std::sscanf(line.c_str(), "%llu,%llu,%llu", &index, &pos, &bytes) == 3 && index < streams &&
            pos + bytes <= size)
            ++count[index];
    }
    return count;
}

// The rewritten file against its source: same streams in the same order,
// video packets identical, each PCM stream the source's AAC decode as placed
// by its timing within one step. For a recording cut off after `cut_at`
// bytes: every packet whose bytes lie wholly before the cut, and the PCM a
// prefix of the source's.
void expect_same_recording(const std::string& src, const std::string& out, std::uint64_t cut_at = 0)
{
    const bool cut = cut_at != 0;
    const auto before = streams_of(src), after = streams_of(out);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(ffmpeg_out({"-i", out, "-map", "0", "-f", "null", "-"}), "");
    const auto kept = packets_within(src, before.size(), cut ? cut_at : ~std::uint64_t{0});
    for (std::size_t i = 0; i < before.size(); ++i) {
        SCOPED_TRACE("stream " + std::to_string(i));
        const int index = static_cast<int>(i);
        EXPECT_EQ(after[i].type, before[i].type);
        EXPECT_EQ(after[i].start, before[i].start) << "out of sync";
        if (before[i].codec != "aac") {
            EXPECT_EQ(after[i].codec, before[i].codec);
            auto want = packet_lines(src, index);
            const auto got = packet_lines(out, index);
            if (cut) {
                ASSERT_LE(kept[i], want.size());
                want.resize(kept[i]);
            }
            EXPECT_EQ(got, want);
            const std::string flags = key_flags(out, index);
            EXPECT_EQ(flags, key_flags(src, index).substr(0, flags.size()));
            continue;
        }
        ASSERT_EQ(after[i].codec, "pcm_s16le");
        EXPECT_EQ(after[i].rate, before[i].rate);
        EXPECT_EQ(after[i].channels, before[i].channels);
        const std::size_t frame = static_cast<std::size_t>(before[i].channels) * 2;
        const std::string want = placed_decode(src, index, before[i], frame);
        const std::string got = ffmpeg_out({"-i", out, "-map", "0:" + std::to_string(index), "-f", "s16le", "-"});
        if (!cut) {
            EXPECT_EQ(got.size(), want.size()) << "not the declared length";
        }
        ASSERT_LE(got.size(), want.size());
        ASSERT_GT(got.size(), static_cast<std::size_t>(before[i].rate) * frame / 2);
        if (cut) {
            EXPECT_LT(got.size(), want.size());
            // Every whole unit is there (the edit list still skips the first).
            EXPECT_GE(got.size() / frame + 2 * 1024, kept[i] * 1024);
        }
        int worst = 0;
        for (std::size_t k = 0; k + 1 < got.size(); k += 2)
            worst = std::max(worst, std::abs(s16(want, k) - s16(got, k)));
        EXPECT_LE(worst, 1);
    }
}

} // namespace

TEST(FragmentEmit, RecordingsBecomeUnfragmentedWithTheirStreamsIntact)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    TempDir dir;
    for (const auto& rec : recordings()) {
        SCOPED_TRACE(rec.name);
        const std::string src = dir.file(rec.name), out = dir.file(std::string("out-") + rec.name);
        ASSERT_TRUE(make_recording(dir, rec, src));
        const auto r = run_command({program_path(), "--emit", src, out});
        ASSERT_EQ(r.status, 0) << r.err;
        expect_same_recording(src, out);
        // Nothing of the fragments is left for a reader to find.
        const auto boxes = run_command({"ffprobe", "-v", "trace", "-i", out}).err;
        EXPECT_EQ(boxes.find("type:'moof'"), std::string::npos);
        EXPECT_EQ(boxes.find("type:'mvex'"), std::string::npos);
    }
}

// Adds `shift` to every decode time (tfdt) of track `track_id` in the fragments.
void shift_fragments(std::vector<std::uint8_t>& file, std::uint32_t track_id, std::uint64_t shift)
{
    auto be = [&](std::size_t at, int n) {
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = v << 8 | file[at + static_cast<std::size_t>(i)];
        return v;
    };
    auto put = [&](std::size_t at, int n, std::uint64_t v) {
        for (int i = n - 1; i >= 0; --i, v >>= 8)
            file[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
    };
    std::uint32_t current = 0;
    auto walk = [&](auto&& self, std::size_t at, std::size_t end) -> void {
        while (at + 8 <= end) {
            const auto size = static_cast<std::size_t>(be(at, 4));
            const auto type = static_cast<std::uint32_t>(be(at + 4, 4));
            if (size < 8 || size > end - at)
                return;
            if (type == kov::fourcc("moof") || type == kov::fourcc("traf"))
                self(self, at + 8, at + size);
            else if (type == kov::fourcc("tfhd"))
                current = static_cast<std::uint32_t>(be(at + 12, 4));
            else if (type == kov::fourcc("tfdt") && current == track_id)
                file[at + 8] == 1 ? put(at + 12, 8, be(at + 12, 8) + shift) : put(at + 12, 4, be(at + 12, 4) + shift);
            at += size;
        }
    };
    walk(walk, 0, file.size());
}

TEST(FragmentEmit, FragmentsThatStartLateKeepTheirPlaceInTime)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    TempDir dir;
    const std::string made = dir.file("made.mp4"), src = dir.file("late.mp4"), out = dir.file("out.mp4");
    ASSERT_TRUE(make_recording(dir, recording("keyframe_given_base.mp4"), made));
    auto bytes = read_file(made);
    shift_fragments(bytes, 2, 24000); // the first audio track half a second late (48 kHz)
    ASSERT_TRUE(write_file(src, bytes));
    ASSERT_EQ(streams_of(src)[1].start, "0.500000");
    const auto r = run_command({program_path(), "--emit", src, out});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_same_recording(src, out);
}

// A hybrid writer's finished file: the fragments as recorded, their first
// movie box now free space, and a complete movie box at the end that lists
// every sample again (made here from the scan of the fragments).
bool make_finished_hybrid(const TempDir& dir, const std::string& out)
{
    const std::string fragmented = dir.file("hybrid-source.mp4");
    if (!make_recording(dir, recording("keyframe_given_base.mp4"), fragmented))
        return false;
    auto bytes = read_file(fragmented);
    const kov::MediaScan scan = scan_bytes(bytes);
    const std::span<const std::uint8_t> moov(bytes.data() + scan.moov_offset, scan.moov_size);
    std::vector<std::uint8_t> complete;
    kov::BeWriter w(complete);
    const std::size_t at = w.begin_box("moov");
    const auto payload = kov::box_payload(moov).rest();
    std::size_t track = 0;
    for (const kov::BoxEntry& e : kov::list_boxes(payload)) {
        if (e.type() == kov::fourcc("trak"))
            kov::write_rebuilt_trak(w, kov::box_bytes(payload, e), scan.tracks[track++], kov::movie_timescale(moov));
        else if (e.type() != kov::fourcc("mvex"))
            w.bytes(kov::box_bytes(payload, e));
    }
    w.end_box(at);
    std::copy_n("free", 4, bytes.begin() + static_cast<std::ptrdiff_t>(scan.moov_offset + 4));
    bytes.insert(bytes.end(), complete.begin(), complete.end());
    return write_file(out, bytes);
}

TEST(FragmentEmit, FinishedHybridFileUsesItsCompleteTablesOnce)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    TempDir dir;
    const std::string src = dir.file("hybrid.mp4"), out = dir.file("out.mp4");
    ASSERT_TRUE(make_finished_hybrid(dir, src));
    const auto r = run_command({program_path(), "--emit", src, out});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_same_recording(dir.file("hybrid-source.mp4"), out);
}

// Cut as a crash would leave it, inside an mdat: the samples whose bytes are
// all there are kept, the moof of their fragment complete; --probe counts them.
TEST(FragmentEmit, RecordingCutInsideAFragmentKeepsEveryWholeSample)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    TempDir dir;
    for (const auto& rec : {recording("keyframe_given_base.mp4"), recording("duration_separate.mp4"),
                            recording("quicktime_given_base.mov")}) {
        const std::string whole = dir.file(rec.name);
        ASSERT_TRUE(make_recording(dir, rec, whole));
        for (const int tenths : {6, 9}) {
            SCOPED_TRACE(std::string(rec.name) + " cut at " + std::to_string(tenths) + "/10");
            const std::string src = dir.file("cut-" + std::to_string(tenths) + rec.name),
                              out = dir.file("out-" + std::to_string(tenths) + rec.name);
            auto bytes = read_file(whole);
            bytes.resize(bytes.size() * static_cast<std::size_t>(tenths) / 10);
            ASSERT_TRUE(write_file(src, bytes));
            const auto r = run_command({program_path(), "--emit", src, out});
            ASSERT_EQ(r.status, 0) << r.err;
            expect_same_recording(whole, out, bytes.size());
            const auto kept = packets_within(whole, streams_of(whole).size(), bytes.size());
            std::string counts;
            for (const std::size_t n : kept)
                counts += "samples=" + std::to_string(n) + "\n";
            std::string probed;
            std::istringstream lines(run_command({program_path(), "--probe", src}).out);
            for (std::string line; std::getline(lines, line);)
                if (const auto at = line.find("samples="); at != std::string::npos)
                    probed += line.substr(at) + "\n";
            EXPECT_EQ(probed, counts);
        }
    }
}

TEST(FragmentEmit, MountServesWhatEmitWrites)
{
    KOV_REQUIRE_FUSE();
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    MountFolders folders;
    const std::string src = folders.dir.file("src");
    ASSERT_EQ(run_shell("mkdir -p '" + src + "'"), 0);
    std::vector<std::string> names;
    for (const auto& rec :
         {recording("duration_separate.mp4"), recording("gstreamer.mp4"), recording("hybrid_separate.mov")}) {
        ASSERT_TRUE(make_recording(folders.dir, rec, src + "/" + rec.name));
        names.push_back(rec.name);
    }
    // A recording still being written: 60 % of it so far.
    const std::string whole = folders.dir.file("whole.mp4"), growing = src + "/growing.mp4";
    ASSERT_TRUE(make_recording(folders.dir, recording("keyframe_given_base.mp4"), whole));
    const auto all = read_file(whole);
    ASSERT_TRUE(write_file(growing, std::vector<std::uint8_t>(
                                        all.begin(), all.begin() + static_cast<std::ptrdiff_t>(all.size() * 6 / 10))));
    names.push_back("growing.mp4");

    ServiceProcess service({src, folders.mnt}, folders.mnt);
    ASSERT_TRUE(service.wait_for_mount()) << service.err();
    auto same_as_emit = [&](const std::string& name) {
        SCOPED_TRACE(name);
        const std::string emitted = folders.dir.file("emit-" + name);
        ASSERT_EQ(run_command({program_path(), "--emit", src + "/" + name, emitted}).status, 0);
        const auto served = read_file(folders.mnt + "/" + name);
        ASSERT_FALSE(served.empty());
        EXPECT_TRUE(served == read_file(emitted)) << "the mount and --emit differ";
    };
    for (const auto& name : names)
        same_as_emit(name);

    // The rest of the recording arrives: once the kernel's cached attributes
    // expire, the mount shows the whole recording.
    const auto before = read_file(folders.mnt + "/growing.mp4").size();
    ASSERT_TRUE(write_file(growing, all));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    same_as_emit("growing.mp4");
    EXPECT_GT(read_file(folders.mnt + "/growing.mp4").size(), before);
}
