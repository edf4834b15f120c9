#!/usr/bin/env bash
# Installs what building, running and testing Morphex need, where missing.
set -euo pipefail
. "$(dirname "$0")/common.sh"

packages=(cmake make python3 googletest g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
          wine wine64 xvfb halibut dos2unix ccache wixl msitools zip cmark-gfm
          libz-mingw-w64-dev pandoc python3-docx python3-odf libxml2-utils antiword catdoc)
ensure_packages "${packages[@]}"

if [ "$(id -u)" -eq 0 ] && ! id "$test_user" >/dev/null 2>&1; then
    useradd --system --create-home --home-dir "/var/lib/$test_user" --shell /bin/bash "$test_user"
fi
