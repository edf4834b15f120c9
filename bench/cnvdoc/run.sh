#!/usr/bin/env bash
# Runs bench_cnvdoc under Wine (WINEPREFIX and the display set by
# scripts/bench.sh): bench/cnvdoc/run.sh BIN_DIR
#
# A 20 MiB Markdown and a 20 MiB RTF document converted to HTML through both
# stages of cnvdoc.dll, against Debian's native cmark-gfm and pandoc on the
# same files and a plain copy, all in this run.  MORPHEX_BENCH_NO_NATIVE=1
# leaves the native converters out (pandoc takes minutes).
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
bin=$1
work=$(mktemp -d /var/tmp/morphex-bench-cnvdoc.XXXXXX)
trap 'rm -rf "$work"' EXIT
md=$work/20m.md rtf=$work/20m.rtf
python3 "$repo/bench/cnvdoc/make_documents.py" "$md" "$rtf"
out=$(cd "$bin" && wine ./bench_cnvdoc.exe "Z:$md" "Z:$rtf")
echo "$out" | grep -v '^morphex_'
m_md=$(echo "$out" | sed -n 's/^morphex_markdown_seconds=//p')
m_rtf=$(echo "$out" | sed -n 's/^morphex_rtf_seconds=//p')
[ -z "${MORPHEX_BENCH_NO_NATIVE:-}" ] || exit 0
t0=$(date +%s.%N); cmark-gfm -e table -e strikethrough "$md" > "$md.html"; t1=$(date +%s.%N)
pandoc -f gfm -t html -s -o "$md.html" "$md"; t2=$(date +%s.%N)
pandoc -f rtf -t html -s -o "$rtf.html" "$rtf"; t3=$(date +%s.%N)
python3 -c "import sys; mm,mr,a,b,c,d=map(float,sys.argv[1:]); cm,pm,pr=b-a,c-b,d-c; print(f'native cmark-gfm {cm:.3f} s, pandoc Markdown {pm:.3f} s, pandoc RTF {pr:.3f} s'); print(f'Markdown: pandoc/Morphex {pm/mm:.1f}x (goal: at least 10x), Morphex/cmark-gfm {mm/cm:.2f}x (goal: at most 1x); RTF: pandoc/Morphex {pr/mr:.1f}x (goal: at least 10x)')" \
    "$m_md" "$m_rtf" "$t0" "$t1" "$t2" "$t3"
