#!/usr/bin/env bash
# Slow-source benchmark: the mount over a source whose every read is answered
# after 1 ms (the test filesystem faultfs with "delay * 0 max 1", page cache
# on, as on a network share), beside the same mount over the local folder:
# ls -l of 300 clips, first look at a 10-minute clip (stat of a name not yet
# seen), first 4 KiB of PCM after a cold open, sequential PCM speed.
# Each figure is the median of several runs on fresh mounts of both layers.
# Usage: bench/slow-source.sh BUILD_DIR   (clips: BUILD_DIR/bench-cache, made once)
set -euo pipefail
BUILD=${1:-build}
PROGRAM="$BUILD/service/cli/kov-orvane"
TOOL="$BUILD/bench/bench_mount"
FAULTFS="$BUILD/tests/support/faultfs"
CACHE=${BENCH_CACHE:-$BUILD/bench-cache}
WORK="$BUILD/bench-slow"
SRC="$WORK/src"
SLOW="$WORK/slow"
MNT="$WORK/mnt"
RUNS=${RUNS:-5}
mkdir -p "$CACHE" "$SRC/many" "$SLOW" "$MNT"
for t in "$PROGRAM" "$TOOL" "$FAULTFS"; do
    [[ -x "$t" ]] || { echo "missing $t: cmake --build $BUILD --target kov-orvane bench_mount faultfs" >&2; exit 1; }
done

"$(dirname "$0")/clips.sh" "$CACHE" clip-10min-720p.mp4 clip-1s-audio.mp4
[[ -e "$SRC/clip.mp4" ]] || ln "$CACHE/clip-10min-720p.mp4" "$SRC/clip.mp4" 2>/dev/null ||
    cp "$CACHE/clip-10min-720p.mp4" "$SRC/clip.mp4"
# Distinct files (copies, not links): one node, one decision each.
for i in $(seq 0 299); do
    [[ -s "$SRC/many/clip-$i.mp4" ]] || cp "$CACHE/clip-1s-audio.mp4" "$SRC/many/clip-$i.mp4"
done

. "$(dirname "$0")/mount-lib.sh"
fpid=""
# Mounts kov-orvane over the local source, or over a fresh faultfs layer with
# every read delayed by 1 ms ("slow").
up() {
    local source=$SRC
    if [[ $1 == slow ]]; then
        "$FAULTFS" "$SRC" "$SLOW" 2>>"$WORK/faultfs.log" &
        fpid=$!
        wait_mount "$SLOW"
        echo 'delay * 0 max 1' >"$SLOW/.faultfs"
        source=$SLOW
    fi
    "$PROGRAM" "$source" "$MNT" 2>"$WORK/service.log" &
    pid=$!
    wait_mount "$MNT"
}
down() {
    kill -TERM "$pid"
    wait "$pid" || { echo "service exited with $?" >&2; exit 1; }
    pid=""
    if [[ -n $fpid ]]; then
        fusermount3 -u -z "$SLOW" 2>/dev/null || umount -l "$SLOW"
        wait "$fpid" 2>/dev/null || true
        fpid=""
    fi
}
trap '[[ -n "$pid" ]] && kill -TERM "$pid" 2>/dev/null; [[ -n "$fpid" ]] && umount -l "$SLOW" 2>/dev/null; true' EXIT

seconds() { date +%s.%N; }

declare -A R
eval "$("$TOOL" regions "$SRC/clip.mp4" | sed 's/^/R[/; s/=/]=/')"
# PCM bytes per second of the clip's audio (16-bit samples).
rate=$(ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels -of csv=p=0 "$SRC/clip.mp4" |
    awk -F, '{ print $1 * $2 * 2 }')
cat "$SRC/clip.mp4" "$SRC"/many/* >/dev/null # the local figures read from the page cache

ls_many() { # kind -> seconds for ls -l of the 300 clips
    up "$1"
    local s e
    s=$(seconds)
    ls -l "$MNT/many" >/dev/null
    e=$(seconds)
    down
    awk -v a="$s" -v b="$e" 'BEGIN { printf "%.3f\n", b - a }'
}
first_look() { # kind -> ms for the first stat of the 10-minute clip
    up "$1"
    local ms
    ms=$(python3 -c 'import os, sys, time
t = time.perf_counter(); os.stat(sys.argv[1]); print("%.2f" % ((time.perf_counter() - t) * 1000))' "$MNT/clip.mp4")
    down
    echo "$ms"
}
first_pcm() { # kind -> ms for the first 4 KiB of PCM after a cold open
    up "$1"
    local out
    out=$("$TOOL" first "$MNT/clip.mp4" "${R[pcm_offset]}")
    down
    awk -v u="$(get read_us <<<"$out")" 'BEGIN { printf "%.2f\n", u / 1000 }'
}
seq_pcm() { # kind -> times realtime for a sequential read of the whole PCM
    up "$1"
    local mbs
    mbs=$("$TOOL" seq "$MNT/clip.mp4" "${R[pcm_offset]}" "${R[pcm_size]}" | get mb_per_s)
    down
    awk -v m="$mbs" -v r="$rate" 'BEGIN { printf "%.0f\n", m * 1e6 / r }'
}

echo "== slow-source benchmark (median of $RUNS runs; slow: every source read answered after 1 ms)"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
printf -- '-- %-44s %10s %10s   %s\n' "" local slow target
printf -- '-- %-44s %9ss %9ss   %s\n' "ls -l of 300 clips" "$(runs ls_many local)" "$(runs ls_many slow)" "< 0.5 s"
printf -- '-- %-44s %8sms %8sms\n' "first look at a 10-minute clip (stat)" "$(runs first_look local)" \
    "$(runs first_look slow)"
printf -- '-- %-44s %8sms %8sms   %s\n' "first 4 KiB of PCM after a cold open" "$(runs first_pcm local)" \
    "$(runs first_pcm slow)" "< 5 ms"
n=$(( RUNS < 3 ? RUNS : 3 ))
RUNS=$n
printf -- '-- %-44s %9sx %9sx   %s\n' "sequential PCM, times realtime" "$(runs seq_pcm local)" "$(runs seq_pcm slow)" \
    ">= 300x"
