#!/usr/bin/env bash
# Builds Morphex and starts it as a newcomer first meets it: in a folder that
# holds a user's copy of the program (the same files as the packages) and a
# folder of sample documents, under Wine's 64-bit loader in a prefix of its
# own.  Without a display it runs on a virtual one and writes a screenshot of
# its window.  Arguments go to Morphex: start.sh /d starts in trace mode.
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$repo/scripts/setup.sh"

start_dir="$(build_root)/start"
run_dir="$start_dir/Morphex"
mkdir -p "$run_dir"
log="$start_dir/build.log"
echo "Building Morphex (log: $log)"
if ! "$repo/scripts/build.sh" x86_64 >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "The build failed; the whole log is in $log" >&2
    exit 1
fi

# The program files of the last start are replaced; whatever else lies in the
# folder (converted samples, a plug-in the user added) stays.
copied="$start_dir/copied-files"
if [ -f "$copied" ]; then
    while read -r name; do rm -f "$run_dir/$name"; done <"$copied"
fi
bin="$(build_root)/x86_64/bin"
copy_user_files "$bin" "$run_dir"
user_files "$bin" | xargs -n 1 basename >"$copied"
# A sample is copied where it is missing, never over the user's changes.
mkdir -p "$run_dir/samples"
for sample in "$repo"/samples/*; do
    [ -e "$run_dir/samples/$(basename "$sample")" ] || cp -p "$sample" "$run_dir/samples/"
done

headless=""
xvfb_pid=""
if [ -z "${DISPLAY:-}" ]; then
    headless=1
    ensure_packages xvfb imagemagick x11-utils
    start_xvfb
fi
use_wine_prefix "$start_dir/wineprefix"
stop() {
    "$(wineserver_bin)" -k >/dev/null 2>&1 || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ ! -e "$WINEPREFIX/.morphex-ready" ]; then
    echo "Preparing Wine in $WINEPREFIX (first start only)"
fi
prepare_wine_prefix
# Without a window manager, Wine draws the window's caption and frame itself.
settings="$start_dir/window-frame.reg"
if [ -n "$headless" ]; then frame='"N"'; else frame='-'; fi
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Decorated"=%s\n"Managed"=%s\n' \
    "$frame" "$frame" >"$settings"
"$WINE" regedit /S "Z:$settings" >/dev/null 2>&1 || true

(cd "$run_dir" && exec "$WINE" morphex.exe "$@") </dev/null >/dev/null 2>&1 &
morphex_pid=$!
echo "Morphex runs in $run_dir, with sample documents in its samples folder."

if [ -n "$headless" ]; then
    title="Morphex - File conversion utility"
    window=""
    for _ in $(seq 300); do
        window=$(xwininfo -root -tree 2>/dev/null | awk -v title="\"$title" 'index($0, title) { print $1; exit }' || true)
        [ -z "$window" ] || break
        kill -0 "$morphex_pid" 2>/dev/null || { echo "Morphex ended before its window appeared" >&2; exit 1; }
        sleep 0.2
    done
    [ -n "$window" ] || { echo "Morphex's window did not appear" >&2; exit 1; }
    sleep 1  # let it finish drawing
    shot="$start_dir/screenshot.png"
    import -window "$window" "$shot"
    echo "There is no display: Morphex runs on the virtual display $DISPLAY."
    echo "Screenshot of its window: $shot"
fi
echo "To stop it, close its window or press Ctrl+C."
wait "$morphex_pid" || true
