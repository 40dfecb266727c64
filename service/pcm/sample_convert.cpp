// Conversion of decoded frames into blocks of interleaved PCM. The 16-bit path is
// the one per-sample loop of the decoding path, so it is written for the
// vectoriser: branch-free conversion, contiguous loops, and output staged in a
// small buffer of whole samples. The build compiles this file with the
// vectoriser's full cost model and without floating-point trap semantics (no
// value changes: only the assumption that comparisons never trap).

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pcm/sample_convert.hpp"

#include "pcm/codec_library.hpp"

namespace kov {

namespace {

// Samples staged before they are stored into the block (8 KiB).
constexpr std::size_t stage_samples = 4096;

// Exactly float_to_s16, written as selects so that loops over it vectorise:
// the same single-precision operations in the same order.
inline std::int16_t to_s16(float x)
{
    float v = x * 32768.0f;
    v = v > 32767.0f ? 32767.0f : v;
    v = v < -32768.0f ? -32768.0f : v;
    v = v == v ? v : 0.0f; // NaN
    const float r = v < 0.0f ? v - 0.5f : v + 0.5f;
    return static_cast<std::int16_t>(static_cast<std::int32_t>(r));
}

#if defined(__SSE2__)
// Four samples at once with the instructions the selects above stand for,
// which compilers do not pick by themselves: NaN to 0, then minimum and
// maximum (exact once NaN is gone), then ±0.5 by the sign bit and truncation.
// Eight results are packed with signed saturation, exact for values already
// in range.
inline __m128i to_s16x8(const float* in)
{
    const __m128 scale = _mm_set1_ps(32768.0f);
    const __m128 top = _mm_set1_ps(32767.0f);
    const __m128 bottom = _mm_set1_ps(-32768.0f);
    const __m128 half = _mm_set1_ps(0.5f);
    const __m128 sign = _mm_set1_ps(-0.0f);
    __m128i lanes[2];
    for (int j = 0; j < 2; ++j) {
        __m128 v = _mm_mul_ps(_mm_loadu_ps(in + 4 * j), scale);
        v = _mm_and_ps(v, _mm_cmpord_ps(v, v));
        v = _mm_max_ps(_mm_min_ps(v, top), bottom);
        v = _mm_add_ps(v, _mm_or_ps(half, _mm_and_ps(v, sign)));
        lanes[j] = _mm_cvttps_epi32(v);
    }
    return _mm_packs_epi32(lanes[0], lanes[1]);
}
#endif

void floats_to_s16(const float* __restrict in, std::int16_t* __restrict out, std::size_t n)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 8 <= n; i += 8)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), to_s16x8(in + i));
#endif
    for (; i < n; ++i)
        out[i] = to_s16(in[i]);
}

void interleave_two(const float* __restrict left, const float* __restrict right, std::int16_t* __restrict out,
                    std::size_t n)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 8 <= n; i += 8) {
        const __m128i l = to_s16x8(left + i);
        const __m128i r = to_s16x8(right + i);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_unpacklo_epi16(l, r));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 8), _mm_unpackhi_epi16(l, r));
    }
#endif
    for (; i < n; ++i) {
        out[2 * i] = to_s16(left[i]);
        out[2 * i + 1] = to_s16(right[i]);
    }
}

// 32-bit integers (the fixed-point decoders' output) keep their top 16 bits,
// as libswresample converts them.
inline std::int16_t s32_to_s16(std::int32_t x)
{
    return static_cast<std::int16_t>(x >> 16);
}

// Places one converted channel at every `stride`-th sample of `out`.
void scatter(const std::int16_t* __restrict in, std::int16_t* __restrict out, std::size_t n, std::size_t stride)
{
    for (std::size_t i = 0; i < n; ++i)
        out[i * stride] = in[i];
}

// The block is little-endian whatever the host.
void store_le(std::uint8_t* out, std::int16_t* samples, std::size_t n)
{
    if constexpr (std::endian::native == std::endian::big) {
        for (std::size_t i = 0; i < n; ++i) {
            const auto u = static_cast<std::uint16_t>(samples[i]);
            samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>((u >> 8) | (u << 8)));
        }
    }
    std::memcpy(out, samples, n * sizeof(std::int16_t));
}

struct Shape {
    std::size_t first;  // first frame of the chunk
    std::size_t frames; // frames in the chunk
    std::size_t dch;    // decoder channels
    std::size_t ch;     // stream channels
    std::size_t copied; // min(ch, dch)
};

