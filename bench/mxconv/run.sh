#!/usr/bin/env bash
# Runs bench_mxconv under Wine (WINEPREFIX and the display set by
# scripts/bench.sh): bench/mxconv/run.sh BIN_DIR
#
# 2,000 small UTF-8 texts: one mxconv run, and a shell loop running the
# native iconv once per file, on the same files.  Then the processor time
# (user + system) of each in one folder, which other work on the machine
# disturbs less than the wall clock: Wine's client process does the file
# look-ups, the wineserver's share is left out of every figure alike.
set -euo pipefail
bin=$1
small=/var/tmp/morphex-bench-2000
rm -rf "$small" "$small".*; mkdir -p "$small" "$small.iconv"
trap 'rm -rf "$small" "$small".*' EXIT
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

# Processor time of a command and all it waited for, in seconds.
cpu_seconds() {
    python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{r.ru_utime + r.ru_stime:.3f}")' "$@"
}
rm -rf "$small.iconv" "$small.work"; mkdir "$small.iconv"; cp -r "$small" "$small.work"
mx_cpu=$(cd "$small.work" && cpu_seconds wine "$bin/mxconv.exe" -q -f utf-8 -t "(1252), CR LF" '*.txt')
copy_cpu=$(cd "$bin" && cpu_seconds wine ./bench_mxconv.exe --copy "Z:$small" "Z:$small.copies")
iconv_cpu=$(cpu_seconds bash -c 'for f in "$1"/*.txt; do iconv -f UTF-8 -t CP1252 "$f" > "$1.iconv/${f##*/}"; done' - "$small")
python3 -c "import sys; m,c,i=map(float,sys.argv[1:]); print(f'processor time in one folder: mxconv {m:.3f} s, CopyFile {c:.3f} s, iconv loop {i:.3f} s; mxconv/CopyFile {m/c:.2f}x, mxconv/iconv loop {m/i:.2f}x')" \
    "$mx_cpu" "$copy_cpu" "$iconv_cpu"

# The same conversions on 1, 2 and 4 threads.
"$(dirname "$0")/jobs.sh" "$bin"
