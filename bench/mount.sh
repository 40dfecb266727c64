#!/usr/bin/env bash
# Mount benchmark: reads through fresh mounts of kov-orvane beside reads of the
# source (what `cat` does: 128 KiB at a time) and beside the ffmpeg remux;
# first-read latency in the PCM region; random-read percentiles; parallel
# readers and the service's peak memory; a folder of 2,000 small clips.
# Every figure is the median of several runs.
# Usage: bench/mount.sh BUILD_DIR   (clips: BUILD_DIR/bench-cache, made once, shared with the rewrite benchmark)
set -euo pipefail
BUILD=${1:-build}
PROGRAM="$BUILD/service/cli/kov-orvane"
TOOL="$BUILD/bench/bench_mount"
CACHE=${BENCH_CACHE:-$BUILD/bench-cache}
WORK="$BUILD/bench-mount"
SRC="$WORK/src"
SCALE="$WORK/scale"
MNT="$WORK/mnt"
RUNS=${RUNS:-5}
mkdir -p "$CACHE" "$SRC" "$SCALE" "$MNT"

# The same deterministic clips as the rewrite benchmark.
"$(dirname "$0")/clips.sh" "$CACHE" clip-10min-720p.mp4 clip-3min-audio.mp4 clip-1s-audio.mp4
# The clips' own bit-exact flags, for the video-only copy made below.
EXACT=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1)

CLIP="$SRC/clip.mp4"
PLAIN="$SRC/plain.mp4"
[[ -e "$CLIP" ]] || ln "$CACHE/clip-10min-720p.mp4" "$CLIP" 2>/dev/null || cp "$CACHE/clip-10min-720p.mp4" "$CLIP"
# The same video without its audio: a large file that passes through untouched.
[[ -s "$PLAIN" ]] || ffmpeg -nostdin -v error -y -i "$CLIP" -map 0:v -c copy "${EXACT[@]}" "$PLAIN"
# Four distinct files (copies, not links: one node per source file) for parallel readers.
for i in 1 2 3 4; do
    [[ -s "$SRC/par-$i.mp4" ]] || cp "$CACHE/clip-3min-audio.mp4" "$SRC/par-$i.mp4"
done
if [[ ! -e "$SCALE/clip-1999.mp4" ]]; then
    for i in $(seq 0 1999); do cp "$CACHE/clip-1s-audio.mp4" "$SCALE/clip-$i.mp4"; done
fi

. "$(dirname "$0")/mount-lib.sh"

declare -A R
eval "$("$TOOL" regions "$CLIP" | sed 's/^/R[/; s/=/]=/')"
plain_size=$(stat -c %s "$PLAIN")
pcm_end=$((R[pcm_offset] + R[pcm_size]))
cat "$CLIP" "$PLAIN" "$SRC"/par-*.mp4 >/dev/null # both contenders read the source from the page cache

mount_fresh "$SRC"
unmount
echo "== mount benchmark (median of $RUNS runs; $(sed -n 's/^kov-orvane: //p' "$WORK/service.log" | head -1))"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
echo "clip $(du -h "$CLIP" | cut -f1): pass-through region ${R[overlay_offset]} B, PCM ${R[pcm_size]} B, rewritten ${R[total_size]} B"

seq_mount() { # file offset length -> MB/s through a fresh mount
    mount_fresh "$SRC"
    "$TOOL" seq "$MNT/$1" "$2" "$3" | get mb_per_s
    unmount
}
seq_source() { "$TOOL" seq "$SRC/$1" "$2" "$3" | get mb_per_s; }

echo "-- sequential reads, MB/s (target: pass-through >= 2000)"
printf '  pass-through region of the clip: mount %s   source %s\n' \
    "$(runs seq_mount clip.mp4 0 "${R[overlay_offset]}")" "$(runs seq_source clip.mp4 0 "${R[overlay_offset]}")"
printf '  plain (non-AAC) file:            mount %s   source %s\n' \
    "$(runs seq_mount plain.mp4 0 "$plain_size")" "$(runs seq_source plain.mp4 0 "$plain_size")"

whole_mount() { mount_fresh "$SRC"; "$TOOL" seq "$MNT/clip.mp4" 0 "${R[total_size]}" | get seconds; unmount; }
remux() {
    local s e
    s=$(date +%s.%N)
    ffmpeg -nostdin -v error -y -i "$CLIP" -map 0 -c copy -c:a pcm_s16le "$WORK/remux.mov"
    e=$(date +%s.%N)
    awk -v a="$s" -v b="$e" 'BEGIN { printf "%.3f\n", b - a }'
}
n=$(( RUNS < 3 ? RUNS : 3 ))
t_whole=$(for _ in $(seq $n); do whole_mount; done | median)
t_remux=$(for _ in $(seq $n); do remux; done | median)
rm -f "$WORK/remux.mov"
echo "-- whole rewritten clip: through the mount ${t_whole}s   ffmpeg remux to PCM ${t_remux}s (target: mount faster)"

