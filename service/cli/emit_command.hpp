#pragma once
// `--emit IN OUT`: writes the rewritten form of one media file to disk through
// the same layout and byte production the mount uses. Runs on the main thread.

#include "pcm/codec_set.hpp"

namespace kov {

// Returns the exit status: 0 written, 1 no AAC audio, 2 any failure.
int run_emit(const char* in, const char* out, CodecSet convert);

} // namespace kov
