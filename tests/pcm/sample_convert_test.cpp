// The vectorised sample conversion against a plain per-sample reference, over
// every input format, channel counts on both sides of the decoder's, lengths
// that leave partial vectors and partial stages, and the awkward float values.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "pcm/codec_library.hpp"
#include "pcm/sample_convert.hpp"

namespace kov {
namespace {

// Conversion of one sample, step by step as the stream format defines it.
std::int16_t reference_s16(float x)
{
    const float v = x * 32768.0f;
    if (v > 32767.0f)
        return 32767;
    if (v < -32768.0f)
        return -32768;
    if (v < 0)
        return static_cast<std::int16_t>(v - 0.5f);
    if (v >= 0)
        return static_cast<std::int16_t>(v + 0.5f);
    return 0; // NaN
}

// The block a frame must give: zero wherever the frame has no sample.
std::vector<std::uint8_t> reference_block(int format, const std::vector<std::vector<float>>& samples,
                                          std::uint32_t channels, std::size_t block_size)
{
    std::vector<std::uint8_t> block(block_size, 0);
    const std::size_t dch = samples.size();
    const std::size_t frames = std::min(samples[0].size(), block_size / (channels * 2));
    for (std::size_t i = 0; i < frames; ++i)
        for (std::size_t k = 0; k < std::min<std::size_t>(channels, dch); ++k) {
            const float x = samples[k][i];
            const std::int16_t v = (format == lav_sample_fmt_flt || format == lav_sample_fmt_fltp)
                                       ? reference_s16(x)
                                       : static_cast<std::int16_t>(x);
            const auto u = static_cast<std::uint16_t>(v);
            block[(i * channels + k) * 2] = static_cast<std::uint8_t>(u & 0xff);
            block[(i * channels + k) * 2 + 1] = static_cast<std::uint8_t>(u >> 8);
        }
    return block;
}

// Decoder output in the given format, as the decoder lays it out in memory.
struct Frame {
    std::vector<std::vector<float>> fltp;
    std::vector<float> flt;
    std::vector<std::vector<std::int16_t>> s16p;
    std::vector<std::int16_t> s16;
    std::vector<std::vector<std::int32_t>> s32p;
    std::vector<std::int32_t> s32;
    std::vector<const std::uint8_t*> planes;

    // A 32-bit sample whose top half is `x`, with low bits that must not count.
    static std::int32_t wide(float x, std::size_t i)
    {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(x)) << 16 |
                                         ((i * 40503u) & 0xffffu));
    }

    Frame(int format, const std::vector<std::vector<float>>& samples)
    {
        const std::size_t dch = samples.size(), n = samples[0].size();
        switch (format) {
        case lav_sample_fmt_fltp:
            fltp = samples;
            for (auto& p : fltp)
                planes.push_back(reinterpret_cast<const std::uint8_t*>(p.data()));
            break;
        case lav_sample_fmt_flt:
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t k = 0; k < dch; ++k)
                    flt.push_back(samples[k][i]);
            planes.push_back(reinterpret_cast<const std::uint8_t*>(flt.data()));
            break;
        case lav_sample_fmt_s16p:
            for (const auto& p : samples)
                s16p.emplace_back(p.begin(), p.end());
            for (auto& p : s16p)
                planes.push_back(reinterpret_cast<const std::uint8_t*>(p.data()));
            break;
        case lav_sample_fmt_s32p:
            for (const auto& p : samples) {
                s32p.emplace_back();
                for (std::size_t i = 0; i < n; ++i)
                    s32p.back().push_back(wide(p[i], i));
            }
            for (auto& p : s32p)
                planes.push_back(reinterpret_cast<const std::uint8_t*>(p.data()));
            break;
        case lav_sample_fmt_s32:
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t k = 0; k < dch; ++k)
                    s32.push_back(wide(samples[k][i], i + k));
            planes.push_back(reinterpret_cast<const std::uint8_t*>(s32.data()));
            break;
        default:
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t k = 0; k < dch; ++k)
                    s16.push_back(static_cast<std::int16_t>(samples[k][i]));
            planes.push_back(reinterpret_cast<const std::uint8_t*>(s16.data()));
            break;
        }
    }
};

