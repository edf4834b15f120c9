#!/usr/bin/env bash
# Runs bench_xml under Wine on the body of a Word document that pandoc
# writes from the document benchmark's Markdown: bench/xml/run.sh BIN_DIR [MIB]
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
bin=$1
work=$(mktemp -d /var/tmp/morphex-bench-xml.XXXXXX)
trap 'rm -rf "$work"' EXIT
python3 "$repo/bench/cnvdoc/make_documents.py" "$work/doc.md" "$work/unused.rtf" "${2:-1}"
pandoc -f gfm -o "$work/doc.docx" "$work/doc.md"
python3 -c "import sys, zipfile; open(sys.argv[2], 'wb').write(zipfile.ZipFile(sys.argv[1]).read('word/document.xml'))" \
    "$work/doc.docx" "$work/body.xml"
(cd "$bin" && wine ./bench_xml.exe "Z:$work/body.xml")
