#!/usr/bin/env bash
# Mounts a demo mirror of a source folder and keeps it mounted until Ctrl-C.
# Usage: demo-run.sh <kov-orvane binary> <source folder> <mount point>
set -euo pipefail
bin=$1 src=$2 mnt=$3

is_mounted() {
    local want
    want=$(realpath -m "$1")
    awk -v p="$want" '$5 == p { found = 1 } END { exit !found }' /proc/self/mountinfo
}

mkdir -p "$mnt"
# A demo that was killed hard leaves a dead mount behind; clear it first.
if is_mounted "$mnt"; then
    fusermount3 -uz "$mnt" 2>/dev/null || umount -l "$mnt"
fi

"$bin" "$src" "$mnt" &
pid=$!
# Background jobs of a script ignore SIGINT, so Ctrl-C is passed on as SIGTERM.
trap 'kill -TERM "$pid" 2>/dev/null || true' INT TERM

for _ in $(seq 200); do
    is_mounted "$mnt" && break
    if ! kill -0 "$pid" 2>/dev/null; then
        wait "$pid" || true
        echo "demo: kov-orvane did not mount $mnt" >&2
        exit 1
    fi
    sleep 0.1
done

shopt -s nullglob
abs_mnt=$(realpath "$mnt")
echo
echo "demo: $(realpath "$src") is mirrored read-only at $abs_mnt"
echo "demo: look at it with"
echo "    ls -l $abs_mnt"
for f in "$abs_mnt"/*.mp4 "$abs_mnt"/*.mov; do
    echo "    ffprobe -hide_banner $f    # the AAC track reads as pcm_s16le"
    break
done
echo "demo: press Ctrl-C to unmount and stop"

status=0
while kill -0 "$pid" 2>/dev/null; do
    wait "$pid" && status=0 || status=$?
done
if is_mounted "$mnt"; then
    fusermount3 -u "$mnt" 2>/dev/null || umount -l "$mnt"
fi
echo "demo: unmounted $abs_mnt"
exit "$status"
