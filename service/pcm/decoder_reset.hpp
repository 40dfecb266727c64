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
// so too when the environment says KOV_DECODER_RESET=0.

#include <cstddef>

#include "pcm/codec_library.hpp"

namespace kov {

class DecoderReset {
  public:
    // Units a reset decoder must be fed, and their output thrown away,
    // before it decodes as a fresh one.
    static constexpr std::size_t min_preroll = 2;

    // Learned for the process binding, once, on first use, unless switched
    // off by the environment.
    static const DecoderReset& instance();
    // Learns for one binding (the process's or a test's).
    static DecoderReset learn(const CodecLibrary& lib);

    bool available() const { return mode_ != Mode::off; }
    // Why used decoders are not reset, when they are not.
    const char* reason() const { return reason_; }
    // Flushes the decoder and, where that is not enough, reseeds its noise
    // generator. Only when available(), on a decoder of the binding this was
    // learned for.
    void apply(const CodecLibrary& lib, LavCodecContext* ctx) const;

  private:
    enum class Mode { off, flush, reseed };
    static DecoderReset off(const char* why);

    Mode mode_ = Mode::off;
    const char* reason_ = "";
    std::size_t seed_offset_ = 0; // in the decoder's private state
};

} // namespace kov
