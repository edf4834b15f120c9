#!/usr/bin/env bash
# Runs the x86_64 tests through CTest under wine64, as an unprivileged user,
# with one persistent wineserver and one Xvfb display for the whole run.
# Arguments go to ctest.  The last line reads "N passed, N failed, N skipped".
set -uo pipefail
. "$(dirname "$0")/common.sh"
build="$(build_root)/x86_64"
[ -f "$build/CTestTestfile.cmake" ] || { echo "no x86_64 build in $build" >&2; exit 1; }
if dpkg-query -W -f='${Status}' fonts-liberation2 2>/dev/null | grep -q "install ok installed"; then
    echo "warning: fonts-liberation2 is installed; under Wine 8 its fonts make edit fields crash on" \
         "Cyrillic text, and the file browser's tests fail (apt-get remove fonts-liberation2)" >&2
fi

as_tester=()
tester_home=$HOME
if [ "$(id -u)" -eq 0 ]; then
    # Root passes every permission check under Wine: the tests of read-only
    # files and closed directories would prove nothing.
    chown -R "$test_user:" "$build"
    as_tester=(runuser -u "$test_user" --)
    tester_home="/var/lib/$test_user"
fi

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
# A crashing test must end at once, not wait in the debugger.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
wineserver=$(wineserver_bin)
results="$build/test-results"
drive="$build/testdrive"
# S: is a drive that really fills up, for the tests of a full disk: a tmpfs
# of 1 MiB, which only root may mount.  Without it those tests skip.
small_drive="$build/smalldrive"
small_drive_size=1m

xvfb_pid=""
cleanup() {
    "${as_tester[@]}" env WINEPREFIX="$WINEPREFIX" "$wineserver" -k >/dev/null 2>&1 || true
    "${as_tester[@]}" env WINEPREFIX="$WINEPREFIX" "$wineserver" -w >/dev/null 2>&1 || true
    if mountpoint -q "$small_drive" 2>/dev/null; then
        umount "$small_drive" 2>/dev/null || umount -l "$small_drive"
    fi
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    wait 2>/dev/null || true
}
trap cleanup EXIT

# Mounts the small drive; says why not where it cannot.
mount_small_drive() {
    MORPHEX_SMALL_DRIVE=""
    mountpoint -q "$small_drive" 2>/dev/null && umount "$small_drive"
    if [ "$(id -u)" -ne 0 ]; then
        echo "S: (a full drive) not mounted: mounting a tmpfs needs root" >&2
        return 0
    fi
    mkdir -p "$small_drive"
    if ! mount -t tmpfs -o "size=$small_drive_size,mode=1777" tmpfs "$small_drive" 2>/dev/null; then
        echo "S: (a full drive) not mounted: mount -t tmpfs is not permitted here" >&2
        return 0
    fi
    MORPHEX_SMALL_DRIVE="S:"
}

start_xvfb || exit 1
mount_small_drive
export MORPHEX_SMALL_DRIVE
run() { "${as_tester[@]}" env DISPLAY="$DISPLAY" WINEPREFIX="$WINEPREFIX" WINEDEBUG="$WINEDEBUG" \
        WINEDLLOVERRIDES="$WINEDLLOVERRIDES" HOME="$tester_home" MORPHEX_SMALL_DRIVE="$MORPHEX_SMALL_DRIVE" "$@"; }

# A prefix whose creation was cut short is made again from scratch.
ready="$WINEPREFIX/.morphex-ready"
if [ ! -e "$ready" ]; then
    echo "Creating the Wine prefix in $WINEPREFIX"
    run rm -rf "$WINEPREFIX"
    run mkdir -p "$WINEPREFIX"
    run "$wineserver" -p
    run wine wineboot -i </dev/null >/dev/null 2>&1 && run touch "$ready"
    run "$wineserver" -k
    run "$wineserver" -w
fi
# T: is the tests' own drive: its root is theirs to write and clean.  The
# link must be there before Wine's services start, or the mount manager does
# not report the drive.
run rm -rf "$drive" "$results"
run mkdir -p "$drive" "$results"
run ln -sfn "$drive" "$WINEPREFIX/dosdevices/t:"
if [ -n "$MORPHEX_SMALL_DRIVE" ]; then
    run ln -sfn "$small_drive" "$WINEPREFIX/dosdevices/s:"
else
    run rm -f "$WINEPREFIX/dosdevices/s:"
fi
run "$wineserver" -p
# Start the services here, not inside the first test: they would keep
# CTest's output pipe open and CTest would wait for them forever.
run wine wineboot </dev/null >/dev/null 2>&1

run rm -f "$build/Testing/Temporary/LastTestsFailed.log"
run ctest --test-dir "$build" --output-on-failure --timeout 900 "$@"
ctest_status=$?

summary=$(python3 - "$results" "$build" <<'PY'
import glob, os, sys, xml.etree.ElementTree as ET
results, build = sys.argv[1], sys.argv[2]
passed = failed = skipped = 0
for path in glob.glob(os.path.join(results, "*.xml")):
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError:
        failed += 1
        continue
    for case in root.iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.find("skipped") is not None or case.get("result") == "skipped":
            skipped += 1
        elif case.get("status") == "run":
            passed += 1
# An executable that crashed before writing its report counts as one failure.
log = os.path.join(build, "Testing", "Temporary", "LastTestsFailed.log")
reported = {os.path.splitext(os.path.basename(p))[0] for p in glob.glob(os.path.join(results, "*.xml"))}
if os.path.exists(log):
    for line in open(log):
        name = line.strip().split(":", 1)[-1]
        if name and name not in reported:
            failed += 1
print(passed, failed, skipped)
PY
)
read -r passed failed skipped <<<"$summary"
status=$ctest_status
[ "$failed" -eq 0 ] || status=1
[ "$passed" -gt 0 ] || { echo "no test ran" >&2; status=1; }
echo "$passed passed, $failed failed, $skipped skipped"
exit $status
