#!/usr/bin/env bash
# Memory benchmark: the service's peak resident memory (VmHWM, each case on a
# fresh mount) against the 128 MiB budget:
#   serial    1,000 one-minute AAC clips read whole, one after another
#   four      the same, four at a time
#   damaged   a damaged 5.1 clip (880 KB) read once in order; the worst of
#             DAMAGED_SEEDS damaged copies, each on its own mount, beside the
#             undamaged clip
#   crafted   50 crafted files whose tables claim 4.19 M access units each:
#             listed with ls -l, then the first 8 MiB of each read, four at once;
#             then four such files of 5 MB, whose bytes can hold every claimed
#             unit, read four at once
#   reload    16 readers of one-minute clips through a share while the share
#             list is reloaded (SIGHUP) every 100 ms
#   run       887 damaged 5.1 clips read whole one after another
# Usage: bench/mount-memory.sh BUILD_DIR [CASE...]   (default: every case; clips
# are made once into BUILD_DIR/bench-cache and BUILD_DIR/bench-memory)
set -euo pipefail
BUILD=${1:-build}
shift || true
CASES=${*:-serial four damaged crafted reload run}
HERE=$(dirname "$0")
PROGRAM=${PROGRAM:-$BUILD/service/cli/kov-orvane} # another build of the service to compare
CACHE=${BENCH_CACHE:-$BUILD/bench-cache}
WORK=${BENCH_WORK:-$BUILD/bench-memory} # a folder of its own for a second run at the same time
CLIPS="$WORK/clips"
CRAFTED="$WORK/crafted"
CRAFTED_BIG="$WORK/crafted-big"
DAMAGED="$WORK/damaged"
MNT="$WORK/mnt"
COUNT=${COUNT:-1000}
RUN_COUNT=${RUN_COUNT:-887}
DAMAGED_SEEDS=${DAMAGED_SEEDS:-8}
mkdir -p "$CACHE" "$CLIPS" "$CRAFTED" "$CRAFTED_BIG" "$DAMAGED" "$MNT"

one="$CACHE/clip-1min-audio.m4a"
[[ -s "$one" ]] || ffmpeg -nostdin -v error -y -f lavfi -i "anoisesrc=color=pink:amplitude=0.3:duration=60:seed=1" \
    -f lavfi -i "sine=frequency=440:duration=60" -filter_complex amix=inputs=2 -ac 2 -ar 48000 -c:a aac -b:a 128k \
    -fflags +bitexact -flags:a +bitexact "$one"
for i in $(seq 0 $((COUNT - 1))); do # copies, not links: one node and one source each
    [[ -s "$CLIPS/clip-$i.m4a" ]] || cp "$one" "$CLIPS/clip-$i.m4a"
done
# 18 s of six different channels at 384k: 870 KB.
six="$CACHE/clip-18s-5.1.m4a"
[[ -s "$six" ]] || ffmpeg -nostdin -v error -y -f lavfi -i "aevalsrc=0.3*sin(440*2*PI*t)+0.05*random(0)|\
0.3*sin(554*2*PI*t)+0.05*random(1)|0.3*sin(660*2*PI*t)|0.2*sin(55*2*PI*t)|0.3*sin(880*2*PI*t)+0.05*random(2)|\
0.3*sin(990*2*PI*t)+0.05*random(3):s=48000:c=5.1:d=18" -c:a aac -b:a 384k -fflags +bitexact -flags:a +bitexact \
    -map_metadata -1 "$six"
for i in $(seq 1 "$RUN_COUNT"); do
    [[ -s "$DAMAGED/damaged-$i.m4a" ]] || "$HERE/mutate.py" "$six" "$DAMAGED/damaged-$i.m4a" "$i"
done
# A small clip whose tables claim 4,194,304 access units of one byte each,
# all in one chunk: the sample count in the time-to-sample, sample-to-chunk
# and sample-size boxes of its audio track is patched, and the chunk table
# cut to its first chunk.
if [[ ! -s "$CRAFTED/crafted-49.m4a" ]]; then
    ffmpeg -nostdin -v error -y -f lavfi -i "sine=frequency=440:duration=5" -c:a aac "$WORK/small.m4a"
    python3 - "$WORK/small.m4a" "$CRAFTED/crafted-0.m4a" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
claim = 4194304
def boxes(start, end):
    while start + 8 <= end:
        size, kind = struct.unpack('>I4s', data[start:start + 8])
        if size < 8 or start + size > end:
            return
        yield start, size, kind
        start += size
def walk(start, end):
    for at, size, kind in boxes(start, end):
        if kind in (b'moov', b'trak', b'mdia', b'minf', b'stbl'):
            walk(at + 8, at + size)
        elif kind == b'stts':                                   # one entry: claim units of 1,000 ticks
            struct.pack_into('>III', data, at + 12, 1, claim, 1000)
        elif kind == b'stsc':
            struct.pack_into('>I', data, at + 16, 1)            # first chunk 1
            struct.pack_into('>I', data, at + 20, claim)        # samples per chunk
            struct.pack_into('>I', data, at + 12, 1)            # one entry
        elif kind == b'stsz':
            struct.pack_into('>II', data, at + 12, 1, claim)    # uniform size 1, count
        elif kind == b'stco':
            struct.pack_into('>I', data, at + 12, 1)            # one chunk
