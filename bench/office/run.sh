#!/usr/bin/env bash
# Office documents through mxconv under Wine, its start-up included, against
# Debian's pandoc and LibreOffice headless on the same files in the same run:
# bench/office/run.sh BIN_DIR [MIB]
#
# The Word document is written by pandoc from MIB MiB (1 by default) of the
# document benchmark's Markdown: pandoc takes minutes a MiB to read one back,
# so the default stays small; the ratios hold at any size, Morphex's time
# growing linearly.  MORPHEX_BENCH_NO_OFFICE=1 leaves LibreOffice out.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
bin=$1
mib=${2:-1}
work=$(mktemp -d /var/tmp/morphex-bench-office.XXXXXX)
trap 'rm -rf "$work"' EXIT
python3 "$repo/bench/cnvdoc/make_documents.py" "$work/doc.md" "$work/unused.rtf" "$mib"

seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N); echo "$t1 - $t0" | bc -l; }
mxconv() { (cd "$work" && wine "$bin/mxconv.exe" -q -f "$1" -t "$2" "$3"); }
# The best of three conversions, its output removed before each, so that
# one stall of a shared machine does not decide the ratio.
best_of_three() {
    local output=$1 best="" t
    shift
    for _ in 1 2 3; do
        rm -f "$output"
        t=$(seconds "$@")
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
    done
    echo "$best"
}

t_pandoc_write=$(seconds pandoc -f gfm -o "$work/doc.docx" "$work/doc.md")
echo "$(du -k "$work/doc.md" | cut -f1) KiB of Markdown; pandoc's Word document of it: $(du -k "$work/doc.docx" | cut -f1) KiB"
t_start=$(seconds wine "$bin/mxconv.exe" --version)
t_read=$(best_of_three "$work/doc.html" mxconv "Document - Word (DOCX)" "Document - HTML" doc.docx)
t_pandoc_read=$(seconds pandoc -f docx -t html -s -o "$work/pandoc.html" "$work/doc.docx")
echo "Wine and mxconv starting: $t_start s"
printf 'DOCX -> HTML: Morphex %.2f s, pandoc %.2f s: pandoc/Morphex %.1fx (goal: at least 10x)\n' \
    "$t_read" "$t_pandoc_read" "$(echo "$t_pandoc_read / $t_read" | bc -l)"
cp "$work/doc.md" "$work/ours.md"
t_write=$(best_of_three "$work/ours.docx" mxconv "Document - Markdown" "Document - Word (DOCX)" ours.md)
if [ -s "$work/ours.docx" ]; then
    printf 'Markdown -> DOCX: Morphex %.2f s, pandoc %.2f s: pandoc/Morphex %.1fx (goal: at least 10x)\n' \
        "$t_write" "$t_pandoc_write" "$(echo "$t_pandoc_write / $t_write" | bc -l)"
fi
if [ -z "${MORPHEX_BENCH_NO_OFFICE:-}" ] && command -v soffice >/dev/null; then
    # a profile of its own, made by a first run, as a user's LibreOffice has one
    profile=$work/lo-profile
    echo warm > "$work/warm.txt"
    soffice -env:UserInstallation=file://$profile --headless --convert-to html --outdir "$work/lo" "$work/warm.txt" >/dev/null 2>&1 || true
    t_lo=$(seconds soffice -env:UserInstallation=file://$profile --headless --convert-to html --outdir "$work/lo" "$work/doc.docx")
    printf 'DOCX -> HTML: LibreOffice headless %.2f s with its start-up: LibreOffice/Morphex %.1fx (goal: above 1x)\n' \
        "$t_lo" "$(echo "$t_lo / $t_read" | bc -l)"
fi
# and the OpenDocument text, the same way
"$repo/bench/office/odt.sh" "$bin" "$mib"
