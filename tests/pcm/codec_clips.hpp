#pragma once
// The clips of every codec other than AAC, made by ffmpeg's own encoders at
// test time, with what the tests expect of each: one list for the codec table
// (ffmpeg judges the conversion) and the read-pattern and fault tables of the
// mount tests (--emit judges every read). Each clip uses the codec's noise or
// dither tools where it has them, and carries a language and a handler name
// its converted track must keep.

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_env.hpp"

namespace kov::test {

struct CodecRow {
    const char* name; // the clip's file name
    std::vector<std::string> encode;
    bool converted; // by default
    bool video;     // a video track, after the audio one
    int tolerance = 0; // in steps of the PCM's bits from ffmpeg's continuous decode
    // Units after a damaged one that may decode otherwise than in the
    // undamaged file: the codec's pre-roll, the decoder's memory of the unit
    // it missed.
    std::uint64_t reach = 0;
    int bits = 16; // of the PCM written
    // Left as it is by default, converted when --convert names this codec.
    const char* only_with = nullptr;
};

inline std::vector<std::string> join_args(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline const std::vector<CodecRow>& codec_rows()
{
    const std::vector<std::string> noise{"-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.3:duration=5:seed=7"};
    const std::vector<std::string> tone{"-f", "lavfi", "-i", "sine=frequency=500:duration=5:sample_rate=48000"};
    // Audio first, so that a track converted out of its place shows.
    const std::vector<std::string> picture{
        "-f", "lavfi", "-i", "testsrc=duration=5:size=64x48:rate=10", "-map", "0:a", "-map", "1:v", "-c:v", "mpeg4"};
    const std::vector<std::string> tags{"-metadata:s:a:0", "language=fra", "-metadata:s:a:0", "handler_name=Commentary"};
    static const std::vector<CodecRow> all{
        {"flac16.mp4", join_args({noise, picture, tags, {"-c:a", "flac", "-sample_fmt", "s16", "-ac", "2", "-strict", "-2"}}),
         true, true},
        {"alac16.m4a", join_args({tone, tags, {"-c:a", "alac", "-sample_fmt", "s16p", "-ac", "1"}}), true, false},
        {"alac16.mov", join_args({noise, picture, tags, {"-c:a", "alac", "-sample_fmt", "s16p", "-ac", "2"}}), true, true},
        // Deeper lossless audio becomes 24-bit PCM (ffmpeg's muxer puts no FLAC in MOV).
        {"flac24.mp4",
         join_args({noise, picture, tags, {"-c:a", "flac", "-sample_fmt", "s32", "-ac", "6", "-strict", "-2"}}), true,
         true, 0, 0, 24},
        {"alac24.mov", join_args({noise, tags, {"-c:a", "alac", "-sample_fmt", "s32p", "-ac", "2"}}), true, false, 0, 0, 24},
        {"alac24.m4a", join_args({tone, tags, {"-c:a", "alac", "-sample_fmt", "s32p", "-ac", "1"}}), true, false, 0, 0, 24},
        // Above 65535 Hz: the version 2 description, its flags saying 24-bit big-endian.
        {"flac24-96k.mp4",
         join_args({noise, tags, {"-c:a", "flac", "-sample_fmt", "s32", "-ar", "96000", "-ac", "2", "-strict", "-2"}}),
         true, false, 0, 0, 24},
        // Opus: segments decoded apart after a pre-roll of 240 ms (12 units).
        // At 24 kbit/s the encoder folds bands and fills them with noise.
        {"opus-stereo.mp4",
         join_args({noise, picture, tags, {"-c:a", "libopus", "-b:a", "24k", "-ac", "2", "-strict", "-2"}}), true, true,
         2, 12},
        {"opus-mono.mp4", join_args({tone, tags, {"-c:a", "libopus", "-ac", "1", "-strict", "-2"}}), true, false, 2, 12},
        // Vorbis: one packet of pre-roll; packets of 128, 576 and 1024 frames
        // where loudness jumps. The one step is ffmpeg's own rounding to 16
        // bits: its float output rounded half away from zero is met exactly.
        {"vorbis.mp4",
         join_args({noise, picture, tags,
                    {"-af", "volume='if(lt(mod(t,0.5),0.05),1,0.05)':eval=frame", "-c:a", "libvorbis", "-ac", "2"}}),
         true, true, 1, 1},
        {"vorbis-mono.mp4", join_args({tone, tags, {"-c:a", "libvorbis"}}), true, false, 1, 1},
        {"vorbis-5.1.mp4", join_args({noise, tags, {"-c:a", "libvorbis", "-ac", "6"}}), true, false, 1, 1},
        {"vorbis-native.mp4", join_args({tone, tags, {"-c:a", "vorbis", "-ac", "2", "-strict", "-2"}}), true, false, 1,
         1},
        // E-AC-3 5.1 on noise, with the encoder's dither: one frame of pre-roll.
        {"eac3.mov", join_args({noise, tags, {"-c:a", "eac3", "-ac", "6"}}), true, false, 1, 1},
        {"eac3.mp4", join_args({noise, picture, tags, {"-c:a", "eac3", "-ac", "6"}}), true, true, 1, 1},
        // Its other layouts, at rates where no band is left to the decoder's
        // dither: that noise goes on from every frame before, so a segment's
        // differs from a continuous decode's (stereo noise at 192 kbit/s: up
        // to 1,138 in 16 bits).
        {"eac3-5.0.mp4", join_args({noise, tags, {"-c:a", "eac3", "-ac", "5"}}), true, false, 1, 1},
        {"eac3-stereo.mov", join_args({noise, tags, {"-c:a", "eac3", "-ac", "2", "-b:a", "384k"}}), true, false, 1, 1},
        {"eac3-mono.mp4", join_args({tone, tags, {"-c:a", "eac3", "-ac", "1", "-b:a", "384k"}}), true, false, 1, 1},
        // AC-3 and MP3 only when asked for. AC-3 as E-AC-3 (stereo: a little
        // of the decoder's dither is left at 384 kbit/s, and more pre-roll
        // does not lower its 2 steps); MP3's bit reservoir needs up to 10
        // frames of pre-roll (9 at 32 kbit/s).
        {"ac3.mov", join_args({noise, tags, {"-c:a", "ac3", "-ac", "6"}}), false, false, 1, 1, 16, "ac3"},
        {"ac3-stereo.mp4", join_args({noise, picture, tags, {"-c:a", "ac3", "-ac", "2", "-b:a", "384k"}}), false, true,
         2, 1, 16, "ac3"},
        {"mp3.mp4", join_args({noise, picture, tags, {"-c:a", "libmp3lame", "-b:a", "32k", "-ac", "2"}}), false, true,
         1, 10, 16, "mp3"},
        {"mp3-mono.mov", join_args({tone, tags, {"-c:a", "libmp3lame", "-ac", "1"}}), false, false, 1, 10, 16, "mp3"},
    };
    return all;
}

// One compressed unit of a clip's first audio track: where it lies and the
// frames it decodes to.
struct ClipUnit {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    std::uint64_t frames = 0;
};

// The units of `path`'s first audio track as ffprobe lists them, each unit's
// duration in frames at the track's sample rate; empty when ffprobe fails.
inline std::vector<ClipUnit> clip_units(const std::string& path)
{
    const auto stream = run_command({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                     "stream=sample_rate,time_base", "-of", "csv=p=0", path});
    std::uint64_t rate = 0, num = 0, den = 0;
    char sep = 0;
    std::istringstream s(stream.out);
    if (stream.status != 0 || !(s >> rate >> sep >> num >> sep >> den) || den == 0)
        return {};
    const auto packets = run_command({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                      "packet=pos,size,duration", "-of", "csv=p=0", path});
    std::vector<ClipUnit> units;
    std::istringstream lines(packets.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::uint64_t duration = 0, size = 0, pos = 0;
        std::istringstream f(line);
        if (f >> duration >> sep >> size >> sep >> pos)
            units.push_back({pos, static_cast<std::uint32_t>(size), duration * rate * num / den});
    }
    return units;
}

} // namespace kov::test
