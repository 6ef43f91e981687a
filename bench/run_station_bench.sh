#!/usr/bin/env bash
# keyline-station's benchmark: installs what is missing, builds Release into
# build/bench, then prints
#  1. parse-and-track speed on one core beside a bare QJsonDocument parse,
#  2. the flood (100 000 hostile datagrams from 10 000 ports, peak RSS, a
#     normal hold after it),
#  3. keyline-bench keyed through an emulated keyboard into keyline-station,
#  4. the delay keyline-station --forward adds, per round beside the same
#     datagram sent straight, at 5, 10 and 50 ms rounds, next to a bare
#     forwarder and socat,
#  5. how long a whole keyline-conform run takes, beside its schedule.
# It reports and never fails on a figure. Extra arguments go to the flood
# (e.g. --count 20000).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/bench" -DCMAKE_BUILD_TYPE=Release -DKEYLINE_BENCH=ON \
  -DKEYLINE_SANITIZE=OFF -DKEYLINE_TESTS=OFF >/dev/null
cmake --build "$root/build/bench" --target keyline-station keyline-bench keyline-conform station-bench forward-reference -j"$(nproc)" >&2
"$root/build/bench/bench/station-bench"
echo
/usr/bin/python3 "$root/bench/station_flood.py" --program "$root/build/bench/keyline-station" "$@"
echo
umockdev-wrapper /usr/bin/python3 "$root/bench/station_pair.py" \
  --bench "$root/build/bench/keyline-bench" --station "$root/build/bench/keyline-station"
echo
/usr/bin/python3 "$root/bench/tap_delay.py" --station "$root/build/bench/keyline-station" \
  --reference "$root/build/bench/bench/forward-reference"
echo
/usr/bin/python3 "$root/bench/conform_run.py" --program "$root/build/bench/keyline-conform"
