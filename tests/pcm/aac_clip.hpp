#pragma once
// Real AAC clips for the decoding tests: made with the ffmpeg tool, described
// by ffprobe (access units, AudioSpecificConfig, priming) and decoded by the
// ffmpeg tool as the independent reference.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "media/access_unit.hpp"
#include "pcm/pcm_track.hpp"
#include "support/test_env.hpp"

namespace kov::test {

struct AacClip {
    std::string path;
    std::vector<AccessUnit> units;
    std::vector<std::uint8_t> asc;
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::uint64_t priming = 0;           // frames ffmpeg drops at the start (encoder delay)
    std::vector<std::int16_t> reference; // what ffmpeg decodes, priming dropped
};

// A track's output format, as the tests state it.
struct PcmGeometry {
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::uint32_t frames_per_unit = 0;
};

// The track of these units played back to back.
inline PcmTrack track_of(const std::vector<AccessUnit>& units, const std::vector<std::uint8_t>& asc,
                         const PcmGeometry& g, std::uint64_t total_frames)
{
    PcmTrack t;
    t.config.codec = Codec::aac;
    t.config.extradata = asc;
    t.rate = g.rate;
    t.channels = g.channels;
    t.frames_per_unit = g.frames_per_unit;
    t.timescale = g.rate;
    t.total_frames = total_frames;
    const std::uint64_t step = g.frames_per_unit;
    std::vector<PcmUnit> out;
    for (std::size_t i = 0; i < units.size(); ++i)
        out.push_back({units[i].offset, units[i].size, i * step});
    t.units = unit_list_of(std::move(out));
    return t;
}

inline std::string field_of(const std::string& line, const std::string& key)
{
    std::istringstream in(line);
    std::string token;
    while (std::getline(in, token, '|'))
        if (token.rfind(key + "=", 0) == 0)
            return token.substr(key.size() + 1);
    return {};
}

inline std::uint64_t number_of(const std::string& text)
{
    return std::strtoull(text.c_str(), nullptr, 10);
}

// Hex dump lines as ffprobe -show_data prints them: "00000000: 1190 56e5 00   ..V..".
inline std::vector<std::uint8_t> parse_hexdump(const std::string& dump)
{
    std::vector<std::uint8_t> bytes;
    std::istringstream in(dump);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 10 || line[8] != ':')
            break;
        const std::string hex = line.substr(10, 40);
        std::string digits;
        for (char c : hex)
            if (c != ' ')
                digits += c;
        for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
            bytes.push_back(static_cast<std::uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return bytes;
}

// The AudioSpecificConfig of a file's first audio stream, as ffprobe reads it.
inline std::vector<std::uint8_t> stream_asc(const std::string& path)
{
    const auto stream =
        run_command({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_streams", "-show_data", path});
    const auto at = stream.out.find("extradata=\n");
    return stream.status != 0 || at == std::string::npos ? std::vector<std::uint8_t>{}
                                                          : parse_hexdump(stream.out.substr(at + 11));
}

// Puts `asc` in place of the stream's AudioSpecificConfig, zero-padded to its
// length. HE-AAC without an HE-AAC encoder: an AAC-LC stream told it carries
// SBR (and parametric stereo) runs the decoder's SBR and PS stages.
inline bool replace_asc(const std::string& path, std::vector<std::uint8_t> asc)
{
    const auto old = stream_asc(path);
    auto bytes = read_file(path);
    const auto at = std::search(bytes.begin(), bytes.end(), old.begin(), old.end());
    if (old.empty() || asc.size() > old.size() || at == bytes.end())
        return false;
    asc.resize(old.size(), 0);
    std::copy(asc.begin(), asc.end(), at);
    return write_file(path, bytes);
}

// Encodes `source_args` (lavfi input options) to AAC in `name` with the extra
// encoder options (then gives it the configuration `asc`, when not empty), and
// describes it. Nothing when a tool fails.
inline std::optional<AacClip> make_aac_clip(const TempDir& dir, const std::string& name,
                                            const std::vector<std::string>& args,
                                            const std::vector<std::uint8_t>& asc = {})
{
    AacClip clip;
    clip.path = dir.file(name);
    if (!ffmpeg_make(args, clip.path) || (!asc.empty() && !replace_asc(clip.path, asc)))
        return std::nullopt;

    const auto packets = run_command({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                      "packet=pos,size:packet_side_data=skip_samples", "-of", "compact", clip.path});
    if (packets.status != 0)
        return std::nullopt;
    std::istringstream lines(packets.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("packet|", 0) != 0)
            continue;
        const std::string skip = field_of(line, "skip_samples");
        if (clip.units.empty() && !skip.empty())
            clip.priming = number_of(skip);
        clip.units.push_back(
            {number_of(field_of(line, "pos")), static_cast<std::uint32_t>(number_of(field_of(line, "size")))});
    }

    clip.asc = stream_asc(clip.path);
    const auto stream = run_command({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_streams", clip.path});
    if (stream.status != 0 || clip.asc.empty())
        return std::nullopt;
    std::istringstream props(stream.out);
    while (std::getline(props, line)) {
        if (line.rfind("sample_rate=", 0) == 0)
            clip.rate = static_cast<std::uint32_t>(number_of(line.substr(12)));
        else if (line.rfind("channels=", 0) == 0)
            clip.channels = static_cast<std::uint32_t>(number_of(line.substr(9)));
    }

    const auto pcm = run_command({"ffmpeg", "-nostdin", "-v", "error", "-i", clip.path, "-map", "0:a:0", "-f", "s16le",
                                  "-c:a", "pcm_s16le", "-"});
    if (pcm.status != 0 || clip.units.empty() || clip.channels == 0)
        return std::nullopt;
    clip.reference.resize(pcm.out.size() / 2);
    for (std::size_t i = 0; i < clip.reference.size(); ++i)
        clip.reference[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(pcm.out[2 * i]) |
                                                      static_cast<std::uint8_t>(pcm.out[2 * i + 1]) << 8);
    return clip;
}

} // namespace kov::test
