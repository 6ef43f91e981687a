#!/usr/bin/env bash
# The KEY-line benchmark: builds the Release keyline-bench and the line
# references into build/bench, then measures --key-rig against a dummy
# rigctld and --key-serial on an emulated tty, each beside its reference
# (about 2 minutes). It reports and never fails on a time. Extra arguments
# go to bench/key_line_bench.py (e.g. --rounds 400).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/bench" -DCMAKE_BUILD_TYPE=Release -DKEYLINE_BENCH=ON \
  -DKEYLINE_SANITIZE=OFF -DKEYLINE_TESTS=OFF >/dev/null
cmake --build "$root/build/bench" --target keyline-bench line-reference -j"$(nproc)" >&2
exec umockdev-wrapper /usr/bin/python3 "$root/bench/key_line_bench.py" \
  --program "$root/build/bench/keyline-bench" \
  --line-reference "$root/build/bench/bench/line-reference" "$@"
