// The run-time binding of the system's libavcodec, and the program's promise
// never to link FFmpeg.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <thread>

#include "aac_clip.hpp"
#include "common/unique_fd.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/silent_pcm.hpp"
#include "support/test_env.hpp"

namespace kov {
namespace {

bool all_entry_points_null(const CodecLibrary& lib)
{
    return !lib.avcodec_version && !lib.avcodec_find_decoder && !lib.avcodec_alloc_context3 &&
           !lib.avcodec_free_context && !lib.avcodec_open2 && !lib.avcodec_parameters_alloc &&
           !lib.avcodec_parameters_free && !lib.avcodec_parameters_to_context && !lib.av_packet_alloc &&
           !lib.av_packet_free && !lib.av_frame_alloc && !lib.av_frame_free && !lib.avcodec_send_packet &&
           !lib.avcodec_receive_frame && !lib.avcodec_flush_buffers && !lib.av_mallocz && !lib.av_opt_get_int &&
           !lib.av_opt_set;
}

TEST(CodecLibrary, MissingOrUnusableLibrariesGiveTheAbsentTable)
{
    static constexpr const char* missing[] = {"libkov-missing-codec.so.62", "libkov-missing-codec.so"};
    // Present, but not a libavcodec: lacks every entry point.
    static constexpr const char* not_a_codec[] = {"libc.so.6", "libavcodec.so.59"};
    for (const auto names : {std::span<const char* const>(missing), std::span<const char* const>(not_a_codec)}) {
        const CodecLibrary lib = bind_codec_library(names, default_util_sonames());
        EXPECT_FALSE(lib.bound()) << names[0];
        EXPECT_FALSE(lib.util_handle) << names[0];
        EXPECT_TRUE(lib.loaded_name.empty()) << names[0];
        EXPECT_TRUE(all_entry_points_null(lib)) << names[0];
        EXPECT_EQ(lib.aac_decoder, nullptr) << names[0];
        EXPECT_EQ(describe_codec_library(lib), "") << names[0];
    }
}

TEST(CodecLibrary, BindsTheFirstSonameThatOpens)
{
    if (!test::have_ffmpeg())
        GTEST_SKIP() << "ffmpeg is not installed";
    const CodecLibrary& lib = codec_library();
    ASSERT_TRUE(lib.bound());
    EXPECT_FALSE(all_entry_points_null(lib));

    // Preference order: the first name that opens wins, later ones are not tried.
    static constexpr const char* names[] = {"libkov-missing-codec.so.62", "libavcodec.so.60", "libavcodec.so.59",
                                            "libavcodec.so.58"};
    const CodecLibrary own = bind_codec_library(names, default_util_sonames());
    ASSERT_TRUE(own.bound());
    EXPECT_EQ(own.loaded_name, lib.loaded_name);
    EXPECT_EQ(own.avcodec_send_packet, lib.avcodec_send_packet); // the same library in this process
    // The AAC decoder is found once, when binding.
    EXPECT_NE(lib.aac_decoder, nullptr);
    EXPECT_EQ(lib.aac_decoder, lib.avcodec_find_decoder(lav_codec_id_aac));
}

TEST(CodecLibrary, DescribesTheLibraryAsTheFfmpegToolDoes)
{
    if (!test::have_ffmpeg())
        GTEST_SKIP() << "ffmpeg is not installed";
    const std::string text = decoder_description();
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

TEST(CodecLibrary, ConcurrentFirstCallersShareOneBinding)
{
    std::vector<const CodecLibrary*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = &codec_library(); });
    for (auto& t : threads)
        t.join();
    for (const auto* p : seen)
        EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(codec_library_bound(), seen[0]->bound());
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
    EXPECT_FALSE(codec_library_bound());
    EXPECT_EQ(decoder_description(), "");

    test::TempDir dir;
    ASSERT_TRUE(test::write_file(dir.file("f"), std::vector<std::uint8_t>(4096, 0x5a)));
    UniqueFd fd(::open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC));
    const std::vector<AccessUnit> units{{0, 2048}, {2048, 2048}};
    const std::vector<std::uint8_t> asc{0x11, 0x90};
    PcmTrack track = test::track_of(units, asc, {48000, 2, 1024}, 2048);
    probe_stream(fd.get(), track);
    EXPECT_EQ(track.rate, 48000u);
    auto source = make_pcm_source(std::move(track));
    EXPECT_NE(dynamic_cast<SilentPcm*>(source.get()), nullptr);
    std::vector<std::uint8_t> buf(8192, 0xAA);
    EXPECT_EQ(source->read(fd.get(), buf.data(), buf.size(), 0), buf.size());
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
