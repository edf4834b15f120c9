#!/usr/bin/env bash
# mxconv --jobs: the same files converted with -j 1, 2 and 4, timed in one
# run and printed as ratios against -j 1 (called by run.sh): jobs.sh BIN_DIR
#
# 400 documents of 50 to 200 KB (200 Markdown, 200 RTF) to HTML, where the
# processor sets the pace (goal: -j 2 at least 1.6x as fast as -j 1 on two
# processors); then 2,000 small texts, where the file system does.
set -euo pipefail
bin=$1
root=/var/tmp/morphex-bench-jobs
rm -rf "$root"; mkdir -p "$root"
[ -n "${MORPHEX_BENCH_KEEP:-}" ] || trap 'rm -rf "$root"' EXIT
python3 - "$root" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(7)
words = ("conversion document paragraph heading table list quote emphasis link code "
         "processor thread batch morphex plugin reader writer").split()
def sentence():
    return " ".join(random.choice(words) for _ in range(random.randint(8, 20))).capitalize() + "."
def markdown(size):
    parts = []
    while sum(map(len, parts)) < size:
        kind = random.randrange(6)
        if kind == 0: parts.append(f"## {sentence()}\n\n")
        elif kind == 1: parts.append("".join(f"- {sentence()} *{random.choice(words)}*\n" for _ in range(5)) + "\n")
        elif kind == 2: parts.append("| a | b | c |\n|---|---|---|\n" + "".join(f"| {random.choice(words)} | **{random.choice(words)}** | {i} |\n" for i in range(6)) + "\n")
        elif kind == 3: parts.append("> " + sentence() + " " + sentence() + "\n\n")
        else: parts.append(f"{sentence()} [{random.choice(words)}](https://example.org/{random.choice(words)}) {sentence()} `{random.choice(words)}` {sentence()}\n\n")
    return "".join(parts)
def rtf(size):
    parts = [r"{\rtf1\ansi\deff0{\fonttbl{\f0 Times New Roman;}}" "\n"]
    while sum(map(len, parts)) < size:
        kind = random.randrange(4)
        if kind == 0: parts.append(r"{\pard\sb240\b\fs32 " + sentence() + r"\par}" "\n")
        elif kind == 1: parts.append(r"{\pard\li720 " + sentence() + r" {\i " + random.choice(words) + r"}\par}" "\n")
        else: parts.append(r"{\pard " + sentence() + r" {\b " + random.choice(words) + "} " + sentence() + r"\par}" "\n")
    return "".join(parts) + "}\n"
os.makedirs(f"{root}/docs/md"); os.makedirs(f"{root}/docs/rtf"); os.makedirs(f"{root}/small")
for i in range(200):
    with open(f"{root}/docs/md/d{i:03d}.md", "w") as f: f.write(markdown(random.randint(50_000, 200_000)))
    with open(f"{root}/docs/rtf/d{i:03d}.rtf", "w") as f: f.write(rtf(random.randint(50_000, 200_000)))
text = ("Grüße aus München, l'été – line of text\r\n" * 40).encode()
for i in range(2000):
    with open(f"{root}/small/f{i:05d}.txt", "wb") as f: f.write(text)
PY

# Seconds of one mxconv run on a fresh copy of `set`, from inside Wine: the
# best of `attempts`, each on a copy written out to the disk first, so that
# neither the kernel's writing back of the copy nor another program's
# moment on the processors is counted as the run's.
timed() {
    local set=$1 jobs=$2 arguments=$3 attempts=$4 best="" line seconds
    for attempt in $(seq "$attempts"); do
        rm -rf "$root/work"; cp -r "$root/$set" "$root/work"; sync
        line=$(cd "$bin" && wine ./bench_mxconv.exe --time "Z:$root/work" "-q -j $jobs $arguments")
        case $line in *"status=0"*) ;; *) echo "mxconv failed: $line" >&2; exit 1 ;; esac
        seconds=$(echo "${line#seconds=}" | cut -d' ' -f1)
        best=$(python3 -c "import sys; print(min(map(float, sys.argv[1:])))" $seconds $best)
    done
    echo "$best"
}

report() {
    local label=$1; shift
    python3 -c 'import sys
label = sys.argv[1]; t = dict(zip((1, 2, 4), map(float, sys.argv[2:])))
print(f"{label}: -j 1 {t[1]:.2f} s, -j 2 {t[2]:.2f} s, -j 4 {t[4]:.2f} s; speed-up -j 2 {t[1]/t[2]:.2f}x, -j 4 {t[1]/t[4]:.2f}x")' "$label" "$@"
}

echo "processors: $(nproc)"
declare -A docs small
# The documents first: a wineserver that has just seen thousands of names
# come and go answers the next runs slower for a while.
for jobs in 1 2 4; do
    md=$(timed docs/md "$jobs" '-f markdown -t "Document - HTML" *.md' 3)
    rtf=$(timed docs/rtf "$jobs" '-f rtf -t "Document - HTML" *.rtf' 3)
    docs[$jobs]=$(python3 -c "import sys; print(float(sys.argv[1]) + float(sys.argv[2]))" "$md" "$rtf")
done
for jobs in 1 2 4; do
    small[$jobs]=$(timed small "$jobs" '-f utf-8 -t "(1252), CR LF" *.txt' 2)
done
report "400 documents of 50-200 KB, Markdown and RTF to HTML (goal: -j 2 at least 1.6x)" "${docs[1]}" "${docs[2]}" "${docs[4]}"
report "2,000 small texts, UTF-8 to Windows-1252 (the file system sets the pace)" "${small[1]}" "${small[2]}" "${small[4]}"
