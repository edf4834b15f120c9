#!/usr/bin/env bash
# Runs bench_word97 under Wine (WINEPREFIX and the display set by
# scripts/bench.sh): bench/word97/run.sh BIN_DIR
#
# The cnvdoc benchmark's RTF document, 1 MiB (LibreOffice takes many
# minutes to save a larger one; MORPHEX_BENCH_WORD97_MIB for another size),
# saved as Word 97-2003 by LibreOffice, then converted to HTML by
# cnvdoc.dll, by LibreOffice headless (its start-up counted, as a user
# running it meets it) and to text by Debian's antiword, all in this run,
# and the ratios printed.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
bin=$1
mib=${MORPHEX_BENCH_WORD97_MIB:-1}
for tool in soffice antiword; do
    command -v "$tool" >/dev/null || { echo "bench_word97: $tool is not installed; skipped"; exit 0; }
done
work=$(mktemp -d /var/tmp/morphex-bench-word97.XXXXXX)
trap 'rm -rf "$work"' EXIT
python3 "$repo/bench/cnvdoc/make_documents.py" "$work/unused.md" "$work/big.rtf" "$mib"
# LibreOffice's own profile, so that a running instance of the user's is not met
profile="-env:UserInstallation=file://$work/profile"
soffice "$profile" --headless --convert-to 'doc:MS Word 97' "$work/big.rtf" --outdir "$work" >/dev/null 2>&1
ls -l "$work/big.doc" | awk '{print "document: " $5 " bytes"}'
out=$(cd "$bin" && wine ./bench_word97.exe "Z:$work/big.doc")
echo "$out" | grep -v '^morphex_'
morphex=$(echo "$out" | sed -n 's/^morphex_seconds=//p')
mkdir "$work/lo"
t0=$(date +%s.%N)
soffice "$profile" --headless --convert-to html "$work/big.doc" --outdir "$work/lo" >/dev/null 2>&1
t1=$(date +%s.%N)
antiword "$work/big.doc" > "$work/big.txt"
t2=$(date +%s.%N)
python3 -c "import sys; m,a,b,c=map(float,sys.argv[1:]); lo,aw=b-a,c-b; print(f'LibreOffice headless to HTML {lo:.3f} s, antiword to text {aw:.3f} s'); print(f'LibreOffice/Morphex {lo/m:.1f}x (goal: above 1x), antiword/Morphex {aw/m:.2f}x (goal: above 1x)')" \
    "$morphex" "$t0" "$t1" "$t2"
