// The --probe report through the real binary: its exact lines and exit statuses.

#include <gtest/gtest.h>

#include "support/mp4_builder.hpp"
#include "support/test_env.hpp"

using namespace kov::test;

TEST(Probe, ExactReportOfAHandMadeMovie)
{
    TempDir dir;
    TrackSpec video;
    video.track_id = 1;
    video.handler = "vide";
    video.format = "mp4v";
    video.sample_count = 3;
    video.uniform_size = 10;
    TrackSpec audio;
    audio.track_id = 2;
    audio.sample_count = 2;
    audio.sample_sizes = {5, 6};
    audio.sample_rate = 48000;
    audio.channels = 1;
    audio.asc = {0x11, 0x88};
    Mp4Builder b;
    b.ftyp().mdat(100);
    const std::size_t moov_at = b.size();
    b.moov({video, audio});
    b.box("moov", [] {}); // an empty later moov replaces the first: no tracks
    const std::string path = dir.file("hand.mp4");
    ASSERT_TRUE(write_file(path, b.bytes()));

    auto r = run_command({program_path(), "--probe", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "file\t" + path + "\tsize=" + std::to_string(b.size()) + "\tfragmented=0\tmoov@" +
                         std::to_string(b.size() - 8) + "(+8)\thas_aac=0\n");

    Mp4Builder c;
    c.ftyp().mdat(100).moov({video, audio});
    ASSERT_TRUE(write_file(path, c.bytes()));
    r = run_command({program_path(), "--probe", path, "ignored"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "file\t" + path + "\tsize=" + std::to_string(c.size()) + "\tfragmented=0\tmoov@" +
                         std::to_string(moov_at) + "(+" + std::to_string(c.size() - moov_at) + ")\thas_aac=1\n" +
                         "  track id=1 handler=vide format=mp4v samples=3\n"
                         "  track id=2 handler=soun format=mp4a rate=48000 ch=1 bits=16 aac=1 asc=2B samples=2\n");
    EXPECT_EQ(r.err, "");
}

TEST(Probe, UnknownTextsPrintAsQuestionMarks)
{
    TempDir dir;
    kov::test::Mp4Builder b; // a track with no hdlr and no stsd
    b.box("moov", [&] { b.box("trak", [&] { b.full_box("tkhd", 0, 0, [&] { b.w().zeros(80); }); }); });
    const std::string path = dir.file("bare.mov");
    ASSERT_TRUE(write_file(path, b.bytes()));
    const auto r = run_command({program_path(), "--probe", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\n  track id=0 handler=? format=? samples=0\n"), std::string::npos) << r.out;
}

TEST(Probe, UnreadableOrForeignFilesAreNotBmff)
{
    TempDir dir;
    ASSERT_TRUE(write_text(dir.file("text.mp4"), "just some text, not boxes at all\n"));
    ASSERT_EQ(run_shell("mkfifo '" + dir.file("fifo") + "'"), 0);
    for (const std::string& path : {dir.file("missing.mp4"), dir.file("text.mp4"), dir.path(), dir.file("fifo")}) {
        const auto r = run_command({program_path(), "--probe", path});
        EXPECT_EQ(r.status, 2) << path;
        EXPECT_EQ(r.out, "not-bmff\t" + path + "\n");
    }
}

TEST(Probe, RealFiles)
{
    if (!have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    TempDir dir;
    const std::vector<std::string> tone{"-f", "lavfi", "-i", "sine=frequency=440:duration=1"};
    const std::vector<std::string> picture{"-f", "lavfi", "-i", "testsrc=duration=1:size=64x48:rate=10"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    ASSERT_TRUE(ffmpeg_make(with(with(tone, picture), {"-c:a", "aac", "-ar", "48000", "-c:v", "mpeg4", "-shortest"}),
                            dir.file("aac.mov")));
    ASSERT_TRUE(ffmpeg_make(with(picture, {"-c:v", "mpeg4"}), dir.file("video.mp4")));

    auto r = run_command({program_path(), "--probe", dir.file("aac.mov")});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\thas_aac=1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" handler=soun format=mp4a rate=48000 ch=1 bits=16 aac=1 asc="), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" handler=vide format=mp4v samples=10\n"), std::string::npos) << r.out;

    r = run_command({program_path(), "--probe", dir.file("video.mp4")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\thas_aac=0\n  track id=1 handler=vide format=mp4v samples=10\n"), std::string::npos)
        << r.out;
}
