#pragma once
// One compressed AAC frame in the source file. A plain record shared by the
// media analysis and the decoding source.

#include <cstdint>

namespace kov {

struct AccessUnit {
    std::uint64_t offset = 0; // absolute offset in the source file
    std::uint32_t size = 0;   // bytes
};

} // namespace kov
