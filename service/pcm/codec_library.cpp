#include "pcm/codec_library.hpp"

#include <cstdio>

namespace kov {

namespace {

constexpr const char* codec_sonames[] = {"libavcodec.so.62", "libavcodec.so.61", "libavcodec.so.60",
                                         "libavcodec.so.59", "libavcodec.so.58", "libavcodec.so"};
constexpr const char* util_sonames[] = {"libavutil.so.60", "libavutil.so.59", "libavutil.so.58",
                                        "libavutil.so.57", "libavutil.so.56", "libavutil.so"};

bool bind_entry_points(CodecLibrary& lib)
{
    const DlHandle& c = lib.codec_handle;
    // libavutil's symbols come from its handle, or from the global scope
    // where the libavutil pulled in by a globally opened libavcodec is visible.
    const DlHandle& u = lib.util_handle;
    return c.bind("avcodec_version", lib.avcodec_version) && c.bind("avcodec_find_decoder", lib.avcodec_find_decoder) &&
           c.bind("avcodec_alloc_context3", lib.avcodec_alloc_context3) &&
           c.bind("avcodec_free_context", lib.avcodec_free_context) && c.bind("avcodec_open2", lib.avcodec_open2) &&
           c.bind("avcodec_parameters_alloc", lib.avcodec_parameters_alloc) &&
           c.bind("avcodec_parameters_free", lib.avcodec_parameters_free) &&
           c.bind("avcodec_parameters_to_context", lib.avcodec_parameters_to_context) &&
           c.bind("av_packet_alloc", lib.av_packet_alloc) && c.bind("av_packet_free", lib.av_packet_free) &&
           c.bind("avcodec_send_packet", lib.avcodec_send_packet) &&
           c.bind("avcodec_receive_frame", lib.avcodec_receive_frame) &&
           c.bind("avcodec_flush_buffers", lib.avcodec_flush_buffers) && u.bind("av_frame_alloc", lib.av_frame_alloc) &&
           u.bind("av_frame_free", lib.av_frame_free) && u.bind("av_mallocz", lib.av_mallocz) &&
           u.bind("av_opt_get_int", lib.av_opt_get_int) && u.bind("av_opt_set", lib.av_opt_set);
}

} // namespace

std::span<const char* const> default_codec_sonames()
{
    return codec_sonames;
}
std::span<const char* const> default_util_sonames()
{
    return util_sonames;
}

CodecLibrary bind_codec_library(std::span<const char* const> codec_names, std::span<const char* const> util_names)
{
    CodecLibrary lib;
    for (const char* name : codec_names) {
        if (lib.codec_handle.open(name, RTLD_NOW | RTLD_GLOBAL)) {
            lib.loaded_name = name;
            break;
        }
    }
    if (!lib.bound())
        return lib;
    // No-load: only a libavutil already in the process, normally the one the
    // chosen libavcodec depends on, so the two always match.
    for (const char* name : util_names) {
        if (lib.util_handle.open(name, RTLD_NOW | RTLD_NOLOAD | RTLD_GLOBAL))
            break;
    }
    if (bind_entry_points(lib) && (lib.aac_decoder = lib.avcodec_find_decoder(lav_codec_id_aac)) != nullptr)
        return lib;
    // A partial or AAC-less library counts as no library; both handles close.
    return CodecLibrary{};
}

CodecLibrary bind_system_codec_library()
{
    return bind_codec_library(codec_sonames, util_sonames);
}

std::string describe_codec_library(const CodecLibrary& lib)
{
    if (!lib.bound())
        return {};
    const unsigned v = lib.avcodec_version();
    char text[96];
    std::snprintf(text, sizeof text, "%s (libavcodec %u.%u.%u)", lib.loaded_name.c_str(), v >> 16, (v >> 8) & 0xffu,
                  v & 0xffu);
    return text;
}

} // namespace kov
