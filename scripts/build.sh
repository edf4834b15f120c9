#!/usr/bin/env bash
# Builds one architecture (x86_64 or i686), tests included: build.sh ARCH
set -euo pipefail
. "$(dirname "$0")/common.sh"
arch=${1:?usage: build.sh x86_64|i686}
dir="$(build_root)/$arch"
mkdir -p "$dir"
# ccache, where installed, makes a second checkout's build cheap.
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(dirname "$repo")}"
fi
cmake -S "$repo" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-$arch.cmake" \
      -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
