#!/usr/bin/env bash
# Builds the release packages of Morphex into one folder:
#   morphex-VERSION-x86.msi, morphex-VERSION-x64.msi   per-machine installers
#   morphex-VERSION-x86.zip, morphex-VERSION-x64.zip   the same files in one folder
# Each holds the user's copy of the program (as start.sh runs it) and the
# plug-in SDK in its SDK folder.
#   package.sh [OUTPUT_DIR]        (default: packages/ in the build root)
# MORPHEX_PACKAGE_NO_BUILD=1 packages the builds that exist, installing and
# building nothing, and MORPHEX_PACKAGE_ARCHS="x64" makes one architecture's
# packages only (the package test, where no i686 build exists).
set -euo pipefail
. "$(dirname "$0")/common.sh"
out=$(mkdir -p "${1:-$(build_root)/packages}" && cd "${1:-$(build_root)/packages}" && pwd)
# The packages' names for the architectures, and the builds they come from.
arch_build() {
    case $1 in x86) echo i686 ;; x64) echo x86_64 ;; *) echo "unknown architecture $1" >&2; return 1 ;; esac
}
if [ -z "${MORPHEX_PACKAGE_NO_BUILD:-}" ]; then
    "$repo/scripts/setup.sh"
    ensure_packages wixl msitools zip
    for arch in ${MORPHEX_PACKAGE_ARCHS:-x86 x64}; do
        build=$(arch_build "$arch")
        echo "Building $build"
        "$repo/scripts/build.sh" "$build" >/dev/null
    done
fi
version=$("$repo/scripts/version.sh")
stage=$(mktemp -d "${TMPDIR:-/tmp}/morphex-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT

# One folder per architecture holds exactly what the package installs.
stage_files() {
    local bin=$1 dest=$2
    copy_user_files "$bin" "$dest"
    mkdir -p "$dest/SDK/example"
    cp "$repo/sdk/GUIDE.md" "$repo/plugins/morphex_plugin.h" "$dest/SDK/"
    cp -r "$repo/sdk/example/." "$dest/SDK/example/"
}

for arch in ${MORPHEX_PACKAGE_ARCHS:-x86 x64}; do
    build=$(arch_build "$arch")
    name="morphex-$version-$arch"
    stage_files "$(build_root)/$build/bin" "$stage/$name"
    cp "$repo/ui/images/morphex.ico" "$stage/"
    rm -f "$out/$name.msi" "$out/$name.zip"
    (cd "$stage" &&
     python3 "$repo/scripts/package_wxs.py" "$name" "$arch" "$version" morphex.ico >"$name.wxs" &&
     wixl -a "$arch" -o "$out/$name.msi" "$name.wxs" &&
     zip -qrX "$out/$name.zip" "$name")
    echo "$out/$name.msi"
    echo "$out/$name.zip"
done
