#!/usr/bin/env bash
# Builds the Debian package of both programs from a build tree:
# scripts/package.sh [BUILD_DIR] (default build). Prints the package's path.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:-$root/build}"
[ -f "$dir/CPackConfig.cmake" ] || bash "$root/scripts/build.sh" "$dir"
rm -rf "$dir/package"
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/package/orvik_*.deb
