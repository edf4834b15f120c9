#!/usr/bin/env bash
# Sets up what is missing, builds Morphex and starts it with its shipped
# plug-ins (under Xvfb when there is no display).
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$repo/scripts/setup.sh"
"$repo/scripts/build.sh" x86_64
bin="$(build_root)/x86_64/bin"
if [ -z "${DISPLAY:-}" ]; then
    start_xvfb
    trap 'kill $xvfb_pid 2>/dev/null || true' EXIT
    echo "No display: Morphex runs on the virtual display $DISPLAY"
fi
cd "$bin"
wine morphex.exe "$@"
