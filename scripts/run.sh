#!/usr/bin/env bash
# Installs what is missing, makes the Release build in build/release (both
# programs, their man pages and all that cmake --install needs) and runs
# keyline-bench with the arguments given to this script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build/release" -j"$(nproc)" >&2
exec "$root/build/release/keyline-bench" "$@"
