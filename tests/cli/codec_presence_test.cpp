// The bounded walk behind `--status --scan`, on shares of ffmpeg-made clips:
// what each bound does to the answer and to whether it is complete.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "cli/codec_presence.hpp"
#include "shares/share_table.hpp"
#include "support/test_env.hpp"

namespace kov {
namespace {

CodecSet set_of(std::initializer_list<Codec> codecs)
{
    CodecSet set;
    for (const Codec c : codecs)
        set.add(c);
    return set;
}

TEST(CodecPresence, EachBoundStopsTheWalkAndSaysItIsIncomplete)
{
    if (!test::have_ffmpeg())
        GTEST_SKIP() << "ffmpeg not installed";
    test::TempDir dir;
    for (const char* sub : {"s", "s/1", "s/1/2"})
        ASSERT_EQ(::mkdir(dir.file(sub).c_str(), 0755), 0) << sub;
    // Three Opus files at the top, FLAC two folders down.
    for (const char* name : {"s/a.mp4", "s/b.mp4", "s/c.MP4"})
        ASSERT_TRUE(test::ffmpeg_make({"-f", "lavfi", "-i", "sine=d=0.2", "-c:a", "libopus"}, dir.file(name)));
    ASSERT_TRUE(test::ffmpeg_make({"-f", "lavfi", "-i", "sine=d=0.2", "-c:a", "flac", "-strict", "-2"},
                                  dir.file("s/1/2/f.mp4")));
    ShareTable table;
    ASSERT_EQ(table.install({Share{true, "S", dir.file("s")}}), 1u);
    const std::vector<ActiveShare> shares = table.snapshot();
    const CodecSet opus_flac = set_of({Codec::opus, Codec::flac});
    const CodecSet opus_flac_alac = set_of({Codec::opus, Codec::flac, Codec::alac});

    struct Case {
        const char* what;
        CodecSet wanted;
        PresenceLimits limits;
        CodecSet found;
        std::size_t files; // 0: any
        bool complete;
    };
    const Case cases[] = {
        {"every file seen", opus_flac_alac, {}, opus_flac, 4, true},
        {"all found before the end", set_of({Codec::opus}), {}, set_of({Codec::opus}), 1, true},
        {"nothing looked for", CodecSet{}, {}, CodecSet{}, 0, true},
        {"out of files", opus_flac_alac, {2, 32, std::chrono::milliseconds(5000)}, CodecSet{}, 2, false},
        {"too deep", opus_flac_alac, {100, 1, std::chrono::milliseconds(5000)}, set_of({Codec::opus}), 3, false},
        {"out of time", opus_flac_alac, {100, 32, std::chrono::milliseconds(0)}, CodecSet{}, 0, false},
    };
    for (const Case& c : cases) {
        const CodecPresence p = find_codecs(shares, c.wanted, c.limits);
        // Folder order is the file system's: with a file bound, which codec
        // was seen first is not fixed.
        if (c.found == CodecSet{} && c.files == 2)
            EXPECT_TRUE(p.found == CodecSet{} || p.found == set_of({Codec::opus}) || p.found == opus_flac) << c.what;
        else
            EXPECT_TRUE(p.found == c.found) << c.what;
        EXPECT_EQ(p.files, c.files) << c.what;
        EXPECT_EQ(p.complete, c.complete) << c.what;
    }
}

} // namespace
} // namespace kov
