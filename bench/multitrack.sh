#!/usr/bin/env bash
# Multi-track benchmark: a 2-hour recording with six AAC tracks beside the
# same recording with one. Layout build time; random 4 KiB PCM reads through
# a mount (first and last track of the six, the one track of the other); the
# whole six-track file read through the mount beside ffmpeg's remux to PCM;
# the service's peak memory with four six-track files read at once.
# Usage: bench/multitrack.sh BUILD_DIR [OTHER_PROGRAM]
#   OTHER_PROGRAM: another kov-orvane binary (an older build) measured the same
#   way, for figures side by side.
set -euo pipefail
BUILD=${1:-build}
OTHER=${2:-}
TOOL="$BUILD/bench/bench_mount"
LAYOUT="$BUILD/bench/bench_rewrite"
CACHE=${BENCH_CACHE:-$BUILD/bench-cache}
WORK="$BUILD/bench-multitrack"
SRC="$WORK/src"
MNT="$WORK/mnt"
READ_SECONDS=${READ_SECONDS:-60}
mkdir -p "$CACHE" "$SRC" "$MNT"

"$(dirname "$0")/clips.sh" "$CACHE" clip-2h-audio.mp4
EXACT=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1)
ONE="$SRC/one.mp4"
SIX="$SRC/six.mp4"
[[ -e "$ONE" ]] || ln "$CACHE/clip-2h-audio.mp4" "$ONE" 2>/dev/null || cp "$CACHE/clip-2h-audio.mp4" "$ONE"
[[ -s "$SIX" ]] || ffmpeg -nostdin -v error -y -i "$ONE" -map 0:v -map 0:a -map 0:a -map 0:a -map 0:a -map 0:a \
    -map 0:a -c copy "${EXACT[@]}" "$SIX"
# Distinct files (copies, not links: one node per source file) for parallel readers.
for i in 1 2 3 4; do [[ -s "$SRC/six-$i.mp4" ]] || cp "$SIX" "$SRC/six-$i.mp4"; done

. "$(dirname "$0")/mount-lib.sh"

declare -A L1 L6
while IFS='=' read -r k v; do L1[$k]=$v; done < <("$LAYOUT" --layout-only "$ONE")
while IFS='=' read -r k v; do L6[$k]=$v; done < <("$LAYOUT" --layout-only "$SIX")
echo "== 2-hour recording: one AAC track ($(du -h "$ONE" | cut -f1)), six AAC tracks ($(du -h "$SIX" | cut -f1))"
echo "  build_layout median / best: one track ${L1[build_layout_ms]} / ${L1[build_layout_min_ms]} ms," \
    "six tracks ${L6[build_layout_ms]} / ${L6[build_layout_min_ms]} ms (target < 25 ms)"

measure() { # program label
    local program=$1 label=$2
    echo "-- $label"
    # Where the PCM lies in this program's rewritten files: the last stream
    # ends each file; the six-track file's first stream is where this build
    # puts it, and only this build has one.
    mount_fresh "$SRC" "$program"
    local size1 size6
    size1=$(stat -c %s "$MNT/one.mp4")
    size6=$(stat -c %s "$MNT/six.mp4")
    unmount
    local last6=${L6[stream_5_size]:-${L6[stream_0_size]}}
    rand() { # file start end -> p50/p99, the source read from the page cache
        cat "$SRC/$1" >/dev/null
        mount_fresh "$SRC" "$program"
        local out
        out=$("$TOOL" random "$MNT/$1" "$2" "$3" 4096 2000)
        unmount
        echo "$(get p50_us <<<"$out")/$(get p99_us <<<"$out")"
    }
    local first="n/a"
    if ((size6 == L6[total_size])); then
        first=$(rand six.mp4 "${L6[stream_0_offset]}" $((L6[stream_0_offset] + L6[stream_0_size])))
    fi
    printf '  random 4 KiB PCM reads, p50/p99 us: one track %s | six, first track %s | six, last track %s\n' \
        "$(rand one.mp4 $((size1 - L1[stream_0_size])) "$size1")" "$first" \
        "$(rand six.mp4 $((size6 - last6)) "$size6")"

    mount_fresh "$SRC" "$program"
    local t0 t1
    t0=$(date +%s.%N)
    cat "$MNT/six.mp4" >/dev/null
    t1=$(date +%s.%N)
    local bytes
    bytes=$(stat -c %s "$MNT/six.mp4")
    unmount
    awk -v a="$t0" -v b="$t1" -v n="$bytes" \
        'BEGIN { printf "  whole six-track file through the mount: %.1f s (%.0f MB/s, %.2f GB)\n", b - a, n / (b - a) / 1e6, n / 1e9 }'

    mount_fresh "$SRC" "$program"
    for i in 1 2 3 4; do timeout "$READ_SECONDS" cat "$MNT/six-$i.mp4" >/dev/null & done
    local peak=0
    for _ in $(seq $((READ_SECONDS * 2))); do
        sleep 0.5
        local now
        now=$(vm "$serving" VmHWM)
        ((now > peak)) && peak=$now
        jobs -r | grep -q . || break
    done
    wait $(jobs -p | grep -v "^$pid\$") 2>/dev/null || true
    unmount
    echo "  peak resident memory, four six-track files read at once for up to ${READ_SECONDS} s: ${peak} MiB (target < 96)"
}

measure "$BUILD/service/cli/kov-orvane" "this build"
[[ -n "$OTHER" ]] && measure "$OTHER" "other program: $OTHER"

t0=$(date +%s.%N)
ffmpeg -nostdin -v error -y -i "$SIX" -map 0 -c:v copy -c:a pcm_s16le "$WORK/remux.mov"
t1=$(date +%s.%N)
rm -f "$WORK/remux.mov"
awk -v a="$t0" -v b="$t1" 'BEGIN { printf "-- ffmpeg -map 0 -c:v copy -c:a pcm_s16le of the six-track file: %.1f s\n", b - a }'
