#include "cli/status_command.hpp"

#include <cstdio>
#include <string>

#include "common/version.hpp"
#include "pcm/codec_library.hpp"

namespace kov {

int run_status()
{
    const std::string description = decoder_description();
    // The description starts with the soname the library was opened under.
    std::string decoder = description.substr(0, description.find(' '));
    if (decoder.empty())
        decoder = "none";
    std::printf("decoder=%s version=%s\n", decoder.c_str(), version_string);
    std::fflush(stdout);
    return 0;
}

} // namespace kov