void stage_s16(const std::uint8_t* const* planes, const Shape& s, std::int16_t* out)
{
    const auto* in = reinterpret_cast<const std::int16_t*>(planes[0]) + s.first * s.dch;
    if (s.dch == s.ch) {
        std::memcpy(out, in, s.frames * s.ch * sizeof(std::int16_t));
        return;
    }
    for (std::size_t i = 0; i < s.frames; ++i)
        for (std::size_t k = 0; k < s.copied; ++k)
            out[i * s.ch + k] = in[i * s.dch + k];
}

void stage_s32(const std::uint8_t* const* planes, bool planar, const Shape& s, std::int16_t* out)
{
    if (!planar) {
        const auto* in = reinterpret_cast<const std::int32_t*>(planes[0]) + s.first * s.dch;
        for (std::size_t i = 0; i < s.frames; ++i)
            for (std::size_t k = 0; k < s.copied; ++k)
                out[i * s.ch + k] = s32_to_s16(in[i * s.dch + k]);
        return;
    }
    for (std::size_t k = 0; k < s.copied; ++k) {
        const auto* in = reinterpret_cast<const std::int32_t*>(planes[k]) + s.first;
        for (std::size_t i = 0; i < s.frames; ++i)
            out[i * s.ch + k] = s32_to_s16(in[i]);
    }
}

void stage_flt(const std::uint8_t* const* planes, const Shape& s, std::int16_t* out)
{
    const auto* in = reinterpret_cast<const float*>(planes[0]) + s.first * s.dch;
    if (s.dch == s.ch) {
        floats_to_s16(in, out, s.frames * s.ch);
        return;
    }
    for (std::size_t i = 0; i < s.frames; ++i)
        for (std::size_t k = 0; k < s.copied; ++k)
            out[i * s.ch + k] = to_s16(in[i * s.dch + k]);
}

void stage_fltp(const std::uint8_t* const* planes, const Shape& s, std::int16_t* out, std::int16_t* scratch)
{
    const auto plane = [&](std::size_t k) { return reinterpret_cast<const float*>(planes[k]) + s.first; };
    if (s.ch == 1) {
        floats_to_s16(plane(0), out, s.frames);
    } else if (s.ch == 2 && s.copied == 2) {
        interleave_two(plane(0), plane(1), out, s.frames);
    } else {
        for (std::size_t k = 0; k < s.copied; ++k) {
            floats_to_s16(plane(k), scratch, s.frames);
            scatter(scratch, out + k, s.frames, s.ch);
        }
    }
}

// Fills `out` (s.frames * s.ch samples) from one chunk of the frame.
void stage_chunk(const std::uint8_t* const* planes, int format, const Shape& s, std::int16_t* out,
                 std::int16_t* scratch)
{
    if (s.copied < s.ch)
        std::fill(out, out + s.frames * s.ch, std::int16_t{0});
    switch (format) {
    case lav_sample_fmt_s16:
        stage_s16(planes, s, out);
        break;
    case lav_sample_fmt_s16p:
        for (std::size_t k = 0; k < s.copied; ++k)
            scatter(reinterpret_cast<const std::int16_t*>(planes[k]) + s.first, out + k, s.frames, s.ch);
        break;
    case lav_sample_fmt_s32:
    case lav_sample_fmt_s32p:
        stage_s32(planes, format == lav_sample_fmt_s32p, s, out);
        break;
    case lav_sample_fmt_flt:
        stage_flt(planes, s, out);
        break;
    case lav_sample_fmt_fltp:
        stage_fltp(planes, s, out, scratch);
        break;
    default:
        break;
    }
}

bool known_format(int format)
{
    return format == lav_sample_fmt_s16 || format == lav_sample_fmt_s16p || format == lav_sample_fmt_s32 ||
           format == lav_sample_fmt_s32p || format == lav_sample_fmt_flt || format == lav_sample_fmt_fltp;
}

// 24-bit samples from each decoded format. Lossless decoders deliver deep
// streams as 32-bit samples with the stream's bits at the top, so keeping the
// top 24 keeps every bit of a 24-bit (or 20-bit) stream.
template <int Format>
std::int32_t sample_s24(const std::uint8_t* const* planes, std::size_t dch, std::size_t i, std::size_t k)
{
    if constexpr (Format == lav_sample_fmt_s16)
        return std::int32_t{reinterpret_cast<const std::int16_t*>(planes[0])[i * dch + k]} * 256;
    else if constexpr (Format == lav_sample_fmt_s16p)
        return std::int32_t{reinterpret_cast<const std::int16_t*>(planes[k])[i]} * 256;
    else if constexpr (Format == lav_sample_fmt_s32)
        return reinterpret_cast<const std::int32_t*>(planes[0])[i * dch + k] >> 8;
    else if constexpr (Format == lav_sample_fmt_s32p)
        return reinterpret_cast<const std::int32_t*>(planes[k])[i] >> 8;
    else if constexpr (Format == lav_sample_fmt_flt)
        return float_to_s24(reinterpret_cast<const float*>(planes[0])[i * dch + k]);
    else
        return float_to_s24(reinterpret_cast<const float*>(planes[k])[i]);
}

