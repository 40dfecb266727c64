#!/bin/sh
# Stands in for kov-orvane behind the panel in the window tests and in
# `make screenshots`. It answers --status with the line in
# $KOV_STANDIN_DIR/status-line, and --status --scan after the seconds in
# scan-delay with the Nth line of scan-lines for the Nth scan (scan.log
# records each scan's arguments), and --resolve-register the way the real
# program does, for the case named in resolve-case: ok, missing (Resolve never
# started), running (Resolve open) or failing (a full disk). resolve-listed
# holds the registered path; resolve.log records every registration call.
d=$KOV_STANDIN_DIR
case "$1" in
  --status)
    if [ "$2" = --scan ]; then
      echo "$*" >> "$d/scan.log"
      sleep "$(cat "$d/scan-delay" 2>/dev/null || echo 0)"
      sed -n "$(wc -l < "$d/scan.log")p" "$d/scan-lines" 2>/dev/null
    else
      cat "$d/status-line"
    fi
    exit 0 ;;
  --resolve-register) echo "$*" >> "$d/resolve.log" ;;
  *) exit 2 ;;
esac
case_=$(cat "$d/resolve-case"); listed=$(cat "$d/resolve-listed" 2>/dev/null)
if [ "$2" = status ]; then
  [ "$case_" = missing ] && { printf '.config.data:\n  (missing)\nconfig.dat:\n  (missing)\n'; exit 0; }
  printf '.config.data:\n  /mnt/media\n'; [ -n "$listed" ] && printf '  %s\n' "$listed"
  printf 'config.dat:\n  /mnt/media\n'; [ -n "$listed" ] && printf '  %s\n' "$listed"
  exit 0
fi
case "$case_" in
  missing) echo 'error: Resolve config not found (is DaVinci Resolve installed?)' >&2; exit 1 ;;
  running) echo 'error: DaVinci Resolve is running; close it first (it overwrites these files on exit).' >&2; exit 1 ;;
  failing) echo "error: /srv/full/config.dat.kovtmp: No space left on device" >&2; exit 1 ;;
esac
if [ "$2" = add ]; then
  [ "$listed" = "$3" ] && { echo "$3 already present; no change."; exit 0; }
  echo "$3" > "$d/resolve-listed"; echo "$3 added to Resolve Media Storage."
else
  [ "$listed" = "$3" ] || { echo "$3 already absent; no change."; exit 0; }
  : > "$d/resolve-listed"; echo "$3 removed from Resolve Media Storage."
fi
