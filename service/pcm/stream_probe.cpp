#include "pcm/stream_probe.hpp"

#include <algorithm>
#include <vector>

#include "common/full_io.hpp"
#include "pcm/aac_decoder.hpp"
#include "pcm/codec_decoding.hpp"
#include "pcm/decoding_service.hpp"

namespace kov {

namespace {

constexpr std::size_t probe_units = 4;
constexpr std::uint32_t max_probe_unit_bytes = 1u << 20;
constexpr std::uint64_t max_frames_per_unit = 8192;

} // namespace

void probe_stream(DecodingService& service, int fd, PcmTrack& track)
{
    const CodecLibrary& lib = service.library();
    if (!lib.bound() || !track.units)
        return;
    std::vector<PcmUnit> units;
    track.units(fd, probe_units, [&units](const PcmUnit& u) { units.push_back(u); });
    if (units.empty())
        return;
    DecoderContext ctx =
        track.config.codec == Codec::aac ? service.stock().take(track.config.extradata) : DecoderContext{};
    if (!ctx)
        ctx = open_decoder(lib, track.config.codec, track.config.extradata);
    if (!ctx)
        return;
    UnitFeeder feeder(lib);
    if (!feeder.ready())
        return;

    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::uint64_t most_samples = 0;
    bool decoded = false;
    std::vector<std::uint8_t> buffer;
    const std::size_t count = std::min(probe_units, units.size());
    for (std::size_t i = 0; i < count; ++i) {
        const PcmUnit& u = units[i];
        if (u.size == 0)
            continue;
        if (u.size > max_probe_unit_bytes)
            break;
        buffer.assign(std::size_t{u.size} + input_padding, 0);
        if (pread_full(fd, buffer.data(), u.size, u.offset) != static_cast<std::int64_t>(u.size))
            break;
        const auto fed = feeder.feed(ctx.get(), buffer.data(), u.size, [&](const LavFrame* frame) {
            read_decoder_format(lib, ctx.get(), rate, channels);
            decoded = true;
            const auto n = get_field<std::int32_t>(frame, lav_frame_nb_samples);
            if (n > 0)
                most_samples = std::max<std::uint64_t>(most_samples, static_cast<std::uint64_t>(n));
        });
        if (fed.sent < 0)
            break;
    }
    ctx.reset();
    service.stock().top_up(); // make up for the one taken above
    if (!decoded)
        return;
    if (rate != 0)
        track.rate = rate;
    if (channels != 0)
        track.channels = channels;
    // Where units vary, the first few tell nothing of the longest: the
    // configuration's count stands.
    const bool configured = track.frames_per_unit != 0 && units_vary(track.config.codec);
    if (most_samples != 0 && most_samples <= max_frames_per_unit && !configured)
        track.frames_per_unit = static_cast<std::uint32_t>(most_samples);
}

} // namespace kov
