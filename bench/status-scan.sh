#!/usr/bin/env bash
# Share scan benchmark: `kov-orvane --status --scan` over a library on tmpfs of
# FOLDERS folders, each with PER files of other kinds and CLIPS hard links of one
# small AAC clip (made by ffmpeg), run with libavcodec hidden (as root, in a
# private mount namespace) so that every converted codec is looked for and the
# walk runs to a bound; then with the system's libavcodec, which needs no walk.
# Prints each answer and its wall time.
# Usage: bench/status-scan.sh BUILD_DIR   (FOLDERS, PER, CLIPS to change the sizes)
set -euo pipefail
BUILD=${1:-build}
PROGRAM=$(realpath "$BUILD/service/cli/kov-orvane")
FOLDERS=${FOLDERS:-100}
PER=${PER:-1000}
CLIPS=${CLIPS:-300}
SRC=$(mktemp -d /dev/shm/kov-bench-scan.XXXXXX)
trap 'rm -rf "$SRC"' EXIT

echo "== share scan benchmark ($FOLDERS folders of $PER other files and $CLIPS AAC clips; $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg))"
ffmpeg -v error -f lavfi -i sine=d=1 -f lavfi -i testsrc=d=1:s=160x120 -c:a aac -c:v mpeg4 "$SRC/clip.mp4"
python3 - "$SRC" "$FOLDERS" "$PER" "$CLIPS" <<'PY'
import os, sys
src, folders, per, clips = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
for d in range(folders):
    folder = f"{src}/library/d{d:04d}"
    os.makedirs(folder)
    for i in range(per):
        os.close(os.open(f"{folder}/still{i:05d}.jpg", os.O_CREAT | os.O_WRONLY, 0o644))
    for i in range(clips):
        os.link(f"{src}/clip.mp4", f"{folder}/clip{i:05d}.mp4")
PY
printf '1\tLibrary\t%s/library\n' "$SRC" >"$SRC/shares.conf"

timed() { # label command...
    local start end line
    start=$(date +%s.%N)
    line=$("${@:2}")
    end=$(date +%s.%N)
    printf '%-22s %6.2f s  %s\n' "$1" "$(echo "$end - $start" | bc)" "${line#* version=* }"
}
hide='for f in /usr/lib/*/libavcodec.so* /usr/lib/libavcodec.so* /usr/local/lib/libavcodec.so*; do
        [ -e "$f" ] && { mount --bind /dev/null "$f" || exit 99; }; done; exec "$@"'
if [[ $(id -u) == 0 ]] && unshare -m true 2>/dev/null; then
    timed "without libavcodec" unshare -m sh -c "$hide" sh "$PROGRAM" --status --scan --config "$SRC/shares.conf"
else
    echo "without libavcodec: needs root and unshare, skipped"
fi
timed "with libavcodec" "$PROGRAM" --status --scan --config "$SRC/shares.conf"
