#include "pcm/pcm_track.hpp"

#include <limits>

namespace kov {

std::uint64_t time_to_frame(std::uint64_t time, std::uint32_t timescale, std::uint32_t rate)
{
    if (timescale == 0)
        return time;
    using u128 = unsigned __int128;
    const u128 frames = (static_cast<u128>(time) * rate + timescale / 2) / timescale;
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    return frames > most ? most : static_cast<std::uint64_t>(frames);
}

} // namespace kov
