"""How long a whole keyline-conform run takes with the defaults: every
scenario against the toy station (tests/process/toy_station.py, correct,
transmitting whenever free) keying a dummy rigctld's PTT, watched through
the rig with --expect-tx. The reference, from the same program in the same
run, is the schedule itself (--list: each scenario's length and the settle
pause before it); what the run takes beyond it is the program's own cost
(sockets, the watch, the judgement, the output). The target is the 90 s a
run may take.

Loopback only; every wait is bounded. Reports, never fails."""

import argparse
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

TARGET_S = 90.0
HERE = os.path.dirname(os.path.abspath(__file__))
TOY_STATION = os.path.join(HERE, "..", "tests", "process", "toy_station.py")


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(test, what, seconds=10):
    deadline = time.monotonic() + seconds
    while not test():
        if time.monotonic() > deadline:
            sys.exit("conform_run: %s did not start" % what)
        time.sleep(0.05)


def connectable(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", required=True, help="the keyline-conform to run")
    args = parser.parse_args()

    listed = subprocess.run([args.program, "--list"], capture_output=True, text=True, check=True,
                            timeout=30).stdout
    planned = {name: float(s) for name, s in re.findall(r"^([a-z-]+) +\d\.\d +([\d.]+) s ", listed, re.MULTILINE)}
    planned_run = float(re.search(r"^whole run: ([\d.]+) s", listed, re.MULTILINE).group(1))

    rig_port = free_tcp_port()
    rig = subprocess.Popen(["rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", str(rig_port)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with tempfile.TemporaryDirectory() as folder:
        port_file = os.path.join(folder, "toy.port")
        toy = None
        try:
            wait_for(lambda: connectable(rig_port), "rigctld")
            toy = subprocess.Popen([sys.executable, TOY_STATION, "--port-file", port_file, "--rig-port",
                                    str(rig_port), "--transmit"])
            wait_for(lambda: os.path.exists(port_file), "the toy station")
            station = "127.0.0.1:%d" % int(open(port_file).read())
            started = time.monotonic()
            run = subprocess.run([args.program, "--station", station, "--watch-rig", "127.0.0.1:%d" % rig_port,
                                  "--expect-tx", "--json"], capture_output=True, text=True, timeout=300)
            measured = time.monotonic() - started
        finally:
            for proc in (toy, rig):
                if proc and proc.poll() is None:
                    proc.terminate()
                    proc.wait(timeout=5)

    lines = [json.loads(line) for line in run.stdout.splitlines() if line.startswith("{")]
    scenarios = [line for line in lines if line.get("event") == "scenario"]
    overrun = [line["length_ms"] / 1000.0 - planned[line["name"]] for line in scenarios]
    verdicts = {}
    for line in scenarios:
        verdicts[line["verdict"]] = verdicts.get(line["verdict"], 0) + 1
    print("keyline-conform: a whole run with the defaults, %d scenarios against the correct toy station "
          "(--watch-rig, --expect-tx)" % len(scenarios))
    print("  reference: the schedule (--list), settle pauses included   %6.1f s" % planned_run)
    print("  measured, start to exit                                    %6.1f s  (%+.1f s beyond the schedule)"
          % (measured, measured - planned_run))
    if overrun:
        print("  each scenario beyond its planned length: at most %d ms, on average %d ms"
              % (max(overrun) * 1000, sum(overrun) / len(overrun) * 1000))
    print("  verdicts: %s; exit status %d" % (", ".join("%s %d" % kv for kv in sorted(verdicts.items())),
                                              run.returncode))
    print("  target <= %.0f s: %s" % (TARGET_S, "met" if measured <= TARGET_S else "MISSED"))


if __name__ == "__main__":
    main()
