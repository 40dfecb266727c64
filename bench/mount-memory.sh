#!/usr/bin/env bash
# Memory benchmark: the service's resident memory (sampled every 50 ms, and
# its peak) while a folder of 1,000 one-minute AAC clips is read whole through
# the mount, one clip after another and four at a time, and while `ls -l`
# lists 50 crafted files whose tables claim millions of access units.
# Usage: bench/mount-memory.sh BUILD_DIR   (clips: BUILD_DIR/bench-cache, made once)
set -euo pipefail
BUILD=${1:-build}
PROGRAM="$BUILD/service/cli/kov-orvane"
CACHE=${BENCH_CACHE:-$BUILD/bench-cache}
WORK="$BUILD/bench-memory"
CLIPS="$WORK/clips"
CRAFTED="$WORK/crafted"
MNT="$WORK/mnt"
COUNT=${COUNT:-1000}
mkdir -p "$CACHE" "$CLIPS" "$CRAFTED" "$MNT"

one="$CACHE/clip-1min-audio.m4a"
[[ -s "$one" ]] || ffmpeg -nostdin -v error -y -f lavfi -i "anoisesrc=color=pink:amplitude=0.3:duration=60:seed=1" \
    -f lavfi -i "sine=frequency=440:duration=60" -filter_complex amix=inputs=2 -ac 2 -ar 48000 -c:a aac -b:a 128k \
    -fflags +bitexact -flags:a +bitexact "$one"
for i in $(seq 0 $((COUNT - 1))); do # copies, not links: one node and one source each
    [[ -s "$CLIPS/clip-$i.m4a" ]] || cp "$one" "$CLIPS/clip-$i.m4a"
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

. "$(dirname "$0")/mount-lib.sh"
kib() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
# Runs the command while sampling the service's VmRSS; prints "seconds max_rss_MiB hwm_MiB".
sampled() {
    local max=0 s e
    s=$(date +%s.%N)
    "$@" &
    local job=$!
    while kill -0 "$job" 2>/dev/null; do
        local r
        r=$(kib "$pid" VmRSS)
        ((r > max)) && max=$r
        sleep 0.05
    done
    wait "$job"
    e=$(date +%s.%N)
    awk -v a="$s" -v b="$e" -v m="$max" -v h="$(kib "$pid" VmHWM)" \
        'BEGIN { printf "%.1f s, VmRSS at most %d MiB, VmHWM %d MiB\n", b - a, m / 1024, h / 1024 }'
}
serial() { for f in "$MNT"/clip-*.m4a; do cat "$f" >/dev/null; done; }
four() { ls "$MNT"/clip-*.m4a | xargs -P 4 -n 25 cat >/dev/null; }
read_head() { head -c $((256 << 20)) "$1" >/dev/null; }
list() { ls -l "$1" >/dev/null; }

echo "== memory benchmark ($COUNT one-minute clips; load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores)"
mount_fresh "$CLIPS"
echo "-- read whole, one after another: $(sampled serial)"
unmount
mount_fresh "$CLIPS"
echo "-- read whole, four at a time:    $(sampled four)"
unmount
mount_fresh "$CRAFTED"
echo "-- ls -l of 50 crafted files claiming 4.19 M units each: $(sampled list "$MNT")"
echo "   listed: $(ls "$MNT" | wc -l) files; sizes $(stat -c %s "$MNT"/crafted-0.m4a) (rewritten) vs $(stat -c %s "$CRAFTED"/crafted-0.m4a) (source)"
echo "-- reading the first 256 MiB of one: $(sampled read_head "$MNT"/crafted-0.m4a)"
unmount
