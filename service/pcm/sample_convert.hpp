#pragma once
// Conversion of decoded frames into interleaved signed PCM: 16-bit
// little-endian, or 24-bit big-endian for lossless audio deeper than 16 bits.

#include <cstdint>
#include <span>

namespace kov {

// Writes one decoded frame as a block of interleaved samples of `bits` (24:
// big-endian 24-bit; otherwise little-endian 16-bit) with `channels`
// channels: planar or interleaved, 16-bit, 32-bit or float input with
// `decoder_channels` channels. Every byte of the block is written: channels and
// frames the input lacks are zero, and an unknown format gives a silent block.
void convert_samples(const std::uint8_t* const* planes, int format, std::int64_t nb_samples,
                     std::uint32_t decoder_channels, std::uint32_t channels, std::span<std::uint8_t> block,
                     std::uint32_t bits = 16);

// Converts one decoded sample to 16 bits, rounding half away from zero and
// saturating.
std::int16_t float_to_s16(float x);
// The same to 24 bits.
std::int32_t float_to_s24(float x);

} // namespace kov
