#!/usr/bin/env bash
# Installs what is missing, builds a Release build and runs keyline-bench
# with the arguments given to this script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build/release" --target keyline-bench -j"$(nproc)" >&2
exec "$root/build/release/keyline-bench" "$@"