// Interleaved big-endian 24-bit samples, as QuickTime's 24-bit integer PCM
// stores them without an endianness box.
template <int Format>
void convert_s24be(const std::uint8_t* const* planes, std::size_t frames, std::size_t dch, std::size_t ch,
                   std::uint8_t* out)
{
    const std::size_t copied = std::min(ch, dch);
    for (std::size_t i = 0; i < frames; ++i) {
        for (std::size_t k = 0; k < ch; ++k, out += 3) {
            const std::int32_t v = k < copied ? sample_s24<Format>(planes, dch, i, k) : 0;
            const auto u = static_cast<std::uint32_t>(v);
            out[0] = static_cast<std::uint8_t>(u >> 16);
            out[1] = static_cast<std::uint8_t>(u >> 8);
            out[2] = static_cast<std::uint8_t>(u);
        }
    }
}

void convert_to_s24be(const std::uint8_t* const* planes, int format, std::size_t frames, std::size_t dch,
                      std::size_t ch, std::uint8_t* out)
{
    switch (format) {
    case lav_sample_fmt_s16:
        return convert_s24be<lav_sample_fmt_s16>(planes, frames, dch, ch, out);
    case lav_sample_fmt_s16p:
        return convert_s24be<lav_sample_fmt_s16p>(planes, frames, dch, ch, out);
    case lav_sample_fmt_s32:
        return convert_s24be<lav_sample_fmt_s32>(planes, frames, dch, ch, out);
    case lav_sample_fmt_s32p:
        return convert_s24be<lav_sample_fmt_s32p>(planes, frames, dch, ch, out);
    case lav_sample_fmt_flt:
        return convert_s24be<lav_sample_fmt_flt>(planes, frames, dch, ch, out);
    default:
        return convert_s24be<lav_sample_fmt_fltp>(planes, frames, dch, ch, out);
    }
}

// Interleaved little-endian 16-bit samples, staged a chunk at a time.
void convert_to_s16le(const std::uint8_t* const* planes, int format, std::size_t frames, std::uint32_t dch,
                      std::uint32_t channels, std::uint8_t* out)
{
    Shape s{0, 0, dch, channels, std::min(channels, dch)};
    // A frame of more channels than the stage holds is converted one
    // frame at a time, through a stage of its own.
    const std::size_t chunk = std::max<std::size_t>(1, stage_samples / s.ch);
    std::vector<std::int16_t> wide;
    std::int16_t stage[stage_samples];
    std::int16_t scratch[stage_samples];
    std::int16_t* staged = stage;
    if (s.ch > stage_samples) {
        wide.resize(s.ch);
        staged = wide.data();
    }
    for (s.first = 0; s.first < frames; s.first += chunk) {
        s.frames = std::min(chunk, frames - s.first);
        stage_chunk(planes, format, s, staged, scratch);
        store_le(out, staged, s.frames * s.ch);
        out += s.frames * s.ch * 2;
    }
}

} // namespace

std::int16_t float_to_s16(float x)
{
    return to_s16(x);
}

std::int32_t float_to_s24(float x)
{
    double v = static_cast<double>(x) * 8388608.0;
    v = v > 8388607.0 ? 8388607.0 : v;
    v = v < -8388608.0 ? -8388608.0 : v;
    v = v == v ? v : 0.0; // NaN
    return static_cast<std::int32_t>(v < 0.0 ? v - 0.5 : v + 0.5);
}

void convert_samples(const std::uint8_t* const* planes, int format, std::int64_t nb_samples,
                     std::uint32_t decoder_channels, std::uint32_t channels, std::span<std::uint8_t> block,
                     std::uint32_t bits)
{
    const std::size_t width = bits == 24 ? 3 : 2;
    std::size_t done = 0; // bytes of the block written
    if (nb_samples > 0 && decoder_channels > 0 && channels > 0 && known_format(format)) {
        const std::size_t frames = static_cast<std::size_t>(std::min<std::uint64_t>(
            static_cast<std::uint64_t>(nb_samples), block.size() / (std::uint64_t{channels} * width)));
        if (width == 3)
            convert_to_s24be(planes, format, frames, decoder_channels, channels, block.data());
        else
            convert_to_s16le(planes, format, frames, decoder_channels, channels, block.data());
        done = frames * channels * width;
    }
    if (done < block.size())
        std::memset(block.data() + done, 0, block.size() - done);
}

} // namespace kov