walk(0, len(data))
open(sys.argv[2], 'wb').write(data)
PY
    for i in $(seq 1 49); do cp "$CRAFTED/crafted-0.m4a" "$CRAFTED/crafted-$i.m4a"; done
fi
# The same with 5 MiB of free space after it: every claimed unit lies in the file.
if [[ ! -s "$CRAFTED_BIG/crafted-big-3.m4a" ]]; then
    python3 - "$CRAFTED/crafted-0.m4a" "$CRAFTED_BIG/crafted-big-0.m4a" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
pad = 5 << 20
open(sys.argv[2], 'wb').write(data + struct.pack('>I4s', pad, b'free') + bytes(pad - 8))
PY
    for i in 1 2 3; do cp "$CRAFTED_BIG/crafted-big-0.m4a" "$CRAFTED_BIG/crafted-big-$i.m4a"; done
fi

. "$HERE/mount-lib.sh"
kib() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
# Runs the command while sampling the service's VmRSS; prints "seconds max_rss_MiB hwm_MiB".
sampled() {
    local max=0 s e
    s=$(date +%s.%N)
    "$@" &
    local job=$!
    while kill -0 "$job" 2>/dev/null; do
        local r
        r=$(kib "$serving" VmRSS)
        ((r > max)) && max=$r
        sleep 0.05
    done
    wait "$job"
    e=$(date +%s.%N)
    awk -v a="$s" -v b="$e" -v m="$max" -v h="$(kib "$serving" VmHWM)" \
        'BEGIN { printf "%.1f s, VmRSS at most %d MiB, VmHWM %d MiB\n", b - a, m / 1024, h / 1024 }'
}
serial() { for f in "$MNT"/clip-*.m4a; do cat "$f" >/dev/null; done; }
four() { ls "$MNT"/clip-*.m4a | xargs -P 4 -n 25 cat >/dev/null; }
list() { ls -l "$1" >/dev/null; }
heads() { ls "$MNT"/crafted-*.m4a | xargs -P "${HEADS_AT_ONCE:-4}" -n 1 head -c $((8 << 20)) >/dev/null; }
damaged_run() { for i in $(seq 1 "$RUN_COUNT"); do cat "$MNT/damaged-$i.m4a" >/dev/null; done; }
# 16 readers of whole clips through the share while the list is reloaded
# every 100 ms until they are done.
reloaded() {
    local share=$1 readers
    ls "$share"/clip-*.m4a | head -64 | xargs -P 16 -n 4 cat >/dev/null &
    readers=$!
    while kill -0 "$readers" 2>/dev/null; do
        kill -HUP "$pid"
        sleep 0.1
    done
    wait "$readers"
}
hwm_of_one() { # file: VmHWM in MiB after reading it once through a fresh mount
    local dir="$WORK/one"
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$1" "$dir/"
    mount_fresh "$dir"
    cat "$MNT"/* >/dev/null
    vm "$serving" VmHWM
    unmount
}

echo "== memory benchmark (load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores)"
for c in $CASES; do
    case $c in
    serial)
        mount_fresh "$CLIPS"
        echo "-- $COUNT one-minute clips read whole, one after another: $(sampled serial)"
        unmount ;;
    four)
        mount_fresh "$CLIPS"
        echo "-- $COUNT one-minute clips read whole, four at a time:    $(sampled four)"
        unmount ;;
    damaged)
        worst=0 worst_seed=0
        for i in $(seq 1 "$DAMAGED_SEEDS"); do
            h=$(hwm_of_one "$DAMAGED/damaged-$i.m4a")
            ((h > worst)) && worst=$h worst_seed=$i
        done
        echo "-- a damaged 5.1 clip read once in order: VmHWM at most $worst MiB (damaged-$worst_seed of $DAMAGED_SEEDS);" \
            "undamaged: $(hwm_of_one "$six") MiB" ;;
    crafted)
        mount_fresh "$CRAFTED"
        echo "-- ls -l of 50 crafted files claiming 4.19 M units each: $(sampled list "$MNT")"
        echo "   listed: $(ls "$MNT" | wc -l) files; sizes $(stat -c %s "$MNT"/crafted-0.m4a) (rewritten) vs $(stat -c %s "$CRAFTED"/crafted-0.m4a) (source)"
        echo "-- then the first 8 MiB of each, four at once: $(sampled heads)"
        unmount
        mount_fresh "$CRAFTED_BIG"
        echo "-- four such files of 5 MB holding every claimed unit, 8 MiB of each at once: $(sampled heads)"
        unmount ;;
    reload)
        conf="$WORK/shares.conf"
        printf '1\tclips\t%s\n' "$(realpath "$CLIPS")" >"$conf"
        "$PROGRAM" "$MNT" --config "$conf" 2>"$WORK/service.log" &
        pid=$!
        wait_mount "$MNT" "$WORK/service.log"
        serving_child
        echo "-- 16 readers of 64 clips, shares reloaded every 100 ms: $(sampled reloaded "$MNT/clips")"
        echo "   reloads: $(grep -c 'reloaded shares' "$WORK/service.log")"
        unmount ;;
    run)
        mount_fresh "$DAMAGED"
        echo "-- $RUN_COUNT damaged 5.1 clips read whole, one after another: $(sampled damaged_run)"
        unmount ;;
    *) echo "unknown case $c" >&2; exit 2 ;;
    esac
done
