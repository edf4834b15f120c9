#!/usr/bin/env bash
# Takes the README's picture of the main window under Xvfb:
#   screenshot.sh [OUTPUT.png]   (default docs/screenshot-main.png)
# Starts Morphex from the x86_64 build's bin/ folder, with the shipped
# plug-ins, in a folder of sample texts, and grabs the window.
set -euo pipefail
. "$(dirname "$0")/common.sh"
out=${1:-$repo/docs/screenshot-main.png}
bin="$(build_root)/x86_64/bin"
[ -x "$bin/morphex.exe" ] || { echo "build x86_64 first (scripts/build.sh x86_64)" >&2; exit 1; }
command -v import >/dev/null || apt-get install -y --no-install-recommends imagemagick >/dev/null

export WINEPREFIX="/var/tmp/morphex-shot-prefix-$(id -u)" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
work=$(mktemp -d /var/tmp/morphex-shot.XXXXXX)
shots=$(mktemp -d /var/tmp/morphex-shots.XXXXXX)
trap 'wineserver -k 2>/dev/null || true; kill "$xvfb_pid" 2>/dev/null || true; rm -rf "$work" "$shots"' EXIT
cp "$bin"/morphex.exe "$bin"/ravel.dll "$bin"/cnv*.dll "$work"/
mkdir -p "$work/Letters" "$work/Reports 2026"
printf 'Dear Anna,\r\nthe minutes are attached.\r\n' > "$work/letter to anna.txt"
printf 'Quarterly figures\r\n' > "$work/Figures.TXT"
printf 'Agenda\r\n' > "$work/agenda.txt"
printf 'Notes\n' > "$work/notes-unix.txt"
printf 'Привет\r\n' > "$work/Привет.txt"
printf '# Notes\n' > "$work/notes.md"
start_xvfb
# Without a window manager Wine draws the caption and frame itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
(cd "$work" && wine morphex.exe >/dev/null 2>&1 &)
for _ in $(seq 100); do
    sleep 0.3
    import -window root "$shots/screen.png" 2>/dev/null || continue
    # The dialog is centred: crop the non-background area.
    if convert "$shots/screen.png" -trim +repage "$out" 2>/dev/null &&
       [ "$(identify -format '%w' "$out")" -gt 300 ]; then
        sleep 1
        import -window root "$shots/screen.png"
        convert "$shots/screen.png" -trim +repage "$out"
        echo "wrote $out ($(identify -format '%wx%h' "$out"))"
        exit 0
    fi
done
echo "no window appeared" >&2
exit 1
