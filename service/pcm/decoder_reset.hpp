#pragma once
// Bringing a used AAC decoder back to the state of one just opened, without
// opening another: an open costs as much as decoding ten units, and a
// straight read needs a decoder for every segment.
//
// Flushing clears what a decoder carries from unit to unit (the overlap),
// and the pre-roll fed before each segment rewrites the rest (window shapes),
// but not the generator of the noise-substituted bands, which libavcodec
// seeds only when it opens a decoder. Its seed is a fixed value; a reset puts
// it back at the one place a fresh decoder's own state holds it. Whether that
// is enough is not assumed: it is shown once per process, on a few real
// noise-substituted units, that a reset decoder decodes exactly like a fresh
// one. A libavcodec whose flush alone already does that needs no reseed.
// Otherwise nothing is reset, and every segment has a fresh decoder as before;
// so too when the service is told not to (KOV_DECODER_RESET=0).

#include <cstddef>
#include <mutex>

#include "pcm/codec_library.hpp"

namespace kov {

class DecoderReset {
  public:
    // Units a reset decoder must be fed, and their output thrown away,
    // before it decodes as a fresh one.
    static constexpr std::size_t min_preroll = 2;

    // The knowledge for `lib` (which must outlive this), learned on first
    // use, once; never learned, and off, when not `enabled`.
    DecoderReset(const CodecLibrary& lib, bool enabled) : lib_(lib), enabled_(enabled) {}
    DecoderReset(const DecoderReset&) = delete;
    DecoderReset& operator=(const DecoderReset&) = delete;

    bool available() const { return learned().mode != Mode::off; }
    // Why used decoders are not reset, when they are not.
    const char* reason() const { return learned().reason; }
    // Flushes the decoder and, where that is not enough, reseeds its noise
    // generator. Only when available(), on a decoder of this binding.
    void apply(LavCodecContext* ctx) const;

  private:
    enum class Mode { off, flush, reseed };
    struct Learned {
        Mode mode = Mode::off;
        const char* reason = "";
        std::size_t seed_offset = 0; // in the decoder's private state
    };
    static Learned off(const char* why) { return {Mode::off, why, 0}; }
    static Learned learn(const CodecLibrary& lib);
    static void apply_learned(const CodecLibrary& lib, LavCodecContext* ctx, const Learned& learned);
    const Learned& learned() const;

    const CodecLibrary& lib_;
    const bool enabled_;
    mutable std::once_flag once_;
    mutable Learned learned_;
};

} // namespace kov
