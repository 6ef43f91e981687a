#!/usr/bin/env bash
# The whole job with no keyboard and no /dev/input: keyline-station listens on
# a free port of 127.0.0.1, keyline-bench keys "CQ TEST" at 25 WPM into it and
# quits by itself, and the lines of both programs are shown interleaved, each
# with its program's name. Then SIGINT stops the station, which ends with its
# summary. Exit status 0 when keyline-bench quit by itself and the station saw
# no problem.
#
# Builds what is missing (Release, in build/release: both programs and their
# man pages, as scripts/run.sh does). With KEYLINE_BENCH_BIN
# and KEYLINE_STATION_BIN both set, runs those programs and builds nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bench=${KEYLINE_BENCH_BIN:-}
station=${KEYLINE_STATION_BIN:-}
tmp=$(mktemp -d)
station_pid=
display_pid=

cleanup() {
  if [ -n "$station_pid" ] && kill -0 "$station_pid" 2>/dev/null; then
    kill -KILL "$station_pid" 2>/dev/null || true
  fi
  if [ -n "$display_pid" ]; then
    kill "$display_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

fail() {
  echo "demo: $*" >&2
  exit 1
}

if [ -z "$bench" ] || [ -z "$station" ]; then
  bash "$root/scripts/setup.sh"
  echo "demo: building keyline-bench and keyline-station (Release, build/release)" >&2
  if ! { cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release &&
         cmake --build "$root/build/release" -j"$(nproc)"; } >"$tmp/build.log" 2>&1; then
    cat "$tmp/build.log" >&2
    fail "the build failed"
  fi
  bench=$root/build/release/keyline-bench
  station=$root/build/release/keyline-station
fi

# From here a Ctrl-C goes to both programs, which end as they do on SIGINT;
# this script and its line filters ignore it, so that every last line of both
# is still shown. The programs get SIGINT's default disposition back (a
# background command of a script would start with it ignored).
trap '' INT
env --default-signal=INT "$station" --port 0 >"$tmp/station.out" 2>&1 </dev/null &
station_pid=$!

# Its first line says where it listens, the port the system gave last.
for _ in $(seq 100); do
  if [ "$(wc -l <"$tmp/station.out")" -ge 1 ] || ! kill -0 "$station_pid" 2>/dev/null; then
    break
  fi
  sleep 0.05
done
first_line=$(head -n 1 "$tmp/station.out")
port=$(grep -oE '[0-9]+' <<<"$first_line" | tail -n 1 || true)
if [ -z "$port" ] || [ "$port" -lt 1 ] || [ "$port" -gt 65535 ]; then
  cat "$tmp/station.out" >&2
  fail "keyline-station did not say which port it listens on"
fi

tail -n +1 -s 0.1 -f --pid="$station_pid" "$tmp/station.out" | sed -u 's/^/station | /' &
display_pid=$!

set +e
env --default-signal=INT "$bench" --port "$port" --key-text "CQ TEST" --wpm 25 </dev/null 2>&1 |
  tee "$tmp/bench.out" | sed -u 's/^/bench   | /'
bench_status=${PIPESTATUS[0]}
set -e

# Let the station show the last RELEASE before it is stopped.
releases=$(grep -c 'RELEASE' "$tmp/bench.out" || true)
for _ in $(seq 40); do
  [ "$(grep -ci 'release' "$tmp/station.out" || true)" -ge "$releases" ] && break
  sleep 0.05
done

kill -INT "$station_pid" 2>/dev/null || true
station_status=
for _ in $(seq 100); do
  if ! kill -0 "$station_pid" 2>/dev/null; then
    set +e
    wait "$station_pid"
    station_status=$?
    set -e
    break
  fi
  sleep 0.05
done
[ -n "$station_status" ] || fail "keyline-station did not stop within 5 s of SIGINT"
station_pid=
wait "$display_pid" 2>/dev/null || true
display_pid=

[ "$bench_status" -eq 0 ] || fail "keyline-bench exited with status $bench_status"
[ "$station_status" -eq 0 ] || fail "keyline-station exited with status $station_status (1: it saw a problem)"
