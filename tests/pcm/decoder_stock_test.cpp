// The stock of decoders opened ahead, against the real libavcodec.

#include <time.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "common/after_reply.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/decoder_reset.hpp"
#include "pcm/decoder_stock.hpp"

namespace kov {
namespace {

// AAC-LC AudioSpecificConfigs: 48 kHz stereo, 44.1 kHz mono, 32 kHz stereo.
const std::vector<std::uint8_t> lc48_stereo = {0x11, 0x90};
const std::vector<std::uint8_t> lc44_mono = {0x12, 0x08};
const std::vector<std::uint8_t> lc32_stereo = {0x12, 0x90};

class Stock : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!codec_library_bound())
            GTEST_SKIP() << "no libavcodec with an AAC decoder on this machine";
    }

    static std::size_t settle(const std::vector<std::uint8_t>& asc, std::size_t want)
    {
        for (int i = 0; i < 500 && DecoderStock::instance().ready(asc) != want; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return DecoderStock::instance().ready(asc);
    }

    static double cpu_seconds()
    {
        timespec ts{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    }
};

TEST_F(Stock, KeepsTheMostRecentConfigurationsFilled)
{
    DecoderStock& stock = DecoderStock::instance();
    EXPECT_FALSE(stock.take(lc48_stereo)) << "nothing can be ready before anyone asked";
    stock.top_up();
    EXPECT_EQ(settle(lc48_stereo, DecoderStock::depth), DecoderStock::depth);

    DecoderContext ctx = stock.take(lc48_stereo);
    ASSERT_TRUE(ctx);
    stock.top_up();
    EXPECT_EQ(settle(lc48_stereo, DecoderStock::depth), DecoderStock::depth) << "a take is made good";

    // Given back beyond the depth: freed, not hoarded.
    stock.put(lc48_stereo, std::move(ctx));
    EXPECT_EQ(stock.ready(lc48_stereo), DecoderStock::depth);

    // A third configuration pushes out the least recently used one.
    static_assert(DecoderStock::max_configs == 2);
    stock.take(lc44_mono);
    stock.top_up();
    EXPECT_EQ(settle(lc44_mono, DecoderStock::depth), DecoderStock::depth);
    stock.take(lc48_stereo); // now the most recent again
    stock.take(lc32_stereo);
    stock.top_up();
    EXPECT_EQ(settle(lc32_stereo, DecoderStock::depth), DecoderStock::depth);
    EXPECT_EQ(settle(lc48_stereo, DecoderStock::depth), DecoderStock::depth);
    EXPECT_EQ(stock.ready(lc44_mono), 0u);
}

// A request served under an AfterReply lets the stock's thread work only once
// the request is done, and then it does.
TEST_F(Stock, TopUpsWaitForTheReply)
{
    DecoderStock& stock = DecoderStock::instance();
    stock.take(lc48_stereo);
    stock.top_up();
    ASSERT_EQ(settle(lc48_stereo, DecoderStock::depth), DecoderStock::depth);
    {
        AfterReply outer;
        {
            const AfterReply inner; // nested, as a read inside a request
            ASSERT_TRUE(stock.take(lc48_stereo));
            stock.top_up();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(stock.ready(lc48_stereo), DecoderStock::depth - 1);
    }
    EXPECT_EQ(settle(lc48_stereo, DecoderStock::depth), DecoderStock::depth);
}

TEST_F(Stock, UsedDecodersAreFreedAndRefusedConfigurationsAreNotRetried)
{
    DecoderStock& stock = DecoderStock::instance();
    for (int i = 0; i < 50;
         ++i) { // freed by the stock's thread while it opens more (checked for misuse under the sanitizers)
        stock.discard(stock.take(lc48_stereo));
        stock.top_up();
    }

    // Audio object type 0 does not exist: the decoder refuses this
    // configuration, and the stock must not spin on it.
    const std::vector<std::uint8_t> bogus = {0x00, 0x00};
    EXPECT_FALSE(stock.take(bogus));
    stock.top_up();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double before = cpu_seconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(cpu_seconds() - before, 0.1);
    EXPECT_EQ(stock.ready(bogus), 0u);
    EXPECT_FALSE(stock.take(bogus));
}

// Resetting used decoders is proven on the library at hand, not assumed
// (whether the bytes stay the same is the read-pattern tests' concern), and a
// binding without a library has none.
TEST_F(Stock, UsedDecodersCanBeResetOnlyWhereProven)
{
    const char* const missing[] = {"libavcodec-missing.so"};
    EXPECT_FALSE(DecoderReset::learn(bind_codec_library(missing, missing)).available());
    if (!DecoderReset::instance().available())
        GTEST_SKIP() << "every segment opens a decoder of its own here: " << DecoderReset::instance().reason();

    DecoderStock& stock = DecoderStock::instance();
    DecoderContext used = stock.take(lc48_stereo);
    if (!used)
        used = open_aac_decoder(codec_library(), lc48_stereo);
    ASSERT_TRUE(used);
    stock.give_back(lc48_stereo, std::move(used));
    EXPECT_TRUE(stock.take_reset(lc48_stereo));
    EXPECT_FALSE(stock.take_reset(lc48_stereo)) << "one given back, one to take";
}

} // namespace
} // namespace kov
