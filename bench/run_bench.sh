#!/usr/bin/env bash
# The benchmark: installs what is missing, builds the Release keyline-bench,
# the 5 ms reference poller and the event reference into build/bench, and
# runs the measurements under an emulated keyboard (about 17 minutes). Prints
# --decode's accuracy, then one table; it reports and never fails on a time.
# Extra arguments go to bench/keyline_bench.py (e.g. --presses 400).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/bench" -DCMAKE_BUILD_TYPE=Release -DKEYLINE_BENCH=ON \
  -DKEYLINE_SANITIZE=OFF -DKEYLINE_TESTS=OFF >/dev/null
cmake --build "$root/build/bench" --target keyline-bench reference-poller event-reference \
  -j"$(nproc)" >&2
# --decode's accuracy, through the program itself (about 10 minutes).
python3 "$root/bench/decoder_accuracy.py" --program "$root/build/bench/keyline-bench"
echo
exec umockdev-wrapper /usr/bin/python3 "$root/bench/keyline_bench.py" \
  --program "$root/build/bench/keyline-bench" \
  --reference "$root/build/bench/bench/reference-poller" \
  --event-reference "$root/build/bench/bench/event-reference" "$@"
