#pragma once
// Producer of a rewritten file's PCM stream (signed 16-bit little-endian,
// interleaved). A layout owns exactly one; read() may be called from several
// threads at once, so implementations with state lock for themselves.

#include <cstdint>

namespace kov {

class PcmSource {
public:
    virtual ~PcmSource() = default;
    // Writes up to `length` bytes of the stream from byte `offset` to `dest`
    // and returns how many it wrote. A short result is silence, never an error.
    virtual std::uint64_t read(std::uint8_t* dest, std::uint64_t length, std::uint64_t offset) = 0;
};

} // namespace kov
