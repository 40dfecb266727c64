#include "cli/status_command.hpp"

#include <cstdio>
#include <string>

#include "common/version.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/decoding_service.hpp"

namespace kov {

int run_status()
{
    const auto decoding =
        DecodingService::create(bind_system_codec_library(), DecodingService::settings_from_environment());
    const std::string description = decoding->description();
    // The description starts with the soname the library was opened under.
    std::string decoder = description.substr(0, description.find(' '));
    if (decoder.empty())
        decoder = "none";
    // Whether used decoders are reset instead of opened anew: the bytes are
    // the same either way, only the cost differs.
    const bool reset = decoder != "none" && decoding->reset().available();
    std::printf("decoder=%s version=%s reset=%s\n", decoder.c_str(), version_string, reset ? "on" : "off");
    std::fflush(stdout);
    return 0;
}

} // namespace kov
