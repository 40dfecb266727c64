#!/usr/bin/env bash
# Probe cost benchmark: media analysis time and reads on real clips, and on the
# same movie boxes behind a 64 GiB sparse media data box (nothing of it is read).
# Usage: bench/probe.sh BUILD_DIR   (clips are generated once into BUILD_DIR/bench-cache)
set -euo pipefail
BUILD=${1:-build}
CACHE="$BUILD/bench-cache"
mkdir -p "$CACHE"
make_clip() { # name seconds
    local out="$CACHE/$1"
    [[ -s "$out" ]] && return
    echo "generating $1 (once) ..." >&2
    ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=96x64:rate=25:duration=$2" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$2" -c:v mpeg4 -c:a aac -b:a 96k \
        -movflags +faststart "$out.tmp.mp4"
    mv "$out.tmp.mp4" "$out"
}
make_clip probe-1min.mp4 60
make_clip probe-1h.mp4 3600
"$BUILD/bench/bench_probe" "$CACHE" "$CACHE/probe-1min.mp4" "$CACHE/probe-1h.mp4"
