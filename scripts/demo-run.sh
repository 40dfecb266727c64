#!/usr/bin/env bash
# Runs the program's main job on the demo folder.
set -euo pipefail
bin=$1 src=$2 mnt=$3
shopt -s nullglob
for f in "$src"/*.mp4 "$src"/*.mov; do
    "$bin" --probe "$f" || true
done
