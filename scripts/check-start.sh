#!/usr/bin/env bash
# Runs start.sh once as a newcomer without a display would, and checks what
# they would see: its screenshot shows Morphex's main window, the window is
# there on the virtual display, and stopping the script leaves no process.
set -euo pipefail
. "$(dirname "$0")/common.sh"
title="Morphex - File conversion utility"
prefix="$(build_root)/start/wineprefix"
log=$(mktemp /tmp/morphex-start-check.XXXXXX)
start_pid=""
fail() {
    echo "start.sh check: $*" >&2
    sed 's/^/  start.sh: /' "$log" >&2
    [ -z "$start_pid" ] || kill -TERM "$start_pid" 2>/dev/null || true
    exit 1
}
trap 'rm -f "$log"' EXIT

# Every process of this prefix carries its path in its environment.
prefix_processes() {
    grep -lsz "^WINEPREFIX=$prefix\$" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true
}

# Built first, so that the wait below counts the start alone.
"$repo/scripts/setup.sh"
"$repo/scripts/build.sh" x86_64 >/dev/null
env -u DISPLAY timeout --signal=TERM 600 "$repo/scripts/start.sh" </dev/null >"$log" 2>&1 &
start_pid=$!
shot=""
for _ in $(seq 600); do  # a first start prepares Wine
    shot=$(sed -n 's/^Screenshot of its window: //p' "$log")
    [ -z "$shot" ] || break
    kill -0 "$start_pid" 2>/dev/null || fail "ended before writing a screenshot"
    sleep 0.5
done
[ -n "$shot" ] || fail "no screenshot after five minutes"
display=$(sed -n 's/.*runs on the virtual display \(:[0-9]*\)\..*/\1/p' "$log")
[ -n "$display" ] || fail "did not say which display it uses"

read -r width height colours < <(identify -format '%w %h %k\n' "$shot")
# The main window is 343 x 225 dialog units: far wider than 300 pixels, and
# its controls, text and icon make many colours; an empty screen has one.
[ "$width" -gt 300 ] && [ "$height" -gt 200 ] || fail "screenshot $shot is only ${width}x$height"
[ "$colours" -gt 8 ] || fail "screenshot $shot holds $colours colours: no window drawn"
DISPLAY=$display xwininfo -root -tree | grep -qF "\"$title" || fail "no window titled \"$title\" on $display"

kill -TERM "$start_pid"
for _ in $(seq 100); do kill -0 "$start_pid" 2>/dev/null || break; sleep 0.2; done
kill -0 "$start_pid" 2>/dev/null && fail "still running 20 s after it was asked to stop"
start_pid=""
left=$(prefix_processes)
[ -z "$left" ] || fail "processes left behind: $(echo $left)"
[ ! -e "/tmp/.X11-unix/X${display#:}" ] || fail "the virtual display $display was left running"
echo "start.sh: Morphex's window appeared ($shot, ${width}x$height, $colours colours) and stopped cleanly"
