#!/usr/bin/env bash
# Installs what is missing, builds a Release build with the man pages and
# makes the Debian package with CPack (runtime dependencies found by
# dpkg-shlibdeps). Prints the path of the .deb on its last line.
# Usage: bash scripts/package.sh [BUILD_DIR]   (default build/release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-$root/build/release}" && cd "${1:-$root/build/release}" && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKEYLINE_SANITIZE=OFF \
  -DKEYLINE_TESTS=OFF -DKEYLINE_MAN_PAGES=ON >/dev/null
cmake --build "$build" -j"$(nproc)" >&2
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >&2)
ls "$build"/*.deb
