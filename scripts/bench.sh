#!/usr/bin/env bash
# Builds the x86_64 tree and runs every benchmark under Wine: bench.sh [NAME...]
# (NAME is a bench_* executable; all of them when none is given).
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$repo/scripts/setup.sh"
# The native converters the document benchmark measures against.
if ! command -v pandoc >/dev/null || ! command -v cmark-gfm >/dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q -o DPkg::Lock::Timeout=600 pandoc cmark-gfm
fi
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
    elif [ "$bench" = bench_cnvdoc ]; then
        md=/var/tmp/morphex-bench-20m.md rtf=/var/tmp/morphex-bench-20m.rtf
        python3 "$repo/bench/cnvdoc/make_documents.py" "$md" "$rtf"
        out=$(cd "$bin" && wine "./$bench.exe" "Z:$md" "Z:$rtf")
        echo "$out" | grep -v '^morphex_'
        m_md=$(echo "$out" | sed -n 's/^morphex_markdown_seconds=//p')
        m_rtf=$(echo "$out" | sed -n 's/^morphex_rtf_seconds=//p')
        t0=$(date +%s.%N); cmark-gfm -e table -e strikethrough "$md" > "$md.html"; t1=$(date +%s.%N)
        pandoc -f gfm -t html -s -o "$md.html" "$md"; t2=$(date +%s.%N)
        pandoc -f rtf -t html -s -o "$rtf.html" "$rtf"; t3=$(date +%s.%N)
        python3 -c "import sys; mm,mr,a,b,c,d=map(float,sys.argv[1:]); cm,pm,pr=b-a,c-b,d-c; print(f'native cmark-gfm {cm:.3f} s, pandoc Markdown {pm:.3f} s, pandoc RTF {pr:.3f} s'); print(f'Markdown: pandoc/Morphex {pm/mm:.1f}x (goal: at least 10x), Morphex/cmark-gfm {mm/cm:.2f}x (goal: at most 1x); RTF: pandoc/Morphex {pr/mr:.1f}x (goal: at least 10x)')" \
            "$m_md" "$m_rtf" "$t0" "$t1" "$t2" "$t3"
        rm -f "$md" "$rtf" "$md.html" "$rtf.html"
    else
        (cd "$bin" && wine "./$bench.exe")
    fi
done
rm -f "$big"
"$(wineserver_bin)" -k 2>/dev/null || true
kill "$xvfb_pid" 2>/dev/null || true
