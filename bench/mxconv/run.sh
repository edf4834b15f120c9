#!/usr/bin/env bash
# Runs bench_mxconv under Wine (WINEPREFIX and the display set by
# scripts/bench.sh): bench/mxconv/run.sh BIN_DIR
#
# 2,000 small UTF-8 texts: one mxconv run, and a shell loop running the
# native iconv once per file, on the same files.
set -euo pipefail
bin=$1
small=/var/tmp/morphex-bench-2000
rm -rf "$small" "$small.iconv"; mkdir -p "$small" "$small.iconv"
trap 'rm -rf "$small" "$small.iconv"' EXIT
python3 - "$small" <<'PY'
import sys
text = ("Grüße aus München, l'été – line of text\r\n" * 40).encode()
for i in range(2000):
    with open(f"{sys.argv[1]}/f{i:05d}.txt", "wb") as f:
        f.write(text)
PY
out=$(cd "$bin" && wine ./bench_mxconv.exe "Z:$small")
echo "$out" | grep -v '_seconds='
flat=$(echo "$out" | sed -n 's/^mxconv_seconds=//p')
spread=$(echo "$out" | sed -n 's/^mxconv_spread_seconds=//p')
t0=$(date +%s.%N)
for f in "$small"/*.txt; do iconv -f UTF-8 -t CP1252 "$f" > "$small.iconv/${f##*/}"; done
t1=$(date +%s.%N)
python3 -c "import sys; m,s,a,b=map(float,sys.argv[1:]); i=b-a; print(f'iconv loop: {i:.3f} s; mxconv/iconv loop {m/i:.2f}x in one folder (goal: below 1x), {s/i:.2f}x in 20 folders')" \
    "$flat" "$spread" "$t0" "$t1"
rm -rf "$small" "$small.iconv"
