#!/bin/sh
# Renders the panel window in its main states into PNG files, under Xvfb,
# against stand-ins for systemctl, the service program, the updater and the
# update host, so nothing on this machine is touched.
# usage: panel/screenshots.sh <kov-orvane-panel-selftest> <output folder>
set -eu
selftest=$(realpath "$1")
mkdir -p "$2"
out=$(realpath "$2")
work=$(mktemp -d)
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/bin" "$work/home" "$work/config/kov-orvane" "$work/appdir/usr/bin" "$work/www/orvane" \
    "$work/home/Videos/Interviews" "$work/home/Videos/B-roll"
cat > "$work/bin/systemctl" <<STANDIN
#!/bin/sh
case "\$2" in
  is-active) cat "$work/state" ;;
  start) echo active > "$work/state" ;;
  stop) echo inactive > "$work/state" ;;
esac
STANDIN
cp "$(dirname "$0")/../tests/panel/kov-orvane-standin.sh" "$work/appdir/usr/bin/kov-orvane"
printf '#!/bin/sh\nsleep 1\necho "Resolve is running"\n' > "$work/updater"
chmod +x "$work/bin/systemctl" "$work/appdir/usr/bin/kov-orvane" "$work/updater"
printf 'ID=ubuntu\nID_LIKE=debian\n' > "$work/os-release"
printf '{"version": "2026.11.4"}\n' > "$work/www/orvane/latest.json"

python3 - "$work/www" "$work/port" 2>/dev/null <<'SERVER' &
import functools, http.server, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
server = http.server.HTTPServer(("127.0.0.1", 0), handler)
with open(sys.argv[2] + ".tmp", "w") as f:
    f.write(str(server.server_port))
import os
os.rename(sys.argv[2] + ".tmp", sys.argv[2])
server.serve_forever()
SERVER
server_pid=$!
for _ in 1 2 3 4 5 6 7 8 9 10; do [ -e "$work/port" ] && break; sleep 0.3; done
url="http://127.0.0.1:$(cat "$work/port")/orvane/latest.json"

panel() {
    xvfb-run -a -s "-screen 0 1024x768x24" env PATH="$work/bin:$PATH" HOME="$work/home" \
        XDG_CONFIG_HOME="$work/config" APPDIR="$work/appdir" KOV_SELFTEST_OS_RELEASE="$work/os-release" \
        KOV_SELFTEST_MOUNTINFO="$work/mountinfo" KOV_STANDIN_DIR="$work" \
        GTK_A11Y=none GSETTINGS_BACKEND=memory DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
        ASAN_OPTIONS=detect_leaks=0 "$@"
}

# A fresh install: no shares, service stopped, a decoder present, Resolve
# started once but ~/Orvane not yet in its Media Storage.
echo inactive > "$work/state"
echo "decoder=libavcodec.so.59 version=2026.10.28" > "$work/status-line"
echo ok > "$work/resolve-case"; : > "$work/resolve-listed"
: > "$work/mountinfo"
panel "$selftest" shot "$out/empty.png"

# Adding a folder: the naming dialog, then the new row and its toast.
panel "$selftest" add-shot "$work/home/Videos/Interviews" "$out/naming-dialog.png" toast shot "$out/added.png"

# Everyday use with everything to show: running and mounted, a share whose
# folder is gone, no decoder, an update.
echo active > "$work/state"
echo "decoder=none version=2026.10.28" > "$work/status-line"
echo ok > "$work/resolve-case"; echo "$work/home/Orvane" > "$work/resolve-listed"
echo "61 25 0:52 / $work/home/Orvane rw,nosuid,nodev,relatime shared:30 - fuse.kov-orvane kov-orvane ro,user_id=1000,group_id=1000" > "$work/mountinfo"
printf '1\tB-roll\t%s\n1\tCard\t/media/card/DCIM\n' "$work/home/Videos/B-roll" >> "$work/config/kov-orvane/shares.conf"
panel env APPIMAGE="$work/updater" KOV_SELFTEST_UPDATE_URL="$url" "$selftest" wait-manifest shot "$out/running.png" \
    click "Update now" toast shot "$out/updated.png"

# The service runs, but its mount is not there.
: > "$work/mountinfo"
panel "$selftest" shot "$out/not-mounted.png"

# DaVinci Resolve: adding the mount point, then each way it can go wrong.
echo "61 25 0:52 / $work/home/Orvane rw shared:30 - fuse.kov-orvane kov-orvane ro" > "$work/mountinfo"
echo "decoder=libavcodec.so.59 version=2026.10.28" > "$work/status-line"
echo ok > "$work/resolve-case"; : > "$work/resolve-listed"
panel "$selftest" shot "$out/resolve-unlisted.png" resolve toast shot "$out/resolve-added.png"
echo missing > "$work/resolve-case"
panel "$selftest" shot "$out/resolve-missing.png"
: > "$work/resolve-listed"
echo running > "$work/resolve-case"
panel "$selftest" resolve toast shot "$out/resolve-running.png"
echo failing > "$work/resolve-case"
panel "$selftest" resolve toast shot "$out/resolve-failed.png"
ls "$out"/*.png
