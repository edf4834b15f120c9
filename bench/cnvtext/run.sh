#!/usr/bin/env bash
# Runs bench_cnvtext under Wine (WINEPREFIX and the display set by
# scripts/bench.sh): bench/cnvtext/run.sh BIN_DIR
#
# Five conversions of the same 64 MiB texts through both stages of
# cnvtext.dll, each against Debian's native iconv on the same file and a
# plain copy, all in this run; and against the floor, the same bytes read
# and written as the two stages move them with nothing done to them (see
# floor_seconds in cnvtext_bench.cpp): how far a conversion is above the
# input and output no converter can avoid.  With MORPHEX_BENCH_HUGE=1 a text over 4 GiB
# is converted too, with the peak memory of the process (it takes about
# 13 GiB of disk for a few minutes).
set -euo pipefail
bin=$1
work=$(mktemp -d /var/tmp/morphex-bench-cnvtext.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

python3 - "$work" <<'PY'
import sys
lines = {
    'utf8.txt': ("Grüße aus München, l'été – line of text\r\n", 'utf-8'),
    'ansi.txt': ("Grüße aus München, l'été – line of text\r\n", 'cp1252'),
    'cyrillic.txt': ("Съешь же ещё этих мягких французских булок, да выпей чаю.\r\n", 'cp1251'),
    'sjis.txt': ("いろはにほへと ちりぬるを、日本語のテキストです。\r\n", 'cp932'),
}
for name, (line, codec) in lines.items():
    data = line.encode(codec)
    block = data * ((1 << 20) // len(data) + 1)
    with open(sys.argv[1] + '/' + name, 'wb') as f:
        left = 64 << 20
        while left > 0:
            f.write(block[:left])
            left -= len(block[:left])
PY

# label | file | Morphex source | Morphex target | iconv from | iconv to
cases=(
    "UTF-8 -> Windows ANSI|utf8.txt|Text - Unicode - UTF-8|Text - Western - Windows (1252)|UTF-8|CP1252"
    "Windows ANSI -> UTF-8|ansi.txt|Text - Western - Windows (1252)|Text - Unicode - UTF-8|CP1252|UTF-8"
    "UTF-8 -> UTF-16|utf8.txt|Text - Unicode - UTF-8|Text - Unicode - UTF-16|UTF-8|UTF-16"
    "Windows Cyrillic -> UTF-8|cyrillic.txt|Text - Cyrillic - Windows (1251)|Text - Unicode - UTF-8|CP1251|UTF-8"
    "Shift_JIS -> UTF-8|sjis.txt|Text - Japanese - Shift_JIS (932)|Text - Unicode - UTF-8|CP932|UTF-8"
)
args=(small)
for c in "${cases[@]}"; do
    IFS='|' read -r label file source target from to <<<"$c"
    args+=(convert "Z:$work/$file" "$source" "$target")
done
results=$(cd "$bin" && wine ./bench_cnvtext.exe "${args[@]}")
echo "$results" | grep -v '^convert' || true
mapfile -t timings < <(echo "$results" | grep '^convert')

# The machine may be busy: beside the wall clock, the processor time of
# each (user and kernel) compares the work done.
printf '%-26s %7s %7s %9s %13s %12s %8s %10s %12s %8s %13s\n' "64 MiB" "copy s" "iconv s" "Morphex s" "Morphex/iconv" \
    "Morphex/copy" "iconv cpu" "Morphex cpu" "cpu: M/iconv" "floor s" "Morphex/floor"
i=0
TIMEFORMAT='%R %U %S'
for c in "${cases[@]}"; do
    IFS='|' read -r label file source target from to <<<"$c"
    cat "$work/$file" >/dev/null
    iconv_times=$( { time iconv -f "$from" -t "$to" "$work/$file" >"$work/iconv.out"; } 2>&1 )
    rm -f "$work/iconv.out"
    IFS=$'\t' read -r _ copy morphex morphex_cpu floor <<<"${timings[$i]}"
    python3 -c 'import sys
l, c, m, mc, f, r, u, s = sys.argv[1:]
c, m, mc, f, i, ic = float(c), float(m), float(mc), float(f), float(r), float(u) + float(s)
print(f"{l:<26} {c:7.3f} {i:7.3f} {m:9.3f} {m/i:12.2f}x {m/c:11.2f}x {ic:8.3f} {mc:10.3f} {mc/ic:11.2f}x {f:8.3f} {m/f:12.2f}x")' \
        "$label" "$copy" "$morphex" "$morphex_cpu" "$floor" $iconv_times
    i=$((i + 1))
done
echo "(goals: Morphex/iconv below 1x, Morphex/copy at most 3x; Morphex/floor is what the converters add)"

if [ -n "${MORPHEX_BENCH_HUGE:-}" ]; then
    python3 - "$work/huge.txt" <<'PY'
import sys
line = "Grüße aus München, l'été – line of text\r\n".encode()
block = line * ((16 << 20) // len(line))
with open(sys.argv[1], 'wb') as f:
    for _ in range((4 << 30) // len(block) + 4):
        f.write(block)
PY
    (cd "$bin" && wine ./bench_cnvtext.exe peak "Z:$work/huge.txt" "Text - Unicode - UTF-8" "Text - Western - Windows (1252)")
fi
