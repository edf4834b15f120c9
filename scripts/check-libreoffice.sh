#!/usr/bin/env bash
# The slow check that CI leaves out: LibreOffice reads what Morphex writes.
# Each document of the test samples is written by mxconv (under Wine) in
# every document format LibreOffice reads, and LibreOffice turns each into
# text; its words must be the words Morphex's own text of the document
# holds.  Prints one line a file and format, and a count; exits 1 when any
# differ.  Needs LibreOffice (libreoffice-writer-nogui), which it installs
# without the fonts it recommends: under Wine 8, Liberation 2 (the
# fonts-liberation2 package) makes the window's edit fields crash on
# Cyrillic text, so the tests of the file browser fail where it is.
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$repo/scripts/setup.sh"
if ! command -v soffice >/dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends libreoffice-writer-nogui >/dev/null
fi
"$repo/scripts/build.sh" x86_64 >/dev/null
bin="$(build_root)/x86_64/bin"
use_wine_prefix "$(build_root)/check-libreoffice/wineprefix"
prepare_wine_prefix
work=$(mktemp -d /var/tmp/morphex-check-libreoffice.XXXXXX)
trap 'rm -rf "$work"' EXIT
mxconv() { (cd "$work" && "$WINE" "$bin/mxconv.exe" -q "$@") >/dev/null 2>&1; }
soffice_text() {
    soffice "-env:UserInstallation=file://$work/profile" --headless --convert-to "txt:Text (encoded):UTF8" \
        --outdir "$work/lo" "$1" >/dev/null 2>&1
}
# words, a text's x^2 and H_2O read as LibreOffice's raised and lowered 2
words() { python3 -c "import re, sys; print(' '.join(re.findall(r'\w+', open(sys.argv[1], encoding='utf-8-sig').read().replace('^', '').replace('_', ''))))" "$1"; }

samples="$repo/tests/shipped/samples"
cp "$samples/structure/field-notes.html" "$samples/structure/readme.md" "$samples/office/word-hyperlinks.docx" \
    "$samples/office/word-merged-cells.docx" "$samples/office/libreoffice-field-notes.docx" "$work/"
declare -A source_format=([html]="Document - HTML" [md]="Document - Markdown" [docx]="Document - Word (DOCX)")
declare -A target_ext=(["Document - RTF"]=rtf ["Document - HTML"]=html ["Document - Word (DOCX)"]=docx
                       ["Document - OpenDocument Text (ODT)"]=odt)
checked=0 differ=0
for source in "$work"/*.*; do
    name=$(basename "$source"); stem=${name%.*}; ext=${name##*.}
    [ -n "${source_format[$ext]:-}" ] || continue
    mkdir -p "$work/$stem"
    cp "$source" "$work/$stem/"
    # Morphex's own words for the document: its text
    mxconv -f "${source_format[$ext]}" -t "Text - Unicode - UTF-8" "$stem/$name"
    ours=$(words "$work/$stem/$stem.txt")
    for target in "${!target_ext[@]}"; do
        out_ext=${target_ext[$target]}
        [ "$out_ext" != "$ext" ] || continue
        rm -rf "$work/lo"
        mxconv -f "${source_format[$ext]}" -t "$target" "$stem/$name" || true
        written=$(ls "$work/$stem/$stem"*."$out_ext" 2>/dev/null | head -n 1 || true)
        [ -n "$written" ] || { echo "  $name as $target: not written (no such format?)"; continue; }
        soffice_text "$written"
        theirs=$(words "$work/lo/$(basename "${written%.*}").txt" 2>/dev/null || true)
        checked=$((checked + 1))
        # LibreOffice leaves out what its text export has no place for
        # (pictures' words, notes' text at the end): compare what it kept
        if python3 -c "import sys; a, b = sys.argv[1].split(), sys.argv[2].split(); i = iter(a); sys.exit(0 if b and all(w in i for w in b) else 1)" "$ours" "$theirs"; then
            echo "  $name as $target: LibreOffice reads the same words"
        else
            differ=$((differ + 1))
            echo "  $name as $target: LibreOffice reads otherwise:"
            echo "    ours:   ${ours:0:300}"
            echo "    theirs: ${theirs:0:300}"
        fi
        rm -f "$written"
    done
done
echo "LibreOffice: $checked checked, $differ differ"
[ "$differ" -eq 0 ]
