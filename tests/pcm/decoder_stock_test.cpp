// The stock of decoders opened ahead and of used decoders reset, judged by
// what its decoders decode against decoders opened on the spot.

#include <fcntl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "aac_clip.hpp"
#include "common/full_io.hpp"
#include "common/unique_fd.hpp"
#include "pcm/aac_decoder.hpp"
#include "pcm/decoding_service.hpp"

namespace kov {
namespace {

using Clock = std::chrono::steady_clock;

std::shared_ptr<DecodingService> system_service(bool reset = true)
{
    DecodingService::Settings settings;
    settings.reset = reset;
    return DecodingService::create(bind_system_codec_library(), settings);
}

class Stock : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!test::have_ffmpeg() || !decoding->bound())
            GTEST_SKIP() << "no ffmpeg, or no libavcodec with an AAC decoder on this machine";
    }

    // Pink noise and a tone at the encoder's defaults: most bands are coded
    // as noise, whose generator is what a reset must bring back.
    static const test::AacClip& noise_clip()
    {
        static const test::TempDir dir;
        static const auto clip = test::make_aac_clip(
            dir, "noise.m4a",
            {"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.3:duration=1:sample_rate=48000:seed=3", "-c:a",
             "aac", "-ar", "48000", "-ac", "2"});
        return *clip;
    }

    // What the decoder gives for units [first, first + count) of the clip,
    // output of the first `skip` of them left out, as raw samples.
    std::vector<std::uint8_t> decode(LavCodecContext* ctx, std::size_t first, std::size_t count, std::size_t skip)
    {
        const test::AacClip& clip = noise_clip();
        UniqueFd fd(::open(clip.path.c_str(), O_RDONLY | O_CLOEXEC));
        UnitFeeder feeder(decoding->library());
        std::vector<std::uint8_t> out, unit;
        for (std::size_t u = first; u < first + count && u < clip.units.size(); ++u) {
            unit.assign(clip.units[u].size + input_padding, 0);
            EXPECT_EQ(pread_full(fd.get(), unit.data(), clip.units[u].size, clip.units[u].offset),
                      static_cast<std::int64_t>(clip.units[u].size));
            const bool keep = u >= first + skip;
            feeder.feed(ctx, unit.data(), clip.units[u].size, [&](const LavFrame* frame) {
                const auto samples = get_field<std::int32_t>(frame, lav_frame_nb_samples);
                const auto* left = get_field<const std::uint8_t*>(frame, lav_frame_data);
                if (keep && samples > 0 && left != nullptr)
                    out.insert(out.end(), left, left + 4 * samples); // planar float: the first channel
            });
        }
        return out;
    }

    std::vector<std::uint8_t> decode_fresh(std::size_t first, std::size_t count, std::size_t skip)
    {
        DecoderContext fresh = open_aac_decoder(decoding->library(), noise_clip().asc);
        EXPECT_TRUE(fresh);
        return decode(fresh.get(), first, count, skip);
    }

    // A ready decoder from the stock, waiting up to 5 s for its thread.
    DecoderContext ready_decoder(DecodingService& service, const std::vector<std::uint8_t>& asc)
    {
        const auto until = Clock::now() + std::chrono::seconds(5);
        for (;;) {
            if (DecoderContext ctx = service.stock().take(asc))
                return ctx;
            if (Clock::now() > until)
                return {};
            service.stock().top_up();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::shared_ptr<DecodingService> decoding = system_service();
};

TEST_F(Stock, ReadyDecodersDecodeLikeOnesOpenedOnTheSpot)
{
    const auto& asc = noise_clip().asc;
    DecoderContext first = ready_decoder(*decoding, asc);
    ASSERT_TRUE(first) << "the stock never had a decoder ready";
    const auto expected = decode_fresh(0, 12, 0);
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(decode(first.get(), 0, 12, 0) == expected);
    // Taken ones are made good, and serve as well.
    DecoderContext second = ready_decoder(*decoding, asc);
    ASSERT_TRUE(second);
    EXPECT_TRUE(decode(second.get(), 0, 12, 0) == expected);
    // A decoder kept for one configuration never serves another: a mono one
    // taken for the clip's stereo configuration would decode one channel.
    const std::vector<std::uint8_t> mono44 = {0x12, 0x08};
    DecoderContext other = ready_decoder(*decoding, mono44);
    ASSERT_TRUE(other);
    DecoderContext again = ready_decoder(*decoding, asc);
    ASSERT_TRUE(again);
    EXPECT_TRUE(decode(again.get(), 0, 12, 0) == expected);
}

// A configuration the library refuses (object type 0 does not exist) gives
// no decoder, and does not keep the stock from serving the others.
TEST_F(Stock, ARefusedConfigurationDoesNotStopTheOthers)
{
    const std::vector<std::uint8_t> bogus = {0x00, 0x00};
    EXPECT_FALSE(decoding->stock().take(bogus));
    decoding->stock().top_up();
    EXPECT_FALSE(decoding->stock().take(bogus)) << "the library would never open this one";
    EXPECT_TRUE(ready_decoder(*decoding, noise_clip().asc));
    EXPECT_FALSE(decoding->stock().take(bogus));
}

// A used decoder comes back from the stock decoding like a fresh one behind
// the pre-roll, noise bands included, wherever the proof holds; a service
// told not to reset never hands one back.
TEST_F(Stock, UsedDecodersComeBackResetOnlyWhereProven)
{
    const auto& asc = noise_clip().asc;
    const std::size_t pre = DecoderReset::min_preroll;
    const auto fresh_only = system_service(false);
    EXPECT_FALSE(fresh_only->reset().available());
    DecoderContext used = open_aac_decoder(fresh_only->library(), asc);
    ASSERT_TRUE(used);
    decode(used.get(), 0, 20, 0);
    fresh_only->stock().take(asc); // the configuration is one the stock knows
    fresh_only->stock().give_back(asc, std::move(used));
    EXPECT_FALSE(fresh_only->stock().take_reset(asc));

    if (!decoding->reset().available())
        GTEST_SKIP() << "every segment opens a decoder of its own here: " << decoding->reset().reason();
    used = open_aac_decoder(decoding->library(), asc);
    ASSERT_TRUE(used);
    decode(used.get(), 0, 30, 0);
    decoding->stock().take(asc);
    decoding->stock().give_back(asc, std::move(used));
    DecoderContext reset = decoding->stock().take_reset(asc);
    ASSERT_TRUE(reset);
    EXPECT_FALSE(decoding->stock().take_reset(asc)) << "one given back, one to take";
    const auto expected = decode_fresh(10, 16, pre);
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(decode(reset.get(), 10, 16, pre) == expected);
}

// Decoders handed over in numbers while the stock's thread opens others, and
// services ended while their thread works (checked for misuse under the
// sanitizers): the stock still serves afterwards.
TEST_F(Stock, HandOversAndEndsWhileTheThreadWorks)
{
    const auto& asc = noise_clip().asc;
    for (int i = 0; i < 50; ++i) {
        decoding->stock().discard(decoding->stock().take(asc));
        decoding->stock().top_up();
    }
    for (int i = 0; i < 5; ++i) {
        const auto brief = system_service();
        brief->stock().take(asc);
        brief->stock().top_up();
        brief->stock().discard(open_aac_decoder(brief->library(), asc));
    }
    DecoderContext ctx = ready_decoder(*decoding, asc);
    ASSERT_TRUE(ctx);
    EXPECT_TRUE(decode(ctx.get(), 0, 8, 0) == decode_fresh(0, 8, 0));
}

} // namespace
} // namespace kov
