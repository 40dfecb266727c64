#!/usr/bin/env bash
# The benchmarks' deterministic clips: fixed sources, bit-exact flags. Each is
# made once into CACHE_DIR and reused by every benchmark afterwards.
# Usage: bench/clips.sh CACHE_DIR NAME...
#   NAME is one of clip-10min-720p.mp4, clip-2h-audio.mp4, clip-3min-audio.mp4,
#   clip-1s-audio.mp4
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

make_clip() { # name seconds video-size video-rate
    local out="$CACHE/$1"
    [[ -s "$out" ]] && return
    echo "generating $1 (once) ..." >&2
    ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=$3:rate=$4:duration=$2" \
        -f lavfi -i "$AUDIO:d=$2" "${VCODEC[@]}" -c:a aac -b:a 128k "${EXACT[@]}" "$out.tmp.mp4"
    mv "$out.tmp.mp4" "$out"
}

for name in "$@"; do
    case $name in
    clip-10min-720p.mp4) make_clip "$name" 600 1280x720 30 ;;
    clip-2h-audio.mp4) make_clip "$name" 7200 96x64 1 ;;
    clip-3min-audio.mp4) make_clip "$name" 180 96x64 1 ;;
    clip-1s-audio.mp4) make_clip "$name" 1 96x64 1 ;;
    *)
        echo "clips.sh: unknown clip '$name'" >&2
        exit 2
        ;;
    esac
done
