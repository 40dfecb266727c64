#include "pcm/silent_pcm.hpp"

#include <cstring>

namespace kov {

std::int64_t SilentPcm::read(int, std::uint8_t* dest, std::uint64_t length, std::uint64_t)
{
    if (length > 0)
        std::memset(dest, 0, length);
    return static_cast<std::int64_t>(length);
}

} // namespace kov
