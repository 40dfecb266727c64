#!/usr/bin/env bash
# Large tree benchmark: a tree of FOLDERS x PER empty files on tmpfs walked
# through the mount with `find` twice, then again after every folder of the
# source was renamed, then with every file looked up (`find -size`, so the
# kernel remembers them all); then one folder of FLAT files listed with
# `ls -f`. After each step: files listed against files there, `find` errors,
# descriptors the service holds, its resident memory, and what it grew by
# since the start per file of the tree (after the walk that looks every file
# up: the cost of a remembered file, all tables included). Last, a folder of
# CLIPS copies of a small AAC clip (made by ffmpeg) listed with `ls -l`: a
# rewritten clip the kernel remembers holds no descriptor.
# Usage: bench/large-tree.sh BUILD_DIR   (FOLDERS, PER, FLAT, CLIPS to change the sizes;
# NOFILE to run the service under that descriptor limit, soft and hard)
set -euo pipefail
BUILD=${1:-build}
PROGRAM="$BUILD/service/cli/kov-orvane"
WORK="$BUILD/bench-tree"
MNT="$WORK/mnt"
FOLDERS=${FOLDERS:-200}
PER=${PER:-1000}
FLAT=${FLAT:-1000000}
CLIPS=${CLIPS:-300}
mkdir -p "$WORK" "$MNT"
# The source lives on tmpfs, so the walk measures the service, not a disk.
SRC=$(mktemp -d /dev/shm/kov-bench-tree.XXXXXX)
. "$(dirname "$0")/mount-lib.sh"
trap '[[ -n "$pid" ]] && kill -TERM "$pid" 2>/dev/null; sleep 0.5; rm -rf "$SRC"' EXIT

make_files() { # folder count prefix
    python3 - "$@" <<'PY'
import os, sys
folder, count, prefix = sys.argv[1], int(sys.argv[2]), sys.argv[3]
os.makedirs(folder, exist_ok=True)
for i in range(count):
    os.close(os.open(f"{folder}/{prefix}{i:07d}", os.O_CREAT | os.O_WRONLY, 0o644))
PY
}
kib() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
fds() { find "/proc/$serving/fd" -mindepth 1 -maxdepth 1 | wc -l; }
start_rss=0
report() { # label listed expected errors
    local rss
    rss=$(kib "$serving" VmRSS)
    printf '%-34s listed %8d of %8d, errors %d, descriptors %5d, VmRSS %4d MiB, VmHWM %4d MiB, %4d bytes/file\n' \
        "$1" "$2" "$3" "$4" "$(fds)" $((rss / 1024)) $(($(kib "$serving" VmHWM) / 1024)) \
        $(((rss - start_rss) * 1024 / $3))
}
walk() { # label [find test]: find over the tree; counts files only
    local listed errors
    listed=$(find "$MNT/tree" -type f "${@:2}" 2>"$WORK/find.err" | wc -l) || true
    errors=$(wc -l <"$WORK/find.err")
    report "$1" "$listed" $((FOLDERS * PER)) "$errors"
    [[ "$errors" == 0 ]] || head -3 "$WORK/find.err"
}

echo "== large tree benchmark ($FOLDERS folders of $PER files, one folder of $FLAT; $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg))"
for d in $(seq 0 $((FOLDERS - 1))); do make_files "$SRC/tree/d$d" "$PER" f; done
[[ -z "${NOFILE:-}" ]] || ulimit -n "$NOFILE"
mount_fresh "$SRC"
echo "service descriptor limit: $(awk '/Max open files/ { print $4 " soft, " $5 " hard" }' "/proc/$serving/limits")"
start_rss=$(kib "$serving" VmRSS)
echo "at start: descriptors $(fds), VmRSS $((start_rss / 1024)) MiB"
walk "find, first walk:"
walk "find, second walk:"
for d in "$SRC"/tree/d*; do mv "$d" "$d-renamed"; done
sleep 1.2 # the kernel keeps names for 1 s
walk "find after renaming every folder:"
walk "find looking every file up:" -size -1k
rm -rf "$SRC/tree"
make_files "$SRC/flat" "$FLAT" f
listed=$(ls -f "$MNT/flat" | wc -l)
report "ls -f of one folder:" $((listed - 2)) "$FLAT" 0
rm -rf "$SRC/flat"
mkdir "$SRC/clips"
ffmpeg -v error -f lavfi -i sine=d=1 -c:a aac "$SRC/clips/c0.m4a"
for i in $(seq 1 $((CLIPS - 1))); do cp "$SRC/clips/c0.m4a" "$SRC/clips/c$i.m4a"; done
listed=$(ls -l "$MNT/clips" | grep -c '\.m4a$') || true
report "ls -l of rewritten clips:" "$listed" "$CLIPS" 0
unmount
