// The run-time binding of the system's libavcodec, and the program's promise
// never to link FFmpeg.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "aac_clip.hpp"
#include "common/unique_fd.hpp"
#include "pcm/aac_decoder.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/decoding_service.hpp"
#include "support/test_env.hpp"

namespace kov {
namespace {

// The first of these sonames the loader knows, as ldconfig lists them.
std::string first_known(std::span<const char* const> names)
{
    const auto cache = test::run_command({"ldconfig", "-p"});
    for (const char* name : names)
        if (cache.out.find(std::string(name) + " ") != std::string::npos)
            return name;
    return {};
}

// A missing library, or one that is not a libavcodec, gives the absent
// binding: nothing described, and a service on it decodes nothing.
TEST(CodecLibrary, MissingOrUnusableLibrariesGiveTheAbsentTable)
{
    static constexpr const char* missing[] = {"libkov-missing-codec.so.62", "libkov-missing-codec.so"};
    // Present, but not a libavcodec: lacks every entry point.
    static constexpr const char* not_a_codec[] = {"libc.so.6"};
    for (const auto names : {std::span<const char* const>(missing), std::span<const char* const>(not_a_codec)}) {
        const auto service = DecodingService::create(bind_codec_library(names, default_util_sonames()), {});
        EXPECT_FALSE(service->bound()) << names[0];
        EXPECT_EQ(service->description(), "") << names[0];
        EXPECT_FALSE(service->reset().available()) << names[0];
        EXPECT_FALSE(open_aac_decoder(service->library(), std::vector<std::uint8_t>{0x11, 0x90})) << names[0];
    }
}

// The first soname of the list that the system has is the one bound, and
// its decoder reports the format of a real stream.
TEST(CodecLibrary, BindsTheFirstSonameThatOpens)
{
    if (!test::have_ffmpeg() || !test::have_program("ldconfig"))
        GTEST_SKIP() << "ffmpeg is not installed";
    static constexpr const char* names[] = {"libkov-missing-codec.so.62", "libavcodec.so.62", "libavcodec.so.61",
                                            "libavcodec.so.60", "libavcodec.so.59", "libavcodec.so.58"};
    const std::string expected = first_known(names);
    if (expected.empty())
        GTEST_SKIP() << "the loader's cache lists no libavcodec";
    const CodecLibrary lib = bind_codec_library(names, default_util_sonames());
    ASSERT_TRUE(lib.bound());
    EXPECT_EQ(lib.loaded_name, expected);
    EXPECT_EQ(bind_system_codec_library().loaded_name, expected);

    test::TempDir dir;
    const auto clip = test::make_aac_clip(
        dir, "mono.m4a",
        {"-f", "lavfi", "-i", "sine=frequency=1000:duration=1:sample_rate=44100", "-c:a", "aac", "-ac", "1"}, {});
    ASSERT_TRUE(clip);
    const auto service = DecodingService::create(bind_codec_library(names, default_util_sonames()), {});
    UniqueFd fd(::open(clip->path.c_str(), O_RDONLY | O_CLOEXEC));
    PcmTrack track = test::track_of(clip->units, clip->asc, {8000, 3, 2048}, 0);
    service->probe_stream(fd.get(), track);
    EXPECT_EQ(track.rate, 44100u);
    EXPECT_EQ(track.channels, 1u);
    EXPECT_EQ(track.frames_per_unit, 1024u);
}

TEST(CodecLibrary, DescribesTheLibraryAsTheFfmpegToolDoes)
{
    if (!test::have_ffmpeg())
        GTEST_SKIP() << "ffmpeg is not installed";
    const std::string text = describe_codec_library(bind_system_codec_library());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, std::regex(R"(libavcodec\.so\.(\d+) \(libavcodec (\d+)\.(\d+)\.(\d+)\))")))
        << text;
    EXPECT_EQ(m[1], m[2]) << "soname and major version disagree: " << text;

    // The ffmpeg tool prints the library version it runs with, e.g.
    // "libavcodec     59. 37.100 / 59. 37.100".
    const auto version = test::run_command({"ffmpeg", "-hide_banner", "-version"});
    std::smatch v;
    ASSERT_TRUE(std::regex_search(version.out, v,
                                  std::regex(R"(libavcodec\s+\d+\.\s*\d+\.\s*\d+ / +(\d+)\.\s*(\d+)\.\s*(\d+))")))
        << version.out;
    EXPECT_EQ(m[2], v[1]);
    EXPECT_EQ(m[3], v[2]);
    EXPECT_EQ(m[4], v[3]);
}

TEST(CodecLibrary, TheProgramIsNotLinkedAgainstFfmpeg)
{
    const auto ldd = test::run_command({"ldd", test::program_path()});
    ASSERT_EQ(ldd.status, 0) << ldd.err;
    EXPECT_EQ(ldd.out.find("libav"), std::string::npos) << ldd.out;
    EXPECT_EQ(ldd.out.find("libsw"), std::string::npos) << ldd.out;
}

// Runs inside a private mount namespace where every installed libavcodec
// reads as an empty file (see the test below); never on its own.
TEST(CodecLibraryChild, DISABLED_WithoutLibavcodecEverySourceIsSilent)
{
    ASSERT_NE(std::getenv("KOV_LIBAVCODEC_HIDDEN"), nullptr);
    const auto service = DecodingService::create(bind_system_codec_library(), {});
    EXPECT_FALSE(service->bound());
    EXPECT_EQ(service->description(), "");

    test::TempDir dir;
    ASSERT_TRUE(test::write_file(dir.file("f"), std::vector<std::uint8_t>(4096, 0x5a)));
    UniqueFd fd(::open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC));
    const std::vector<AccessUnit> units{{0, 2048}, {2048, 2048}};
    const std::vector<std::uint8_t> asc{0x11, 0x90};
    PcmTrack track = test::track_of(units, asc, {48000, 2, 1024}, 2048);
    service->probe_stream(fd.get(), track);
    EXPECT_EQ(track.rate, 48000u);
    auto source = service->make_source(std::move(track));
    // Silence of any length: a read far past the stream's end answers in full.
    std::vector<std::uint8_t> buf(8192, 0xAA);
    EXPECT_EQ(source->read(fd.get(), buf.data(), buf.size(), 1u << 30), buf.size());
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](auto b) { return b == 0; }));
}

TEST(CodecLibrary, AbsentWhenTheLoaderCannotOpenAnyLibavcodec)
{
    if (::geteuid() != 0 || !test::have_program("unshare") || !test::have_program("ldconfig"))
        GTEST_SKIP() << "needs root and unshare to hide the system's libavcodec";
    // Hide every libavcodec the loader knows of behind /dev/null, in a mount
    // namespace of the child's own, and run the check above in that child.
    const auto cache = test::run_command({"ldconfig", "-p"});
    std::istringstream lines(cache.out);
    std::string line, mounts;
    while (std::getline(lines, line)) {
        const auto arrow = line.find("=> ");
        if (line.find("libavcodec.so") != std::string::npos && arrow != std::string::npos)
            mounts += "mount --bind /dev/null '" + line.substr(arrow + 3) + "' && ";
    }
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const auto r = test::run_command({"unshare", "-m", "sh", "-c",
                                      mounts + "KOV_LIBAVCODEC_HIDDEN=1 exec \"$0\" --gtest_also_run_disabled_tests "
                                               "--gtest_filter=CodecLibraryChild.*",
                                      self});
    if (r.status != 0 && r.out.empty())
        GTEST_SKIP() << "no private mount namespace here: " << r.err;
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
}

} // namespace
} // namespace kov
