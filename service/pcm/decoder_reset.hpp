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
// one (and a merely flushed one does not). Otherwise nothing is reset, and
// every segment has a fresh decoder as before.

#include <cstddef>

#include "pcm/codec_library.hpp"

namespace kov {

class DecoderReset {
  public:
    // Units a reset decoder must be fed, and their output thrown away,
    // before it decodes as a fresh one.
    static constexpr std::size_t min_preroll = 2;

    // Learned for the process binding, once, on first use.
    static const DecoderReset& instance();
    // Learns for one binding (the process's or a test's).
    static DecoderReset learn(const CodecLibrary& lib);

    bool available() const { return available_; }
    // Flushes the decoder and reseeds its noise generator. Only when
    // available(), on a decoder of the binding this was learned for.
    void apply(const CodecLibrary& lib, LavCodecContext* ctx) const;

  private:
    bool available_ = false;
    std::size_t seed_offset_ = 0; // in the decoder's private state
};

} // namespace kov
