// The run-time binding of the system's libavcodec, and the program's promise
// never to link FFmpeg.

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "pcm/codec_library.hpp"
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
    ASSERT_TRUE(std::regex_search(version.out, v, std::regex(R"(libavcodec\s+\d+\.\s*\d+\.\s*\d+ / +(\d+)\.\s*(\d+)\.\s*(\d+))")))
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

} // namespace
} // namespace kov