TEST(SampleConversion, EqualsThePerSampleReference)
{
    std::mt19937 rng(20261028);
    std::uniform_real_distribution<float> loud(-1.3f, 1.3f);
    std::uniform_int_distribution<int> pcm(-32768, 32767);
    const float specials[] = {0.0f,
                              -0.0f,
                              1.0f,
                              -1.0f,
                              0.5f / 32768,
                              -0.5f / 32768,
                              std::nextafter(0.5f / 32768, 0.0f),
                              32767.5f / 32768,
                              -32768.5f / 32768,
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::max(),
                              std::numeric_limits<float>::denorm_min()};
    const int formats[] = {lav_sample_fmt_fltp, lav_sample_fmt_flt, lav_sample_fmt_s16p,
                           lav_sample_fmt_s16,  lav_sample_fmt_s32p, lav_sample_fmt_s32};
    for (int format : formats) {
        const bool is_float = format == lav_sample_fmt_flt || format == lav_sample_fmt_fltp;
        for (std::uint32_t dch = 1; dch <= 8; ++dch) {
            for (std::uint32_t channels : {1u, 2u, 3u, 6u, 8u}) {
                // Frames: one, a partial vector, an AAC frame, and more than one stage.
                for (std::size_t frames : {1u, 7u, 1024u, 4099u}) {
                    std::vector<std::vector<float>> samples(dch, std::vector<float>(frames));
                    for (std::size_t k = 0; k < dch; ++k)
                        for (std::size_t i = 0; i < frames; ++i)
                            samples[k][i] = !is_float          ? static_cast<float>(pcm(rng))
                                            : (i + k) % 5 == 0 ? specials[(i * 7 + k) % std::size(specials)]
                                                               : loud(rng);
                    Frame frame(format, samples);
                    // A block with room for one frame more, and an odd tail.
                    const std::size_t block_size = (frames + 1) * channels * 2 + 1;
                    std::vector<std::uint8_t> block(block_size, 0xAA); // every byte must be written
                    convert_samples(frame.planes.data(), format, static_cast<std::int64_t>(frames), dch, channels,
                                    block);
                    const auto want = reference_block(format, samples, channels, block_size);
                    ASSERT_EQ(block, want) << "format " << format << ", decoder channels " << dch << ", channels "
                                           << channels << ", frames " << frames;
                }
            }
        }
    }
}

// A block shorter than the frame takes the frame's leading samples only.
TEST(SampleConversion, StopsAtTheEndOfTheBlock)
{
    std::vector<float> left(2048, 0.25f), right(2048, -0.25f);
    const std::uint8_t* planes[] = {reinterpret_cast<const std::uint8_t*>(left.data()),
                                    reinterpret_cast<const std::uint8_t*>(right.data())};
    std::vector<std::uint8_t> block(1024 * 4 + 2, 0xAA); // 1024 frames and half a frame
    convert_samples(planes, lav_sample_fmt_fltp, 2048, 2, 2, block);
    for (std::size_t i = 0; i < 1024; ++i) {
        std::int16_t l, r;
        std::memcpy(&l, &block[i * 4], 2);
        std::memcpy(&r, &block[i * 4 + 2], 2);
        ASSERT_EQ(l, 8192);
        ASSERT_EQ(r, -8192);
    }
    EXPECT_EQ(block[4096], 0);
    EXPECT_EQ(block[4097], 0);
}

// Every float whose conversion lies near a rounding or clipping boundary.
TEST(SampleConversion, AgreesWithTheReferenceAtEveryBoundary)
{
    std::vector<float> in;
    for (float edge : {0.5f, 1.5f, 100.5f, 32766.5f, 32767.0f, 32767.5f, 32768.0f, 32768.5f}) {
        for (float sign : {1.0f, -1.0f}) {
            float x = sign * edge / 32768;
            for (int i = 0; i < 64; ++i)
                x = std::nextafter(x, 0.0f);
            for (int i = 0; i < 128; ++i, x = std::nextafter(x, sign * 2.0f))
                in.push_back(x);
        }
    }
    const std::uint8_t* planes[] = {reinterpret_cast<const std::uint8_t*>(in.data())};
    std::vector<std::uint8_t> block(in.size() * 2);
    convert_samples(planes, lav_sample_fmt_fltp, static_cast<std::int64_t>(in.size()), 1, 1, block);
    for (std::size_t i = 0; i < in.size(); ++i) {
        std::int16_t got;
        std::memcpy(&got, &block[i * 2], 2);
        ASSERT_EQ(got, reference_s16(in[i])) << in[i];
        ASSERT_EQ(float_to_s16(in[i]), reference_s16(in[i])) << in[i];
    }
}

