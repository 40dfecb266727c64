#!/usr/bin/env bash
# Rewrite benchmark: --emit against an ffmpeg remux to PCM, PCM production
# against ffmpeg's single-threaded AAC decode, layout build time, and the first
# 4 KiB of PCM at the start, middle and end of a fresh layout, after what an open prepares.
# Usage: bench/rewrite.sh BUILD_DIR   (clips are generated once into BUILD_DIR/bench-cache)
set -euo pipefail
BUILD=${1:-build}
PROGRAM="$BUILD/service/cli/kov-orvane"
BENCH="$BUILD/bench/bench_rewrite"
CACHE="$BUILD/bench-cache"
mkdir -p "$CACHE"

"$(dirname "$0")/clips.sh" "$CACHE" clip-10min-720p.mp4 clip-2h-audio.mp4

# Runs a command N times; prints "wall cpu" (seconds) of the run with the least
# CPU time. The machine may be shared: CPU time (user + system) is the steadier
# figure, wall time is what a user waits.
best_of() {
    local n=$1 best_wall="" best_cpu=""
    shift
    for ((i = 0; i < n; i++)); do
        local out
        out=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>&1; } 2>&1 | tail -1)
        read -r wall user sys <<<"$out"
        local cpu
        cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }')
        if [[ -z "$best_cpu" ]] || awk -v a="$cpu" -v b="$best_cpu" 'BEGIN { exit !(a < b) }'; then
            best_cpu=$cpu
            best_wall=$wall
        fi
    done
    echo "$best_wall $best_cpu"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

for clip in clip-10min-720p.mp4 clip-2h-audio.mp4; do
    in="$CACHE/$clip"
    cat "$in" >/dev/null # warm the page cache for both contenders
    echo "== $clip ($(du -h "$in" | cut -f1))"
    runs=3
    [[ $clip == clip-2h* ]] && runs=1
    read -r w_emit c_emit < <(best_of $runs "$PROGRAM" --emit "$in" "$CACHE/out-emit.mov")
    read -r w_remux c_remux < <(best_of $runs ffmpeg -nostdin -v error -y -i "$in" -map 0 -c copy -c:a pcm_s16le "$CACHE/out-ffmpeg.mov")
    rm -f "$CACHE/out-emit.mov" "$CACHE/out-ffmpeg.mov"
    echo "  --emit wall ${w_emit}s cpu ${c_emit}s | ffmpeg remux to PCM wall ${w_remux}s cpu ${c_remux}s" \
        "| emit/ffmpeg wall $(ratio "$w_emit" "$w_remux") cpu $(ratio "$c_emit" "$c_remux") (target <= 1)"

    declare -A m=()
    while IFS='=' read -r k v; do m[$k]=$v; done < <("$BENCH" "$in")
    read -r w_dec c_dec < <(best_of $runs ffmpeg -nostdin -v error -threads 1 -i "$in" -map 0:a -f s16le -y /dev/null)
    echo "  decoder: ${m[decoder]}"
    echo "  sequential PCM, 128 KiB reads: wall ${m[sequential_pcm_s]}s cpu ${m[sequential_pcm_cpu_s]}s" \
        "(${m[sequential_realtime]}x realtime) | ffmpeg -threads 1 decode wall ${w_dec}s cpu ${c_dec}s" \
        "| speed ours/ffmpeg wall $(ratio "$w_dec" "${m[sequential_pcm_s]}") cpu $(ratio "$c_dec" "${m[sequential_pcm_cpu_s]}") (target >= 0.9)"
    echo "  movie box ${m[moov_bytes]} bytes; scan_media ${m[scan_ms]} ms; build_layout median ${m[build_layout_ms]} ms," \
        "best ${m[build_layout_min_ms]} ms (target < $([[ $clip == clip-2h* ]] && echo 25 || echo 10) ms)"
    echo "  first 4 KiB of PCM on a fresh layout (median / best): start ${m[first_4k_start_us]} / ${m[first_4k_start_min_us]} us," \
        "middle ${m[first_4k_middle_us]} / ${m[first_4k_middle_min_us]} us, end ${m[first_4k_end_us]} / ${m[first_4k_end_min_us]} us (target < 1000 us);" \
        "the open's preparation before it ${m[prepare_us]} us"
    echo "  4 KiB of PCM after a jump within an open layout (median / best): back to back ${m[jump_4k_us]} / ${m[jump_4k_min_us]} us," \
        "5 ms apart ${m[jump_4k_spaced_us]} / ${m[jump_4k_spaced_min_us]} us"
    unset m
done

# One line per codec other than AAC: --emit against an ffmpeg remux to PCM (of
# the depth --emit writes) of the same 10 minutes of stereo audio (made once;
# CODEC_SECONDS shortens it).
seconds=${CODEC_SECONDS:-600}
# Each row: codec, container, the PCM format ffmpeg remuxes to (16-bit when
# empty), then the encoder's arguments, which hold colons of their own.
for row in "flac:mp4::-c:a flac -sample_fmt s16 -strict -2" "alac:m4a::-c:a alac -sample_fmt s16p" \
    "flac24:mp4:pcm_s24be:-c:a flac -sample_fmt s32 -strict -2" \
    "opus:mp4::-c:a libopus -strict -2" "eac3:mov::-c:a eac3 -ac 6" "vorbis:mp4::-c:a libvorbis"; do
    IFS=: read -r codec ext pcm args <<<"$row"
    in="$CACHE/codec-$codec-${seconds}s.$ext"
    if [[ ! -s $in ]]; then
        # shellcheck disable=SC2086
        ffmpeg -nostdin -v error -y -f lavfi -i "anoisesrc=color=pink:amplitude=0.2:duration=$seconds:seed=5" \
            -ac 2 -ar 48000 $args "$in" || { echo "== $codec: this ffmpeg cannot encode it, skipped"; continue; }
    fi
    cat "$in" >/dev/null
    read -r w_emit c_emit < <(best_of 3 "$PROGRAM" --emit "$in" "$CACHE/out-emit.mov")
    read -r w_remux c_remux < <(best_of 3 ffmpeg -nostdin -v error -y -i "$in" -map 0 -c copy -c:a "${pcm:-pcm_s16le}" "$CACHE/out-ffmpeg.mov")
    rm -f "$CACHE/out-emit.mov" "$CACHE/out-ffmpeg.mov"
    echo "== $codec ${seconds}s: --emit wall ${w_emit}s cpu ${c_emit}s | ffmpeg remux to PCM wall ${w_remux}s" \
        "cpu ${c_remux}s | emit/ffmpeg wall $(ratio "$w_emit" "$w_remux") cpu $(ratio "$c_emit" "$c_remux")"
done
