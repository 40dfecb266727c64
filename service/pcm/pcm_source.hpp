#pragma once
// Producer of a rewritten file's PCM stream (signed 16-bit little-endian,
// interleaved). A layout owns exactly one; read() may be called from several
// threads at once, so implementations with state lock for themselves.

#include <cstdint>

namespace kov {

class PcmSource {
  public:
    virtual ~PcmSource() = default;
    // Writes bytes [offset, offset + length) of the stream to dest, reading
    // the source through `fd` (the reader's, borrowed for this call). Returns the
    // count written (short only at the end of the stream) or a negative errno
    // (-EIO) when source bytes under the range could not be read; nothing
    // decoded from a failed read is kept.
    virtual std::int64_t read(int fd, std::uint8_t* dest, std::uint64_t length, std::uint64_t offset) = 0;
    // A file that reads the stream was opened: set up now what its first
    // read needs (where the units lie, read through `fd`, borrowed), so that
    // the read only decodes.
    virtual void prepare(int) {}
    // No open file reads the source any more: give back decoders, decoded
    // blocks and unit tables; a later read sets them up again.
    virtual void release() {}
};

} // namespace kov
