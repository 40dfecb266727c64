#include "pcm/codec_set.hpp"

#include <array>
#include <utility>

#include "pcm/codec_decoding.hpp"

namespace kov {

namespace {

constexpr std::array<std::pair<Codec, const char*>, 10> names{{
    {Codec::none, "unknown"},
    {Codec::aac, "aac"},
    {Codec::eac3, "eac3"},
    {Codec::ac3, "ac3"},
    {Codec::opus, "opus"},
    {Codec::flac, "flac"},
    {Codec::alac, "alac"},
    {Codec::vorbis, "vorbis"},
    {Codec::mp3, "mp3"},
    {Codec::pcm, "pcm"},
}};

} // namespace

const char* codec_name(Codec c)
{
    for (const auto& [codec, name] : names)
        if (codec == c)
            return name;
    return "unknown";
}

std::optional<Codec> codec_named(std::string_view name)
{
    for (const auto& [codec, n] : names)
        if (codec != Codec::none && name == n)
            return codec;
    return std::nullopt;
}

bool conversion_built(Codec c)
{
    return codec_decoding(c) != nullptr;
}

CodecSet default_conversions()
{
    CodecSet set;
    for (const Codec c : {Codec::aac, Codec::eac3, Codec::opus, Codec::flac, Codec::alac, Codec::vorbis})
        if (conversion_built(c))
            set.add(c);
    return set;
}

std::optional<CodecSet> parse_codec_list(std::string_view list, std::string& error)
{
    CodecSet set;
    while (true) {
        const std::size_t comma = list.find(',');
        const std::string_view name = list.substr(0, comma);
        const auto codec = codec_named(name);
        if (!codec) {
            error = "unknown codec \"" + std::string(name) + "\"";
            return std::nullopt;
        }
        if (!conversion_built(*codec)) {
            error = "converting " + std::string(name) + " is not supported";
            return std::nullopt;
        }
        set.add(*codec);
        if (comma == std::string_view::npos)
            return set;
        list.remove_prefix(comma + 1);
    }
}

} // namespace kov
