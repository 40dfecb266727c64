#!/usr/bin/env bash
# The benchmarks' deterministic clips: fixed sources, bit-exact flags. Each is
# made once into CACHE_DIR and reused by every benchmark afterwards.
# Usage: bench/clips.sh CACHE_DIR NAME...
#   NAME is one of clip-10min-720p.mp4, clip-2h-audio.mp4, clip-3min-audio.mp4,
#   clip-1s-audio.mp4 (camera-like clips), probe-1min.mp4, probe-1h.mp4,
#   frag-2h-1s.mp4, frag-10min-1s.mp4 (recordings in 1-second fragments: 720p
#   and two AAC tracks), plain-2h.mp4, plain-10min.mp4 (the same unfragmented)
set -euo pipefail
CACHE=$1
shift
mkdir -p "$CACHE"

EXACT=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1)
AUDIO="aevalsrc=0.3*sin(440*2*PI*t)*sin(0.5*t)+0.05*random(0)|0.3*sin(554*2*PI*t)+0.05*random(1):s=48000"
# Read whole before matching: a matcher that stops early would fail the pipe.
ENCODERS=$(ffmpeg -hide_banner -encoders 2>/dev/null || true)
if [[ $ENCODERS == *libx264* ]]; then
    # A typical camera-file bitrate rather than what ultrafast makes of test patterns.
    VCODEC=(-c:v libx264 -preset ultrafast -b:v 6M -maxrate 6M -bufsize 12M)
else
    VCODEC=(-c:v mpeg4 -q:v 5)
fi

once() { # name ffmpeg-arguments...: runs ffmpeg into the cache unless the clip is there
    local out="$CACHE/$1"
    shift
    [[ -s "$out" ]] && return
    echo "generating $(basename "$out") (once) ..." >&2
    ffmpeg -nostdin -v error -y "$@" "$out.tmp.mp4"
    mv "$out.tmp.mp4" "$out"
}
camera_clip() { # name seconds video-size video-rate
    once "$1" -f lavfi -i "testsrc2=size=$3:rate=$4:duration=$2" \
        -f lavfi -i "$AUDIO:d=$2" "${VCODEC[@]}" -c:a aac -b:a 128k "${EXACT[@]}"
}
probe_clip() { # name seconds: a small picture, a plain tone, the movie box first
    once "$1" -f lavfi -i "testsrc2=size=96x64:rate=25:duration=$2" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$2" -c:v mpeg4 -c:a aac -b:a 96k \
        -movflags +faststart
}

# One minute of 720p with a keyframe every second and two AAC tracks, looped
# into a recorder's 1-second fragments without encoding hours of video.
frag_base() {
    once frag-base-60s.mp4 -f lavfi -i "testsrc2=size=1280x720:rate=30:duration=60" \
        -f lavfi -i "aevalsrc=0.3*sin(440*2*PI*t)+0.05*random(0)|0.3*sin(554*2*PI*t)+0.05*random(1):s=48000:d=60" \
        -f lavfi -i "aevalsrc=0.3*sin(660*2*PI*t)+0.05*random(0):s=48000:d=60" -map 0 -map 1 -map 2 \
        -c:v libx264 -preset ultrafast -b:v 1M -g 30 -keyint_min 30 -sc_threshold 0 -c:a aac -b:a 128k "${EXACT[@]}"
}
fragmented_clip() { # name minutes
    frag_base
    once "$1" -stream_loop $(($2 - 1)) -i "$CACHE/frag-base-60s.mp4" -map 0 -c copy "${EXACT[@]}" \
        -movflags +frag_keyframe+empty_moov+default_base_moof
}
unfragmented_clip() { # name fragmented-name minutes
    fragmented_clip "$2" "$3"
    once "$1" -i "$CACHE/$2" -map 0 -c copy "${EXACT[@]}"
}

for name in "$@"; do
    case $name in
    clip-10min-720p.mp4) camera_clip "$name" 600 1280x720 30 ;;
    clip-2h-audio.mp4) camera_clip "$name" 7200 96x64 1 ;;
    clip-3min-audio.mp4) camera_clip "$name" 180 96x64 1 ;;
    clip-1s-audio.mp4) camera_clip "$name" 1 96x64 1 ;;
    probe-1min.mp4) probe_clip "$name" 60 ;;
    probe-1h.mp4) probe_clip "$name" 3600 ;;
    frag-2h-1s.mp4) fragmented_clip "$name" 120 ;;
    frag-10min-1s.mp4) fragmented_clip "$name" 10 ;;
    plain-2h.mp4) unfragmented_clip "$name" frag-2h-1s.mp4 120 ;;
    plain-10min.mp4) unfragmented_clip "$name" frag-10min-1s.mp4 10 ;;
    *)
        echo "clips.sh: unknown clip '$name'" >&2
        exit 2
        ;;
    esac
done
