#pragma once
// The fragmented recordings the fragment tests are judged on: ffmpeg's
// fragment shapes (base data offsets given, at the moof, implicit; one moof
// per keyframe, per second or per track; an empty movie box or one holding
// the first fragment), MP4 and MOV, 1 to 3 AAC tracks, and GStreamer's muxer
// in its fragment mode. Made at test time.

#include <string>
#include <vector>

#include "support/test_env.hpp"

namespace kov::test {

struct Recording {
    const char* name;
    int audio_tracks;
    std::vector<std::string> flags; // ffmpeg's; none: remuxed by GStreamer's mp4mux instead
    bool empty_moov = true;         // else the movie box tables hold the first fragment
};

inline const std::vector<Recording>& recordings()
{
    static const std::vector<Recording> all{
        {"keyframe_base_moof.mp4", 1, {"-movflags", "+frag_keyframe+empty_moov+default_base_moof"}},
        {"keyframe_given_base.mp4", 2, {"-movflags", "+frag_keyframe+empty_moov"}},
        {"duration_separate.mp4", 3, {"-frag_duration", "1000000", "-movflags", "+empty_moov+separate_moof"}},
        {"implicit_base.mp4", 2, {"-movflags", "+frag_keyframe+empty_moov+omit_tfhd_offset"}},
        {"quicktime.mov", 2, {"-movflags", "+frag_keyframe+empty_moov+default_base_moof"}},
        {"quicktime_given_base.mov", 1, {"-movflags", "+frag_keyframe+empty_moov"}},
        {"gstreamer.mp4", 1, {}},
        {"hybrid_keyframe.mp4", 1, {"-movflags", "+frag_keyframe"}, false},
        {"hybrid_separate.mov",
         3,
         {"-frag_duration", "1000000", "-movflags", "+separate_moof+default_base_moof"},
         false},
    };
    return all;
}

inline const Recording& recording(const std::string& name)
{
    for (const auto& r : recordings())
        if (name == r.name)
            return r;
    return recordings().front();
}

inline std::vector<std::string> recording_args(const Recording& r)
{
    std::vector<std::string> args{"-f", "lavfi", "-i", "testsrc=duration=3:size=160x120:rate=25"};
    for (int a = 0; a < r.audio_tracks; ++a) {
        const std::string rate = a % 2 ? "44100" : "48000";
        for (const char* s : {"-f", "lavfi", "-i"})
            args.push_back(s);
        args.push_back("sine=frequency=" + std::to_string(440 + 110 * a) + ":duration=3:sample_rate=" + rate);
    }
    for (int i = 0; i <= r.audio_tracks; ++i) {
        args.push_back("-map");
        args.push_back(std::to_string(i));
    }
    // Without noise substitution, whose random noise no two decoders share.
    for (const char* s : {"-c:v", "mpeg4", "-bf", "2", "-g", "12", "-c:a", "aac", "-aac_pns", "0"})
        args.push_back(s);
    args.insert(args.end(), r.flags.begin(), r.flags.end());
    return args;
}

// GStreamer's muxer in its fragment mode (one moof per track, a uuid box and
// an mfra at the end), fed an H.264 + AAC file made by ffmpeg.
inline bool gstreamer_make(const TempDir& dir, const std::string& out)
{
    const std::string source = dir.file("gst-source.mp4");
    if (!have_program("gst-launch-1.0") ||
        !ffmpeg_make({"-f", "lavfi", "-i", "testsrc=duration=5:size=160x120:rate=25", "-f", "lavfi", "-i",
                      "sine=frequency=440:duration=5:sample_rate=48000", "-c:v", "libx264", "-preset", "ultrafast",
                      "-g", "25", "-c:a", "aac", "-aac_pns", "0"},
                     source))
        return false;
    const auto r = run_command({"gst-launch-1.0",
                                "-q",
                                "-e",
                                "filesrc",
                                "location=" + source,
                                "!",
                                "qtdemux",
                                "name=d",
                                "d.video_0",
                                "!",
                                "queue",
                                "!",
                                "h264parse",
                                "!",
                                "mux.",
                                "d.audio_0",
                                "!",
                                "queue",
                                "!",
                                "aacparse",
                                "!",
                                "mux.",
                                "mp4mux",
                                "name=mux",
                                "fragment-duration=2000",
                                "!",
                                "filesink",
                                "location=" + out});
    return r.status == 0 && exists(out);
}

inline bool make_recording(const TempDir& dir, const Recording& r, const std::string& out)
{
    return r.flags.empty() ? gstreamer_make(dir, out) : ffmpeg_make(recording_args(r), out);
}

} // namespace kov::test
