#include "pcm/decoding_service.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstdlib>
#include <string_view>
#include <utility>

#include "pcm/aac_decoder.hpp"
#include "pcm/aac_source.hpp"
#include "pcm/stream_probe.hpp"

namespace kov {

DecodingService::DecodingService(CodecLibrary lib, Settings settings)
    : lib_(std::move(lib)), reset_(lib_, settings.reset), decoded_(settings.decoded_budget),
      tables_(settings.table_budget), stock_(lib_, reset_), ahead_(ahead_limits)
{
}

std::shared_ptr<DecodingService> DecodingService::create(CodecLibrary lib, Settings settings)
{
    return std::shared_ptr<DecodingService>(new DecodingService(std::move(lib), settings));
}

DecodingService::Settings DecodingService::settings_from_environment()
{
    Settings settings;
    const char* const reset = std::getenv("KOV_DECODER_RESET");
    settings.reset = reset == nullptr || std::string_view(reset) != "0";
    return settings;
}

void DecodingService::probe_stream(int fd, PcmTrack& track)
{
    kov::probe_stream(*this, fd, track);
}

std::unique_ptr<PcmSource> DecodingService::make_source(PcmTrack track)
{
    return make_aac_source(*this, std::move(track));
}

void DecodingService::warm_up()
{
#if defined(__GLIBC__)
    // Decoders are opened on the workers and the filesystem's threads and
    // freed on others. With an arena per thread each kept the high-water mark
    // of its own decoders: a damaged recording read once left three arenas of
    // 20 to 30 MiB. Two arenas are enough for two decoding cores.
    ::mallopt(M_ARENA_MAX, 2);
#endif
    if (!lib_.bound())
        return;
    // libavcodec builds its AAC tables on the first decoder open of a process
    // (a few milliseconds); doing it here keeps that out of the first read.
    open_aac_decoder(lib_, {});
    // So do the workers' threads (0.7 ms for the read that first decodes
    // ahead); the stock's thread, started with the service, learns meanwhile
    // whether used decoders can be reset.
    ahead_.start(ahead_limits.threads);
}

} // namespace kov
