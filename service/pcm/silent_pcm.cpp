#include "pcm/silent_pcm.hpp"

#include <cstring>

namespace kov {

std::uint64_t SilentPcm::read(std::uint8_t* dest, std::uint64_t length, std::uint64_t)
{
    if (length > 0)
        std::memset(dest, 0, length);
    return length;
}

} // namespace kov
