#pragma once
// Which codecs a mount converts to PCM: their names as the command line and
// the probe report spell them, the set a mount converts unless told, and the
// codecs whose conversion exists at all.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pcm/decoder_config.hpp"

namespace kov {

class CodecSet {
  public:
    constexpr CodecSet() = default;
    constexpr bool has(Codec c) const { return (bits_ >> static_cast<unsigned>(c)) & 1u; }
    constexpr void add(Codec c) { bits_ |= 1u << static_cast<unsigned>(c); }
    constexpr bool operator==(const CodecSet&) const = default;

  private:
    std::uint32_t bits_ = 0;
};

// "aac", "eac3", ...; "unknown" for none.
const char* codec_name(Codec c);
std::optional<Codec> codec_named(std::string_view name);

// Whether this build converts the codec at all.
bool conversion_built(Codec c);

// Every codec the editor cannot read whose conversion is built: PCM, AC-3 and
// MP3 it reads as they are.
CodecSet default_conversions();

// A comma list of codec names. On a name that is not a codec, or one whose
// conversion is not built, returns nothing and says why in `error`.
std::optional<CodecSet> parse_codec_list(std::string_view list, std::string& error);

} // namespace kov
