#!/usr/bin/env bash
# Fragmented recordings benchmark: a 2-hour recording in 1-second fragments
# (7,200 moofs; 720p video and two AAC tracks) beside the same recording
# unfragmented. The first-lookup cost (analysis and layout build, warm page
# cache) with its number of reads; random 4 KiB PCM reads through fresh
# mounts; and, on a 10-minute cut of the same recording, the whole rewritten
# file read through the mount beside the ffmpeg remux to PCM.
# Usage: bench/fragments.sh BUILD_DIR   (clips: BUILD_DIR/bench-cache, made once)
set -euo pipefail
BUILD=${1:-build}
PROGRAM="$BUILD/service/cli/kov-orvane"
TOOL="$BUILD/bench/bench_mount"
LOOKUP="$BUILD/bench/bench_fragments"
CACHE=${BENCH_CACHE:-$BUILD/bench-cache}
WORK="$BUILD/bench-fragments"
SRC="$WORK/src"
MNT="$WORK/mnt"
RUNS=${RUNS:-5}
mkdir -p "$CACHE" "$SRC" "$MNT"

"$(dirname "$0")/clips.sh" "$CACHE" frag-2h-1s.mp4 plain-2h.mp4 frag-10min-1s.mp4 plain-10min.mp4
for f in frag-2h-1s.mp4 plain-2h.mp4 frag-10min-1s.mp4 plain-10min.mp4; do
    [[ -e "$SRC/$f" ]] || ln "$CACHE/$f" "$SRC/$f" 2>/dev/null || cp "$CACHE/$f" "$SRC/$f"
done
cat "$SRC"/*.mp4 >/dev/null # warm page cache for every contender

. "$(dirname "$0")/mount-lib.sh"

echo "== fragmented recordings benchmark (load average at start: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores)"
echo "-- first lookup: analysis + layout build, warm page cache, median of 9 (target: fragmented < 100 ms)"
for f in frag-2h-1s.mp4 plain-2h.mp4; do
    out=$("$LOOKUP" "$SRC/$f" 9)
    printf '  %-18s %6s ms wall (%s ms CPU), %s reads, %s moofs, samples %s/%s/%s, new movie box %s B\n' "$f" \
        "$(get scan_and_layout_ms <<<"$out")" "$(get scan_and_layout_cpu_ms <<<"$out")" "$(get scan_reads <<<"$out")" \
        "$(get moofs <<<"$out")" "$(get track1_samples <<<"$out")" "$(get track2_samples <<<"$out")" \
        "$(get track3_samples <<<"$out")" "$(get new_moov_bytes <<<"$out")"
done

rand() { # file -> p50 of random 4 KiB reads in its first PCM stream, fresh mount
    local -A R
    eval "$("$TOOL" regions "$SRC/$1" | sed 's/^/R[/; s/=/]=/')"
    mount_fresh "$SRC"
    "$TOOL" random "$MNT/$1" "${R[pcm_offset]}" $((R[pcm_offset] + R[pcm_size])) 4096 2000 | get p50_us
    unmount
}
echo "-- random 4 KiB PCM reads through the mount, p50 us (median of $RUNS runs; target: fragmented as fast as plain)"
printf '  fragmented 2 h: %s   unfragmented 2 h: %s\n' "$(runs rand frag-2h-1s.mp4)" "$(runs rand plain-2h.mp4)"

whole() { # file -> seconds to read the whole rewritten file through a fresh mount
    local size
    mount_fresh "$SRC"
    size=$(stat -c %s "$MNT/$1")
    "$TOOL" seq "$MNT/$1" 0 "$size" | get seconds
    unmount
}
remux() {
    local s e
    s=$(date +%s.%N)
    ffmpeg -nostdin -v error -y -i "$SRC/$1" -map 0 -c copy -c:a pcm_s16le "$WORK/remux.mov"
    e=$(date +%s.%N)
    rm -f "$WORK/remux.mov"
    awk -v a="$s" -v b="$e" 'BEGIN { printf "%.3f\n", b - a }'
}
n=$((RUNS < 3 ? RUNS : 3))
echo "-- whole rewritten 10-minute file, seconds (median of $n; target: mount faster than the remux)"
printf '  fragmented: mount %s  ffmpeg remux %s   unfragmented: mount %s  ffmpeg remux %s\n' \
    "$(for _ in $(seq $n); do whole frag-10min-1s.mp4; done | median)" \
    "$(for _ in $(seq $n); do remux frag-10min-1s.mp4; done | median)" \
    "$(for _ in $(seq $n); do whole plain-10min.mp4; done | median)" \
    "$(for _ in $(seq $n); do remux plain-10min.mp4; done | median)"
pid=""
