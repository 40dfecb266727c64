#!/usr/bin/env bash
# Hostile fragment shapes: one moof holding N track fragments of one sample
# each, of one track ("trafs") or each naming another track ("tracks"), and N
# moofs of one track fragment each ("moofs"), for N from 10,000 to 1,000,000.
# Times --probe, --emit and the first stat through a fresh mount; each should
# grow in proportion to N. A moof over 16 MiB (about 300,000 track fragments)
# is left out whole, so the largest files have no fragments to rewrite.
# Usage: bench/trafs.sh BUILD_DIR   (files: BUILD_DIR/bench-trafs, made once)
set -euo pipefail
BUILD=${1:-build}
PROGRAM="$BUILD/service/cli/kov-orvane"
WORK="$BUILD/bench-trafs"
MNT="$WORK/mnt"
COUNTS=${COUNTS:-"10000 100000 1000000"}
SHAPES=${SHAPES:-"trafs tracks moofs"}
LIMIT=${LIMIT:-120} # seconds before a step counts as hung
[[ -x "$PROGRAM" ]] || { echo "missing $PROGRAM: cmake --build $BUILD --target kov-orvane" >&2; exit 1; }
mkdir -p "$WORK/src" "$WORK/mnt"
[[ -s "$WORK/base.mp4" ]] || ffmpeg -nostdin -v error -y -f lavfi -i "sine=frequency=440:duration=1" -c:a aac \
    -movflags frag_keyframe+empty_moov "$WORK/base.mp4"

. "$(dirname "$0")/mount-lib.sh"

# Seconds a command takes, or "hung" past LIMIT.
timed() {
    local s e
    s=$(date +%s.%N)
    if ! timeout "$LIMIT" "$@" >/dev/null 2>&1; then
        [[ $? == 124 ]] && { echo hung; return; }
    fi
    e=$(date +%s.%N)
    awk -v a="$s" -v b="$e" 'BEGIN { printf "%.2f\n", b - a }'
}

echo "== hostile fragment shapes (load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores)"
printf -- '-- %-7s %9s %9s %9s %9s %9s\n' shape count MiB probe/s emit/s stat/s
for shape in $SHAPES; do
    for n in $COUNTS; do
        file="$WORK/src/$shape-$n.mp4"
        [[ -s "$file" ]] || python3 "$(dirname "$0")/../fuzz/hostile-shapes.py" "$shape" "$n" "$WORK/base.mp4" "$file"
        probe=$(timed "$PROGRAM" --probe "$file")
        emit=$(timed "$PROGRAM" --emit "$file" "$WORK/emitted.mp4")
        rm -f "$WORK/emitted.mp4"
        mount_fresh "$WORK/src"
        stat=$(timed stat "$MNT/$shape-$n.mp4")
        unmount
        printf -- '-- %-7s %9s %9s %9s %9s %9s\n' "$shape" "$n" "$(( $(stat -c %s "$file") >> 20 ))" "$probe" "$emit" \
            "$stat"
    done
done
