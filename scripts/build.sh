#!/usr/bin/env bash
# Builds one architecture (x86_64 or i686), tests included: build.sh ARCH
set -euo pipefail
. "$(dirname "$0")/common.sh"
arch=${1:?usage: build.sh x86_64|i686}
dir="$(build_root)/$arch"
mkdir -p "$dir"
cmake -S "$repo" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-$arch.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" -j "$(nproc)"
