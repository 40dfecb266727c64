#include "cli/status_command.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "cli/codec_presence.hpp"
#include "cli/mount_settings.hpp"
#include "common/version.hpp"
#include "pcm/codec_decoding.hpp"
#include "pcm/codec_library.hpp"
#include "pcm/codec_set.hpp"
#include "pcm/decoding_service.hpp"
#include "shares/share_table.hpp"

namespace kov {

namespace {

// Codec names joined by commas, in the order of the codecs; "none" for none.
std::string codec_list(CodecSet set)
{
    std::string list;
    for (unsigned i = 0; i < 32; ++i) {
        const auto codec = static_cast<Codec>(i);
        if (!set.has(codec))
            continue;
        list += list.empty() ? "" : ",";
        list += codec_name(codec);
    }
    return list.empty() ? "none" : list;
}

// The converted codecs the library has no decoder for: all of them unbound.
CodecSet undecodable(const CodecLibrary& lib)
{
    CodecSet missing;
    const CodecSet converted = default_conversions();
    for (unsigned i = 0; i < 32; ++i) {
        const auto codec = static_cast<Codec>(i);
        if (!converted.has(codec))
            continue;
        const CodecDecoding* decoding = codec_decoding(codec);
        if (!lib.bound() || !decoding || !lib.avcodec_find_decoder(decoding->lav_codec_id))
            missing.add(codec);
    }
    return missing;
}

// The enabled shares of the list, as a mount would install them. A list that
// is no regular file reads as empty: a FIFO would block the read.
std::vector<ActiveShare> listed_shares(const std::string& path)
{
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    ShareTable table;
    table.set_list_path(path);
    table.reload_shares();
    return table.snapshot();
}

} // namespace

StatusOptions parse_status_options(int argc, char** argv, int first)
{
    StatusOptions options;
    bool config_given = false;
    for (int i = first; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--scan") {
            options.scan = true;
        } else if (arg == "--config" && i + 1 < argc) {
            options.config_path = argv[++i];
            config_given = true;
        }
    }
    if (!config_given)
        options.config_path = default_config_path();
    return options;
}

int run_status(const StatusOptions& options)
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
    const CodecSet missing = undecodable(decoding->library());
    std::printf("decoder=%s version=%s reset=%s undecodable=%s", decoder.c_str(), version_string, reset ? "on" : "off",
                codec_list(missing).c_str());
    if (options.scan) {
        const CodecPresence presence = find_codecs(listed_shares(options.config_path), missing);
        std::printf(" present=%s scanned=%zu complete=%s", codec_list(presence.found).c_str(), presence.files,
                    presence.complete ? "yes" : "no");
    }
    std::printf("\n");
    std::fflush(stdout);
    return 0;
}

} // namespace kov
