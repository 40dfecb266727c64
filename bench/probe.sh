#!/usr/bin/env bash
# Probe cost benchmark: media analysis time and reads on real clips, and on the
# same movie boxes behind a 64 GiB sparse media data box (nothing of it is read).
# Usage: bench/probe.sh BUILD_DIR   (clips are generated once into BUILD_DIR/bench-cache)
set -euo pipefail
BUILD=${1:-build}
CACHE="$BUILD/bench-cache"
"$(dirname "$0")/clips.sh" "$CACHE" probe-1min.mp4 probe-1h.mp4
"$BUILD/bench/bench_probe" "$CACHE" "$CACHE/probe-1min.mp4" "$CACHE/probe-1h.mp4"
