#!/usr/bin/env bash
# Builds the x86_64 tree and runs every benchmark under Wine: bench.sh [NAME...]
# (NAME is a bench_* executable; all of them when none is given).
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$repo/scripts/setup.sh"
[ -n "${MORPHEX_BENCH_NO_BUILD:-}" ] || "$repo/scripts/build.sh" x86_64 >/dev/null
bin="$(build_root)/x86_64/bin"
export WINEPREFIX="/var/tmp/morphex-bench-prefix-$(id -u)" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
if [ $# -eq 0 ]; then
    set -- $(cd "$bin" && ls bench_*.exe 2>/dev/null | sed 's/\.exe$//')
fi
start_xvfb
# The same 64 MiB text for Morphex and for the native tools a user would
# pick instead.
big=/var/tmp/morphex-bench-64m.txt
python3 - "$big" <<'PY'
import sys
line = "Grüße aus München, l'été – line of text\r\n".encode()
block = line * ((1 << 20) // len(line) + 1)
with open(sys.argv[1], "wb") as f:
    left = 64 << 20
    while left > 0:
        f.write(block[:left]); left -= len(block[:left])
PY
for bench in "$@"; do
    echo "== $bench"
    if [ "$bench" = bench_cnvtext ]; then
        out=$(cd "$bin" && wine "./$bench.exe" "Z:$big")
        echo "$out" | grep -v '^morphex_big_seconds='
        morphex=$(echo "$out" | sed -n 's/^morphex_big_seconds=//p')
        t0=$(date +%s.%N); iconv -f UTF-8 -t CP1252 "$big" > "$big.iconv"; t1=$(date +%s.%N)
        cp "$big" "$big.dos"; t2=$(date +%s.%N); unix2dos -q "$big.dos"; t3=$(date +%s.%N)
        python3 -c "import sys; m,a,b,c,d=map(float,sys.argv[1:]); i,u=b-a,d-c; print(f'native iconv {i:.3f} s, unix2dos {u:.3f} s; Morphex/iconv {m/i:.2f}x, Morphex/unix2dos {m/u:.2f}x (goal: below 1x)')" \
            "$morphex" "$t0" "$t1" "$t2" "$t3"
        rm -f "$big.iconv" "$big.dos"
    elif [ "$bench" = bench_mxconv ]; then
        # 2,000 small UTF-8 texts: one mxconv run, and a shell loop running
        # the native iconv once per file, on the same files.
        small=/var/tmp/morphex-bench-2000
        rm -rf "$small" "$small.iconv"; mkdir -p "$small" "$small.iconv"
        python3 - "$small" <<'PY'
import sys
text = ("Grüße aus München, l'été – line of text\r\n" * 40).encode()
for i in range(2000):
    with open(f"{sys.argv[1]}/f{i:05d}.txt", "wb") as f:
        f.write(text)
PY
        out=$(cd "$bin" && wine "./$bench.exe" "Z:$small")
        echo "$out" | grep -v '_seconds='
        flat=$(echo "$out" | sed -n 's/^mxconv_seconds=//p')
        spread=$(echo "$out" | sed -n 's/^mxconv_spread_seconds=//p')
        t0=$(date +%s.%N)
        for f in "$small"/*.txt; do iconv -f UTF-8 -t CP1252 "$f" > "$small.iconv/${f##*/}"; done
        t1=$(date +%s.%N)
        python3 -c "import sys; m,s,a,b=map(float,sys.argv[1:]); i=b-a; print(f'iconv loop: {i:.3f} s; mxconv/iconv loop {m/i:.2f}x in one folder (goal: below 1x), {s/i:.2f}x in 20 folders')" \
            "$flat" "$spread" "$t0" "$t1"
        rm -rf "$small" "$small.iconv"
    else
        (cd "$bin" && wine "./$bench.exe")
    fi
done
rm -f "$big"
"$(wineserver_bin)" -k 2>/dev/null || true
kill "$xvfb_pid" 2>/dev/null || true
