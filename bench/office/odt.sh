#!/usr/bin/env bash
# OpenDocument texts through mxconv under Wine, its start-up included,
# against Debian's pandoc and LibreOffice headless on the same file in the
# same run, as ratios: bench/office/odt.sh BIN_DIR [MIB]
#
# The .odt is pandoc's, written from MIB MiB (1 by default) of the document
# benchmark's Markdown; pandoc reads an .odt back slowly, so the default
# stays small, and the ratios hold at any size since Morphex's time grows
# linearly.  MORPHEX_BENCH_NO_OFFICE=1 leaves LibreOffice out.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
bin=$1
mib=${2:-1}
work=$(mktemp -d /var/tmp/morphex-bench-odt.XXXXXX)
trap 'rm -rf "$work"' EXIT
python3 "$repo/bench/cnvdoc/make_documents.py" "$work/doc.md" "$work/unused.rtf" "$mib"

elapsed() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N); echo "$t1 - $t0" | bc -l; }
ratio() { echo "$1 / $2" | bc -l; }
morphex() { (cd "$work" && wine "$bin/mxconv.exe" -q -f "$1" -t "$2" "$3"); }

t_pandoc_write=$(elapsed pandoc -f gfm -o "$work/doc.odt" "$work/doc.md")
echo "$(du -k "$work/doc.md" | cut -f1) KiB of Markdown; pandoc's .odt of it: $(du -k "$work/doc.odt" | cut -f1) KiB"
echo "Wine and mxconv starting: $(elapsed wine "$bin/mxconv.exe" --version) s"
t_read=$(elapsed morphex "Document - OpenDocument Text (ODT)" "Document - HTML" doc.odt)
t_pandoc_read=$(elapsed pandoc -f odt -t html -s -o "$work/pandoc.html" "$work/doc.odt")
printf 'ODT -> HTML: Morphex %.2f s, pandoc %.2f s: pandoc/Morphex %.1fx (goal: at least 10x)\n' \
    "$t_read" "$t_pandoc_read" "$(ratio "$t_pandoc_read" "$t_read")"
cp "$work/doc.md" "$work/ours.md"
t_write=$(elapsed morphex "Document - Markdown" "Document - OpenDocument Text (ODT)" ours.md)
printf 'Markdown -> ODT: Morphex %.2f s, pandoc %.2f s: pandoc/Morphex %.1fx\n' \
    "$t_write" "$t_pandoc_write" "$(ratio "$t_pandoc_write" "$t_write")"
if [ -z "${MORPHEX_BENCH_NO_OFFICE:-}" ] && command -v soffice >/dev/null; then
    # LibreOffice with a profile of its own, made by a first run, as a user's is
    profile=$work/lo-profile
    echo warm > "$work/warm.txt"
    soffice -env:UserInstallation=file://$profile --headless --convert-to html --outdir "$work/lo" "$work/warm.txt" \
        >/dev/null 2>&1 || true
    t_lo=$(elapsed soffice -env:UserInstallation=file://$profile --headless --convert-to html --outdir "$work/lo" \
        "$work/doc.odt")
    printf 'ODT -> HTML: LibreOffice headless %.2f s with its start-up: LibreOffice/Morphex %.1fx (goal: above 1x)\n' \
        "$t_lo" "$(ratio "$t_lo" "$t_read")"
fi
