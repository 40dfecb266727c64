#pragma once
// Process-wide decoder warm-up. The decoding source itself is internal to its
// implementation file; it is made through pcm_track.hpp.

namespace kov {

// Opens and frees one AAC decoder, so that the one-time set-up of libavcodec
// happens now rather than inside the first read. Does nothing without a decoder.
void warm_up_aac_decoder();

} // namespace kov
