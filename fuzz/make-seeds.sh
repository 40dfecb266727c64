#!/usr/bin/env bash
# Fills a fuzz corpus folder with a few tiny real files made by ffmpeg (once).
set -euo pipefail
dir=$1
mkdir -p "$dir"
[ -n "$(ls -A "$dir")" ] && exit 0
command -v ffmpeg >/dev/null || { echo "ffmpeg missing: starting from an empty corpus" >&2; exit 0; }
ff() { ffmpeg -nostdin -v error -y "$@"; }
a=(-f lavfi -i "sine=frequency=440:duration=0.1")
v=(-f lavfi -i "testsrc=duration=0.1:size=32x32:rate=10")
ff "${a[@]}" "${v[@]}" -c:a aac -c:v mpeg4 -shortest "$dir/seed.mp4"
ff "${a[@]}" "${v[@]}" -c:a aac -c:v mpeg4 -shortest -movflags +faststart "$dir/faststart.mp4"
ff "${a[@]}" -c:a aac -ar 96000 "$dir/v2.mov"
ff "${a[@]}" -c:a aac "$dir/audio.m4a"
ff "${a[@]}" "${v[@]}" -c:a aac -c:v mpeg4 -shortest -movflags frag_keyframe+empty_moov "$dir/frag.mp4"
ff "${a[@]}" -c:a libmp3lame "$dir/mp3.mp4"
