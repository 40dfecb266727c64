// A layout read in random order, with jumps back and forth through the PCM,
// gives exactly the bytes of the file --emit wrote in one sequential pass.

#include <fcntl.h>

#include <gtest/gtest.h>

#include <random>

#include "common/unique_fd.hpp"
#include "media/file_layout.hpp"
#include "pcm/decoding_service.hpp"
#include "support/test_env.hpp"

namespace kov {
namespace {
// The decoding service of these tests.
DecodingService& decoding()
{
    static const auto service = DecodingService::create(bind_system_codec_library(), {});
    return *service;
}


TEST(LayoutEmit, RandomRangesEqualTheEmittedFile)
{
    if (!test::have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    test::TempDir dir;
    const std::string src = dir.file("a.mp4"), out = dir.file("out.mov");
    // Without noise substitution the decoder's output does not depend on its
    // history, so any jump must give the bytes of a straight read.
    ASSERT_TRUE(test::ffmpeg_make(
        {"-f", "lavfi", "-i", "aevalsrc=0.8*sin(440*2*PI*t)*sin(2*t)|0.5*sin(660*2*PI*t):s=48000:d=6", "-f", "lavfi",
         "-i", "testsrc=d=6:s=160x120:r=25", "-c:a", "aac", "-aac_pns", "0", "-c:v", "mpeg4"},
        src));
    const auto r = test::run_command({test::program_path(), "--emit", src, out});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto emitted = test::read_file(out);

    UniqueFd fd(::open(src.c_str(), O_RDONLY));
    const auto layout = build_layout(fd.get(), scan_media(fd.get()), decoding());
    ASSERT_TRUE(layout);
    ASSERT_EQ(layout->total_size, emitted.size());
    // The source descriptor may be closed once the layout is built: reads go
    // through a descriptor of the caller's own.
    fd.reset();
    UniqueFd reader(::open(src.c_str(), O_RDONLY));

    std::mt19937_64 rng(7);
    std::vector<std::uint8_t> buf;
    for (int i = 0; i < 400; ++i) {
        // Mostly PCM, where the jumps matter; sometimes anywhere.
        const std::uint64_t from = i % 4 == 0 ? 0 : layout->streams[0].offset;
        const std::uint64_t offset = from + rng() % (layout->total_size - from + 10);
        const std::uint64_t length = 1 + rng() % (i % 3 == 0 ? 300000 : 5000);
        buf.assign(length, 0xEE);
        const std::int64_t got = layout->read_at(reader.get(), buf.data(), length, offset);
        const std::uint64_t expect = offset >= emitted.size() ? 0 : std::min(length, emitted.size() - offset);
        ASSERT_EQ(got, static_cast<std::int64_t>(expect));
        ASSERT_TRUE(
            std::equal(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(expect),
                       emitted.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(offset, emitted.size()))))
            << "read " << i << " at " << offset << " (" << length << " bytes) differs";
    }
}

} // namespace
} // namespace kov
