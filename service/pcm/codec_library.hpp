#pragma once
// The process-wide run-time binding of the system's libavcodec/libavutil.
// Bound once, on first use, thread-safely; absent when no usable library exists.
// (The complete table of entry points is declared by the implementation.)

#include <string>

namespace kov {

struct CodecLibrary;

// The process-wide binding; the first call performs it. Never fails.
const CodecLibrary& codec_library();
// True when libavcodec was bound.
bool codec_library_bound();
// "<soname> (libavcodec X.Y.Z)" when bound, else empty.
std::string decoder_description();

} // namespace kov