// 24-bit output keeps the top 24 bits of 32-bit samples (what lossless
// decoders deliver for deep streams) and widens 16-bit ones, big-endian,
// with zero for channels the frame lacks and past its end.
TEST(SampleConversion, TwentyFourBitsKeepEveryBitOfTheStream)
{
    std::mt19937 rng(24);
    std::uniform_int_distribution<std::int32_t> deep(-(1 << 23), (1 << 23) - 1);
    const float loud[] = {1.0f, -1.0f, 2.0f, -2.0f, 0.5f / 8388608, -1.5f / 8388608,
                          std::numeric_limits<float>::quiet_NaN(), 0.25f};
    const std::int32_t loud_want[] = {8388607, -8388608, 8388607, -8388608, 1, -2, 0, 2097152};
    for (int format : {lav_sample_fmt_s32, lav_sample_fmt_s32p, lav_sample_fmt_s16, lav_sample_fmt_s16p,
                       lav_sample_fmt_flt, lav_sample_fmt_fltp}) {
        for (std::uint32_t dch : {1u, 2u, 6u}) {
            for (std::uint32_t channels : {1u, 2u, 6u}) {
                const std::size_t frames = 8;
                std::vector<std::vector<std::int32_t>> want(dch, std::vector<std::int32_t>(frames));
                std::vector<std::vector<std::int32_t>> s32(dch);
                std::vector<std::vector<std::int16_t>> s16(dch);
                std::vector<std::vector<float>> flt(dch);
                for (std::size_t k = 0; k < dch; ++k) {
                    for (std::size_t i = 0; i < frames; ++i) {
                        const std::int32_t v = deep(rng);
                        // The low byte of a 32-bit sample is below the stream's bits.
                        s32[k].push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(v) << 8 | (i * 37 & 0xff)));
                        s16[k].push_back(static_cast<std::int16_t>(v >> 8));
                        flt[k].push_back(loud[(i + k) % std::size(loud)]);
                        want[k][i] = format == lav_sample_fmt_s32 || format == lav_sample_fmt_s32p ? v
                                     : format == lav_sample_fmt_s16 || format == lav_sample_fmt_s16p
                                         ? (v >> 8) * 256
                                         : loud_want[(i + k) % std::size(loud)];
                    }
                }
                // The decoder's memory layout: planes, or one interleaved plane.
                std::vector<std::int32_t> s32i;
                std::vector<std::int16_t> s16i;
                std::vector<float> flti;
                for (std::size_t i = 0; i < frames; ++i)
                    for (std::size_t k = 0; k < dch; ++k) {
                        s32i.push_back(s32[k][i]);
                        s16i.push_back(s16[k][i]);
                        flti.push_back(flt[k][i]);
                    }
                std::vector<const std::uint8_t*> planes;
                for (std::size_t k = 0; k < dch; ++k)
                    planes.push_back(format == lav_sample_fmt_s32p   ? reinterpret_cast<const std::uint8_t*>(s32[k].data())
                                     : format == lav_sample_fmt_s16p ? reinterpret_cast<const std::uint8_t*>(s16[k].data())
                                                                     : reinterpret_cast<const std::uint8_t*>(flt[k].data()));
                if (format == lav_sample_fmt_s32)
                    planes[0] = reinterpret_cast<const std::uint8_t*>(s32i.data());
                if (format == lav_sample_fmt_s16)
                    planes[0] = reinterpret_cast<const std::uint8_t*>(s16i.data());
                if (format == lav_sample_fmt_flt)
                    planes[0] = reinterpret_cast<const std::uint8_t*>(flti.data());

                std::vector<std::uint8_t> block((frames + 1) * channels * 3 + 2, 0xAA);
                convert_samples(planes.data(), format, frames, dch, channels, block, 24);
                std::vector<std::uint8_t> expect(block.size(), 0);
                for (std::size_t i = 0; i < frames; ++i)
                    for (std::size_t k = 0; k < std::min(channels, dch); ++k) {
                        const auto u = static_cast<std::uint32_t>(want[k][i]);
                        const std::size_t at = (i * channels + k) * 3;
                        expect[at] = static_cast<std::uint8_t>(u >> 16);
                        expect[at + 1] = static_cast<std::uint8_t>(u >> 8);
                        expect[at + 2] = static_cast<std::uint8_t>(u);
                    }
                ASSERT_EQ(block, expect) << "format " << format << ", decoder channels " << dch << ", channels "
                                         << channels;
            }
        }
    }
}

} // namespace
} // namespace kov
