#!/usr/bin/env bash
# Builds the x86_64 tree and runs every benchmark under Wine: bench.sh [NAME...]
# (NAME is a bench_* executable; all of them when none is given).
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$repo/scripts/setup.sh"
# The native converters the document benchmark measures against.
ensure_packages pandoc cmark-gfm bc
[ -n "${MORPHEX_BENCH_NO_BUILD:-}" ] || "$repo/scripts/build.sh" x86_64 >/dev/null
bin="$(build_root)/x86_64/bin"
# A prefix of this tree's own: the wineserver stopped at the end is only this run's.
export WINEPREFIX="$(build_root)/bench-prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
if [ $# -eq 0 ]; then
    # each benchmark program, and each benchmark that is a script alone
    set -- $(cd "$bin" && ls bench_*.exe 2>/dev/null | sed 's/\.exe$//') \
        $(cd "$repo/bench" && for d in */; do [ -e "$d/run.sh" ] && [ ! -e "$d/CMakeLists.txt" ] && echo "bench_${d%/}"; done)
fi
start_xvfb
for bench in "$@"; do
    echo "== $bench"
    if [ -x "$repo/bench/${bench#bench_}/run.sh" ]; then
        "$repo/bench/${bench#bench_}/run.sh" "$bin"
    else
        (cd "$bin" && wine "./$bench.exe")
    fi
done
"$(wineserver_bin)" -k 2>/dev/null || true
kill "$xvfb_pid" 2>/dev/null || true
