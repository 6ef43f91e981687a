"""keyline-bench keyed through an emulated keyboard (umockdev) into
keyline-station on 127.0.0.1: a break-in hold, a continuous hold, then a
second keyline-bench with --ttl-ms 150 (shorter than its 200 ms keepalive),
which the station reports as lapses. Prints both programs' output and the
station's exit status. Run under umockdev-wrapper."""

import argparse
import gc
import os
import re
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "process"))

from keyline_harness import KEY_GRAVE, Agent, EmulatedInput, GLibLoop  # noqa: E402


class _NoDevices:
    def child_env(self):
        return dict(os.environ)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bench", required=True, help="keyline-bench")
    ap.add_argument("--station", required=True, help="keyline-station")
    args = ap.parse_args()

    loop = GLibLoop()
    inputs = EmulatedInput()
    inputs.add_keyboard()
    gc.disable()
    runs = []
    try:
        station = Agent(args.station, _NoDevices(), None).start(
            ["--port", "0"], stdin="devnull", port=False)
        runs.append(station)
        port = re.search(r":(\d+)  \(udp\)$", station.wait_line(r"LISTENING")).group(1)

        bench = Agent(args.bench, inputs, None).start(["--port", port, "--global-keys"], port=False)
        runs.append(bench)
        bench.wait_banner()
        inputs.down(KEY_GRAVE)          # a dit: break-in, released after the hang
        time.sleep(0.08)
        inputs.up(KEY_GRAVE)
        bench.wait_line(r"RELEASE .*hang done")
        inputs.down(KEY_GRAVE)          # a long mark: continuous
        time.sleep(1.0)
        inputs.up(KEY_GRAVE)
        bench.wait_line(r"RELEASE .*continuous")
        bench.quit()

        short = Agent(args.bench, inputs, None).start(
            ["--port", port, "--global-keys", "--ttl-ms", "150"], port=False)
        runs.append(short)
        short.wait_banner()
        inputs.down(KEY_GRAVE)          # a continuous mark under a 150 ms ttl
        time.sleep(0.7)
        inputs.up(KEY_GRAVE)
        short.wait_line(r"RELEASE ")
        time.sleep(0.3)
        short.quit()

        station.signal(signal.SIGINT)
        status = station.wait_exit()
        for title, run in (("keyline-bench --port %s --global-keys" % port, bench),
                           ("keyline-bench --port %s --global-keys --ttl-ms 150" % port, short),
                           ("keyline-station --port 0  (ended with Ctrl-C; exit status %d)" % status,
                            station)):
            print("$ " + title)
            for line in run.lines():
                print(line)
            print()
        return 0
    finally:
        for run in runs:
            run.kill()
        inputs.close()
        loop.stop()
        gc.enable()


if __name__ == "__main__":
    os._exit(main())
