#!/usr/bin/env bash
# Sets up what is missing, builds both architectures and runs every test
# under wine64.  Extra arguments go to ctest (e.g. -R test_browser).
set -euo pipefail
. "$(dirname "$0")/common.sh"
"$repo/scripts/setup.sh"
"$repo/scripts/build.sh" i686
"$repo/scripts/build.sh" x86_64
exec "$repo/scripts/run-tests.sh" "$@"
