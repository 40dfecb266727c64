// --status with the system's libavcodec and without it, and --emit without a
// decoder. "Without" is real: the program runs in a private mount namespace
// where every libavcodec file is covered by /dev/null, so the loader fails.

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <regex>

#include <gtest/gtest.h>

#include "pcm/codec_set.hpp"
#include "support/test_env.hpp"

namespace kov {
namespace {

using test::run_command;

bool can_hide_libavcodec()
{
    return ::geteuid() == 0 && test::have_program("unshare") && run_command({"unshare", "-m", "true"}).status == 0;
}

test::CommandResult run_without_libavcodec(const std::vector<std::string>& args)
{
    const std::string script =
        "for f in /usr/lib/*/libavcodec.so* /usr/lib/libavcodec.so* /usr/local/lib/libavcodec.so* "
        "/usr/local/lib/*/libavcodec.so*; do [ -e \"$f\" ] && { mount --bind /dev/null \"$f\" || exit 99; }; done; "
        "exec \"$@\"";
    std::vector<std::string> argv{"unshare", "-m", "sh", "-c", script, "sh", test::program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv);
}

// The converted codecs, by name, that `has` says yes to; "none" for none.
std::string converted_names(const std::function<bool(const std::string&)>& has)
{
    std::string list;
    for (unsigned i = 0; i < 32; ++i) {
        const auto codec = static_cast<Codec>(i);
        if (default_conversions().has(codec) && has(codec_name(codec)))
            list += (list.empty() ? "" : ",") + std::string(codec_name(codec));
    }
    return list.empty() ? "none" : list;
}

TEST(StatusCommand, NamesTheBoundSonameTheVersionWhetherDecodersAreResetAndWhatCannotBeDecoded)
{
    const auto r = run_command({test::program_path(), "--status", "ignored"});
    EXPECT_EQ(r.status, 0);
    if (test::run_shell("ls /usr/lib/*/libavcodec.so.* >/dev/null 2>&1") != 0 || !test::have_ffmpeg())
        GTEST_SKIP() << "no libavcodec or no ffmpeg installed";
    EXPECT_TRUE(r.out.rfind("decoder=libavcodec.so.", 0) == 0) << r.out;
    // The ffmpeg tool, on the same library, judges which decoders exist: each
    // converted codec's native decoder bears the codec's name.
    const std::string decoders = run_command({"ffmpeg", "-hide_banner", "-decoders"}).out;
    const std::string undecodable = converted_names([&](const std::string& name) {
        return !std::regex_search(decoders, std::regex("\\n A[^ ]* " + name + " "));
    });
    const std::size_t rest = r.out.find(' ');
    EXPECT_TRUE(r.out.substr(rest) == " version=2026.10.28 reset=on undecodable=" + undecodable + "\n" ||
                r.out.substr(rest) == " version=2026.10.28 reset=off undecodable=" + undecodable + "\n")
        << r.out;

    // The environment switches the reset off; nothing else changes.
    const auto off = run_command({"env", "KOV_DECODER_RESET=0", test::program_path(), "--status"});
    EXPECT_EQ(off.status, 0);
    EXPECT_EQ(off.out, r.out.substr(0, rest) + " version=2026.10.28 reset=off undecodable=" + undecodable + "\n");
}

TEST(StatusCommand, WithoutLibavcodecNothingIsDecodable)
{
    if (!can_hide_libavcodec())
        GTEST_SKIP() << "needs root and unshare";
    const auto r = run_without_libavcodec({"--status"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string all = converted_names([](const std::string&) { return true; });
    EXPECT_NE(all.find("aac,"), std::string::npos) << all;
    EXPECT_EQ(r.out, "decoder=none version=2026.10.28 reset=off undecodable=" + all + "\n");
}

// Shares holding ffmpeg-made clips, walked by the real program with no
// libavcodec, so that every converted codec is looked for.
TEST(StatusCommand, ScanNamesTheUndecodableCodecsInTheEnabledSharesOnly)
{
    if (!can_hide_libavcodec())
        GTEST_SKIP() << "needs root and unshare";
    if (!test::have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    test::TempDir dir;
    const auto clip = [&](const std::string& name, std::vector<std::string> codec) {
        std::vector<std::string> args{"-f", "lavfi", "-i", "sine=d=0.3", "-strict", "-2"};
        args.insert(args.end(), codec.begin(), codec.end());
        ASSERT_TRUE(test::ffmpeg_make(args, dir.file(name))) << name;
    };
    for (const char* sub : {"a", "a/deep", "a/deep/er", "b", "off", "linked"})
        ASSERT_EQ(::mkdir(dir.file(sub).c_str(), 0755), 0) << sub;
    clip("a/deep/er/opus.MP4", {"-c:a", "libopus"});
    clip("b/aac.m4a", {"-c:a", "aac"});
    clip("a/flac-named-oddly.dat", {"-c:a", "flac", "-f", "mp4"}); // not named like media
    clip("off/alac.mov", {"-c:a", "alac"});                       // a disabled share
    clip("linked/eac3.mp4", {"-c:a", "eac3"});                    // only through a symbolic link
    ASSERT_EQ(::symlink(dir.file("linked").c_str(), dir.file("a/link").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("b/fifo.mov").c_str(), 0644), 0); // would block an open for reading
    ASSERT_TRUE(test::write_text(dir.file("shares.conf"), "1\tA\t" + dir.file("a") + "\n1\tB\t" + dir.file("b") +
                                                              "\n0\tOff\t" + dir.file("off") + "\n"));

    const auto r = run_without_libavcodec({"--status", "--scan", "--config", dir.file("shares.conf")});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string all = converted_names([](const std::string&) { return true; });
    EXPECT_EQ(r.out, "decoder=none version=2026.10.28 reset=off undecodable=" + all +
                         " present=aac,opus scanned=2 complete=yes\n");

    // Without --config, the list a mount reads by default.
    ASSERT_EQ(::mkdir(dir.file("config").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.file("config/kov-orvane").c_str(), 0755), 0);
    ASSERT_TRUE(test::write_text(dir.file("config/kov-orvane/shares.conf"), "1\tB\t" + dir.file("b") + "\n"));
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string restore = saved ? saved : "";
    ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    const auto by_default = run_without_libavcodec({"--status", "--scan"});
    saved ? ::setenv("XDG_CONFIG_HOME", restore.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(by_default.out, "decoder=none version=2026.10.28 reset=off undecodable=" + all +
                                  " present=aac scanned=1 complete=yes\n");
}

TEST(EmitCommand, WithoutLibavcodecWritesTheSameFileWithSilentPcm)
{
    if (!can_hide_libavcodec())
        GTEST_SKIP() << "needs root and unshare";
    if (!test::have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    test::TempDir dir;
    const std::string src = dir.file("a.mp4");
    ASSERT_TRUE(test::ffmpeg_make({"-f", "lavfi", "-i", "aevalsrc=0.8*sin(440*2*PI*t)|0.5*sin(660*2*PI*t):s=48000:d=2",
                                   "-f", "lavfi", "-i", "testsrc=d=2:s=160x120:r=25", "-c:a", "aac", "-c:v", "mpeg4"},
                                  src));
    const auto with = run_command({test::program_path(), "--emit", src, dir.file("with.mov")});
    ASSERT_EQ(with.status, 0) << with.err;
    const auto without = run_without_libavcodec({"--emit", src, dir.file("without.mov")});
    ASSERT_EQ(without.status, 0) << without.err;

    const auto a = test::read_file(dir.file("with.mov"));
    const auto b = test::read_file(dir.file("without.mov"));
    ASSERT_EQ(a.size(), b.size());
    // The PCM region is the end of the file; its size is in the emit line.
    const auto at = without.err.find(", PCM ");
    ASSERT_NE(at, std::string::npos) << without.err;
    const std::size_t pcm_size = std::stoull(without.err.substr(at + 6));
    ASSERT_GE(pcm_size, 2u * 48000 * 4);
    ASSERT_GT(b.size(), pcm_size);
    const std::size_t pcm_offset = b.size() - pcm_size;
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(pcm_offset), b.begin()))
        << "the layout must not depend on the decoder for plain AAC-LC";
    EXPECT_TRUE(std::all_of(b.begin() + static_cast<std::ptrdiff_t>(pcm_offset), b.end(),
                            [](std::uint8_t v) { return v == 0; }));
    EXPECT_FALSE(std::all_of(a.begin() + static_cast<std::ptrdiff_t>(pcm_offset), a.end(),
                             [](std::uint8_t v) { return v == 0; }));
    // Still a valid file whose audio ffmpeg reads as PCM.
    const auto probe = run_command({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                                    "stream=codec_name", "-of", "csv=p=0", dir.file("without.mov")});
    EXPECT_EQ(probe.out, "pcm_s16le\n");
}

} // namespace
} // namespace kov
