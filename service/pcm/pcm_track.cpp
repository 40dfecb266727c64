#include "pcm/pcm_track.hpp"

#include <limits>

#include "pcm/aac_source.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/stream_probe.hpp"

namespace kov {

std::uint64_t time_to_frame(std::uint64_t time, std::uint32_t timescale, std::uint32_t rate)
{
    // The usual case, a track timed in its own sample rate, needs no
    // 128-bit division for each of its units.
    if (timescale == 0 || timescale == rate)
        return time;
    using u128 = unsigned __int128;
    const u128 frames = (static_cast<u128>(time) * rate + timescale / 2) / timescale;
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    return frames > most ? most : static_cast<std::uint64_t>(frames);
}

void probe_stream(int fd, PcmTrack& track)
{
    probe_stream(codec_library(), fd, track);
}

std::unique_ptr<PcmSource> make_pcm_source(int fd, PcmTrack track)
{
    return make_aac_source(codec_library(), fd, std::move(track));
}

} // namespace kov
