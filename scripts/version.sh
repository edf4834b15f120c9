#!/usr/bin/env bash
# Prints the product's version, as the top-level CMakeLists.txt declares it.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
sed -n 's/^project(Morphex VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt"
