#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UBSan, and runs
# every test (unit and process tests) through CTest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/test" -DCMAKE_BUILD_TYPE=Debug \
  -DKEYLINE_SANITIZE=ON -DKEYLINE_TESTS=ON >/dev/null
cmake --build "$root/build/test" -j"$(nproc)"
cd "$root/build/test"
ctest --output-on-failure "$@"
