# Helpers the mount benchmarks share. Source it after setting PROGRAM, WORK
# and MNT; the service's standard error goes to $WORK/service.log.

get() { sed -n "s/^$1=//p"; } # one value of key=value output
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
runs() { for _ in $(seq "$RUNS"); do "$@"; done | median; } # median of RUNS runs of a command
vm() { awk -v k="$2:" '$1 == k { print int($2 / 1024) }' "/proc/$1/status"; } # MiB

mounted() { awk -v p="$(realpath "$1")" '$5 == p { f = 1 } END { exit !f }' /proc/self/mountinfo; }
wait_mount() { # mount point [log to show when it does not come up]
    for _ in $(seq 300); do mounted "$1" && return; sleep 0.05; done
    echo "mount at $1 failed" >&2
    [[ -z "${2:-}" ]] || cat "$2" >&2
    exit 1
}

# The started process only supervises; the serving child is the one whose
# memory and descriptors are measured.
pid=""
serving=""
serving_child() { serving=$(pgrep -o -P "$pid" || echo "$pid"); }
mount_fresh() { # source folder [program, default $PROGRAM]
    "${2:-$PROGRAM}" "$1" "$MNT" 2>"$WORK/service.log" &
    pid=$!
    wait_mount "$MNT" "$WORK/service.log"
    serving_child
}
unmount() {
    kill -TERM "$pid"
    wait "$pid" || echo "service exited with $?" >&2
    pid=""
}
trap '[[ -n "$pid" ]] && kill -TERM "$pid" 2>/dev/null; true' EXIT
