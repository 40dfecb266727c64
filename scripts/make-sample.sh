#!/usr/bin/env bash
# Generates a short demo clip (H.264-free, so any ffmpeg build works) with AAC audio.
set -euo pipefail
dir=$1
mkdir -p "$dir"
out="$dir/sample.mp4"
[ -s "$out" ] && exit 0
ffmpeg -v error -y -f lavfi -i "sine=frequency=440:duration=3" \
    -f lavfi -i "testsrc=duration=3:size=320x240:rate=25" \
    -c:a aac -b:a 128k -ar 48000 -ac 2 -c:v mpeg4 -shortest "$out"
echo "sample: $out"