# An editor reading a settled clip again: the same mount, the clip read whole
# once, then again (what the kernel's page cache may answer).
again() {
    mount_fresh "$SRC"
    "$TOOL" seq "$MNT/clip.mp4" 0 "${R[total_size]}" >/dev/null
    for _ in 1 2 3; do "$TOOL" seq "$MNT/clip.mp4" 0 "${R[total_size]}" | get seconds; done | median
    unmount
}
echo "-- whole rewritten clip read again on the same mount: $(runs again)s"

seq_pcm() { mount_fresh "$SRC"; "$TOOL" seq "$MNT/clip.mp4" "${R[pcm_offset]}" "${R[pcm_size]}" | get seconds; unmount; }
decode() {
    local s e
    s=$(date +%s.%N)
    ffmpeg -nostdin -v error -threads 1 -i "$CLIP" -map 0:a -f s16le -y /dev/null
    e=$(date +%s.%N)
    awk -v a="$s" -v b="$e" 'BEGIN { printf "%.3f\n", b - a }'
}
t_pcm=$(for _ in $(seq $n); do seq_pcm; done | median)
t_dec=$(for _ in $(seq $n); do decode; done | median)
echo "-- sequential PCM of one reader (128 KiB reads, fresh mount) ${t_pcm}s; ffmpeg -threads 1 decode ${t_dec}s:" \
    "$(awk -v a="$t_dec" -v b="$t_pcm" 'BEGIN { printf "%.2f", a / b }')x (target >= 1.6);" \
    "whole clip $(awk -v a="$t_remux" -v b="$t_whole" 'BEGIN { printf "%.2f", a / b }')x faster than the remux (target >= 1.5)"

first() { # offset -> read_us of the first 4 KiB after a cold open on a fresh mount
    mount_fresh "$SRC"
    "$TOOL" first "$MNT/clip.mp4" "$1" | get read_us
    unmount
}
mid=$((R[pcm_offset] + R[pcm_size] / 2 / 4096 * 4096))
echo "-- first 4 KiB of PCM after a cold open, us (target < 1000):" \
    "start $(runs first "${R[pcm_offset]}")  middle $(runs first "$mid")  end $(runs first $((pcm_end - 4096)))"

rand() { # start end size count -> "p50 p99" on a fresh mount
    mount_fresh "$SRC"
    local out
    out=$("$TOOL" random "$MNT/clip.mp4" "$1" "$2" "$3" "$4")
    unmount
    echo "$(get p50_us <<<"$out") $(get p99_us <<<"$out")"
}
rand_line() { # label start end size count
    local all
    all=$(for _ in $(seq 3); do rand "$2" "$3" "$4" "$5"; done)
    printf '  %-28s p50 %8s us   p99 %8s us\n' "$1" "$(cut -d' ' -f1 <<<"$all" | median)" \
        "$(cut -d' ' -f2 <<<"$all" | median)"
}
echo "-- random reads (no readahead; median of 3 runs; target PCM 4 KiB p50 < 250 us)"
rand_line "pass-through 4 KiB" 0 "${R[overlay_offset]}" 4096 2000
rand_line "pass-through 128 KiB" 0 "${R[overlay_offset]}" 131072 300
rand_line "PCM 4 KiB" "${R[pcm_offset]}" "$pcm_end" 4096 2000
rand_line "PCM 128 KiB" "${R[pcm_offset]}" "$pcm_end" 131072 300

par() { # readers -> aggregate MB/s; leaves the peak memory in $WORK/hwm
    mount_fresh "$SRC"
    local files=()
    for i in $(seq "$1"); do files+=("$MNT/par-$i.mp4"); done
    "$TOOL" parallel "${files[@]}" | get mb_per_s
    vm "$serving" VmHWM >"$WORK/hwm"
    unmount
}
echo "-- parallel readers of distinct rewritten 3-minute clips, aggregate MB/s:" \
    "1: $(runs par 1)  2: $(runs par 2)  4: $(runs par 4)"
hwm=$(for _ in $(seq 3); do par 4 >/dev/null; cat "$WORK/hwm"; done | median)
echo "-- peak resident memory with 4 rewritten files read at once: ${hwm} MiB (target < 96)"

mount_fresh "$SCALE"
s=$(date +%s.%N)
listed=$(ls -l "$MNT" | grep -c 'clip-')
e=$(date +%s.%N)
fds=$(ls "/proc/$serving/fd" | wc -l)
printf -- '-- ls -l of 2,000 AAC clips: %s entries in %.2fs; service VmRSS %s MiB, VmHWM %s MiB, %s descriptors open\n' \
    "$listed" "$(awk -v a="$s" -v b="$e" 'BEGIN { print b - a }')" "$(vm "$serving" VmRSS)" "$(vm "$serving" VmHWM)" "$fds"
unmount
pid=""
