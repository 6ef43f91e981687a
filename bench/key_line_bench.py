"""Benchmark of keyline-bench keyed from a real transmitter's lines, each
beside a reference measured in the same run:

- rig: a dummy rigctld on 127.0.0.1 (hamlib's model 1) keyed by this script
  with "T 1" / "T 0"; from the "T 1" reply to the HOLD's kernel arrival, for
  keyline-bench --key-rig and for a bare client polling "t" at the same rate
  (line-reference rig). Both poll the one rigctld at the same time, so every
  round is measured on both: the differences are per round. Target at the
  default poll: p50 <= poll/2 + 1 ms, p99 <= poll + 2 ms.
- rig CPU: keyline-bench --key-rig (KEY up) minus the same program idle,
  beside hamlib's own client and the bare client, all polling every 10 ms
  over the same windows. Target: at most 1 % of a core; where hamlib's own
  client alone costs more, the program is judged by what it adds to it.
- serial: two emulated ttys (umockdev), one each for keyline-bench
  --key-serial and the TIOCMIWAIT reference (line-reference serial); the
  line changes on both at once, and the latency runs from the change to the
  HOLD's kernel arrival. Judged as the keyboard's key-to-HOLD row: per-round
  differences from the reference, median <= +0.30, p90 <= +0.60 and
  p99 <= +1.50 ms.

Run it through bench/run_key_line_bench.sh. It reports; it never fails on a
time.
"""

import argparse
import gc
import os
import random
import signal
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "process"))
sys.path.insert(0, HERE)

import bench_report as report  # noqa: E402
from keyline_harness import EmulatedInput, GLibLoop, UdpReceiver  # noqa: E402
from rigctld import Rigctld  # noqa: E402

MS = 1000.0
# What --key-rig may add to hamlib's own client polling at the same rate, in %
# of a core (10 us a poll at 100 polls a second).
CPU_OVER_HAMLIB = 0.10


def start(argv, env=None):
    return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env, start_new_session=True)


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(timeout=5)


def wait_ready(proc, text, timeout=10.0):
    """Reads stdout lines until one contains text (the banner's end, "ready")."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = proc.stdout.readline().decode("utf-8", "replace")
        if not line:
            raise RuntimeError("program ended before it was ready")
        if text in line:
            threading.Thread(target=lambda: proc.stdout.read(), daemon=True).start()
            return
    raise RuntimeError("not ready in time")


def wait_ttl(receiver, count, ttl_zero, timeout=2.0):
    """The arrival of datagram number `count` (0-based) if it is a HOLD (or a
    RELEASE when ttl_zero), else None."""
    grams = receiver.wait_count(count + 1, timeout)
    for arrived, body, _ in grams[count:]:
        if body and (body["ttl_ms"] == 0) == ttl_zero:
            return arrived
    return None


def events_of(receiver):
    """Every datagram's kernel arrival, keyed by whether it is a RELEASE."""
    return [(arrived, body["ttl_ms"] == 0) for arrived, body, _ in receiver.datagrams() if body]


def first_between(events, t0, t1, release):
    """The first HOLD (or RELEASE) that arrived from t0 up to t1, or None:
    each round's datagram is looked for before the next round began."""
    for arrived, is_release in events:
        if t0 <= arrived < t1 and is_release == release:
            return arrived
    return None


def bench_rig(opts, out):
    rig = Rigctld()
    program_rx = UdpReceiver(kernel_stamps=True)
    reference_rx = UdpReceiver(kernel_stamps=True)
    other_rx = UdpReceiver()  # the CPU references' datagrams, not timed
    target = rig.address
    program = start([opts.program, "--key-rig", target, "--rig-poll-ms", str(opts.poll_ms),
                     "--fixed-hang-ms", "0", "--port", str(program_rx.port)])
    # The same program idle with no rig (a script that keys nothing for
    # minutes): what it costs without polling.
    idle_script = os.path.join(opts.tmp, "idle.ks")
    with open(idle_script, "w") as f:
        f.write("up 600000\n")
    idle = start([opts.program, "--key-script", idle_script, "--port", str(other_rx.port)])
    # hamlib's own client polling the same rig: what hamlib costs by itself.
    hamlib = start([opts.line_reference, "hamlib", "--port", str(other_rx.port), "--rig", target,
                    "--poll-ms", str(opts.poll_ms)])
    reference = start([opts.line_reference, "rig", "--port", str(reference_rx.port), "--rig", target,
                       "--poll-ms", str(opts.poll_ms)])
    try:
        wait_ready(program, "See docs/")
        wait_ready(reference, "ready")
        wait_ready(idle, "See docs/")
        wait_ready(hamlib, "ready")
        time.sleep(0.3)
        downs = []
        rng = random.Random(1)
        for _ in range(opts.rounds):
            time.sleep(rng.uniform(0.02, 0.02 + opts.poll_ms / MS))  # a random phase of the polls
            downs.append(rig.key(True))
            time.sleep(0.06 + rng.uniform(0, 0.02))
            rig.key(False)
            time.sleep(0.06)
        time.sleep(0.3)
        lat = {"program": [], "reference": []}
        diffs = []
        misses = {"program": 0, "reference": 0}
        ev = {"program": events_of(program_rx), "reference": events_of(reference_rx)}
        ends = [sent for sent, _ in downs[1:]] + [float("inf")]
        for (sent, t0), t1 in zip(downs, ends):
            got = {}
            for who in lat:
                arrived = first_between(ev[who], sent, t1, False)
                if arrived is None:
                    misses[who] += 1
                else:
                    got[who] = (arrived - t0) * MS
                    lat[who].append(got[who])
            if len(got) == 2:
                diffs.append(got["program"] - got["reference"])

        # CPU: all polling with the KEY up (the idle one not), over the
        # same windows.
        procs = (("program", program), ("reference", reference), ("idle", idle), ("hamlib", hamlib))
        windows = []
        for _ in range(opts.cpu_windows):
            c0 = {w: cpu_ns(p.pid) for w, p in procs}
            w0 = time.monotonic()
            time.sleep(opts.cpu_s / opts.cpu_windows)
            wall = time.monotonic() - w0
            windows.append({w: (cpu_ns(p.pid) - c0[w]) / 1e9 / wall * 100.0 for w, p in procs})
    finally:
        stop(program)
        stop(reference)
        stop(idle)
        stop(hamlib)
        program_rx.close()
        reference_rx.close()
        other_rx.close()
        rig.stop()

    p50_limit = opts.poll_ms / 2.0 + 1.0
    p99_limit = opts.poll_ms + 2.0
    s = {w: report.stats(lat[w]) for w in lat}
    d = report.stats(diffs)
    out.append("R1. Rig PTT to HOLD (\"T 1\" reply -> HOLD arrival), dummy rigctld on 127.0.0.1, "
               "poll every %d ms" % opts.poll_ms)
    for who, name in (("program", "keyline-bench"), ("reference", "bare t poller")):
        x = s[who]
        out.append("  %-16s n=%d (misses %d)  median %s  p90 %s  p99 %s  max %s ms"
                   % (name, x["n"], misses[who], report.fmt(x["median"]), report.fmt(x["p90"]),
                      report.fmt(x["p99"]), report.fmt(x["max"])))
    past, allowed = report.tail_past(lat["program"], p99_limit)
    ok = s["program"]["n"] > 0 and s["program"]["median"] <= p50_limit and past <= allowed \
        and misses["program"] == 0
    out.append("  target p50 <= %s (poll/2 + 1), p99 <= %s (poll + 2) ms, %d of %d past it (at most %d "
               "by chance): %s" % (report.fmt(p50_limit), report.fmt(p99_limit), past,
                                  s["program"]["n"], allowed, report.verdict(ok)))
    out.append("  per round, keyline-bench minus the bare poller: median %+.2f  p90 %+.2f  p99 %+.2f ms "
               "(n=%d)" % (d["median"], d["p90"], d["p99"], d["n"]))
    cpu_lines, cpu_ok = cpu_rows(opts, windows)
    out.extend(cpu_lines)
    return ok and cpu_ok


def cpu_ns(pid):
    """CPU time of the whole process (every thread), in ns."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except FileNotFoundError:
            pass  # a thread that just ended
    return total


def cpu_rows(opts, windows):
    """The polling's cost is --key-rig minus the same program idle, window by
    window. Target: at most 1 % of a core. hamlib's own client polling the
    same rig is the floor of any program reading the PTT through hamlib: when
    that floor alone is over the target, the target cannot be met here, and
    the program is judged by what it adds to hamlib, per window, at most
    CPU_OVER_HAMLIB (a MISSED row then means the program's own work is at
    fault)."""
    polling = [w["program"] - w["idle"] for w in windows]
    over = [p - w["hamlib"] for p, w in zip(polling, windows)]
    med = {k: report.median([w[k] for w in windows]) for k in windows[0]}
    lines = ["R2. CPU polling the rigctld every %d ms, KEY up, %d windows of %.1f s side by side (%% of a core)"
             % (opts.poll_ms, len(windows), opts.cpu_s / len(windows))]
    lines.append("  keyline-bench --key-rig median %s, the same program idle without a rig %s; hamlib's own "
                 "client alone %s; bare t poller %s"
                 % (report.fmt(med["program"]), report.fmt(med["idle"]), report.fmt(med["hamlib"]),
                    report.fmt(med["reference"])))
    lines.append("  the polling's cost (--key-rig minus idle) per window: median %s (%s)"
                 % (report.fmt(report.median(polling)), ", ".join(report.fmt(x) for x in polling)))
    lines.append("  per window, the polling's cost minus hamlib's client: median %+.2f (%s)"
                 % (report.median(over), ", ".join("%+.2f" % x for x in over)))
    if report.median(polling) <= 1.0:
        lines.append("  target <= 1.00 %%: %s" % report.verdict(True))
        return lines, True
    if med["hamlib"] <= 1.0:
        lines.append("  target <= 1.00 %%: %s" % report.verdict(False))
        return lines, False
    ok = report.median(over) <= CPU_OVER_HAMLIB
    lines.append("  target <= 1.00 %%: out of reach through hamlib here (its own client alone costs %s, "
                 "the bare poller %s); judged against hamlib's client: median excess <= +%.2f: %s"
                 % (report.fmt(med["hamlib"]), report.fmt(med["reference"]), CPU_OVER_HAMLIB,
                    report.verdict(ok)))
    return lines, ok


def bench_serial(opts, out):
    from serial_emulation import TIOCM_CTS, EmulatedSerial

    loop = GLibLoop()
    inputs = EmulatedInput()
    ports = {"program": EmulatedSerial(inputs, "ttyUSB0"), "reference": EmulatedSerial(inputs, "ttyUSB1")}
    rx = {"program": UdpReceiver(kernel_stamps=True), "reference": UdpReceiver(kernel_stamps=True)}
    env = inputs.child_env()
    program = start([opts.program, "--key-serial", ports["program"].path + ":cts", "--fixed-hang-ms", "0",
                     "--port", str(rx["program"].port)], env)
    reference = start([opts.line_reference, "serial", "--port", str(rx["reference"].port), "--device",
                       ports["reference"].path, "--mask", str(TIOCM_CTS)], env)
    gc.disable()
    try:
        wait_ready(program, "See docs/")
        wait_ready(reference, "ready")
        time.sleep(0.3)
        rng = random.Random(2)
        changes = []
        for _ in range(opts.rounds):
            time.sleep(rng.uniform(0.05, 0.055))  # a random phase of the 5 ms tick
            t0 = time.monotonic()
            for port in ports.values():
                port.set_line("cts", True)
            changes.append(t0)
            time.sleep(0.05)
            for port in ports.values():
                port.set_line("cts", False)
        time.sleep(0.3)
    finally:
        gc.enable()
        stop(program)
        stop(reference)
    lat = {"program": [], "reference": []}
    misses = {"program": 0, "reference": 0}
    diffs = []
    ev = {w: events_of(rx[w]) for w in rx}
    for t0, t1 in zip(changes, changes[1:] + [float("inf")]):
        got = {}
        for who in lat:
            arrived = first_between(ev[who], t0, t1, False)
            if arrived is None:
                misses[who] += 1
            else:
                got[who] = (arrived - t0) * MS
                lat[who].append(got[who])
        if len(got) == 2:
            diffs.append(got["program"] - got["reference"])
    for r in rx.values():
        r.close()
    inputs.close()
    loop.stop()

    s = {w: report.stats(lat[w]) for w in lat}
    d = report.stats(diffs)
    out.append("S1. Serial line to HOLD (emulated CTS rises -> HOLD arrival), umockdev tty")
    for who, name in (("program", "keyline-bench"), ("reference", "TIOCMIWAIT ref")):
        x = s[who]
        out.append("  %-16s n=%d (misses %d)  median %s  p90 %s  p99 %s  max %s ms"
                   % (name, x["n"], misses[who], report.fmt(x["median"]), report.fmt(x["p90"]),
                      report.fmt(x["p99"]), report.fmt(x["max"])))
    past, allowed = report.tail_past(diffs, 1.5)
    ok = d["n"] > 0 and d["median"] <= 0.3 and d["p90"] <= 0.6 and past <= allowed and misses["program"] == 0
    out.append("  per round, keyline-bench minus the reference: median %+.2f  p90 %+.2f  p99 %+.2f ms (n=%d)"
               % (d["median"], d["p90"], d["p99"], d["n"]))
    out.append("  target per-round median <= +0.30, p90 <= +0.60, p99 <= +1.50 ms, %d of %d past it "
               "(at most %d by chance): %s" % (past, d["n"], allowed, report.verdict(ok)))
    return ok


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--line-reference", required=True)
    ap.add_argument("--rounds", type=int, default=200)
    ap.add_argument("--poll-ms", type=int, default=10)
    ap.add_argument("--cpu-s", type=float, default=24.0)
    ap.add_argument("--cpu-windows", type=int, default=8)
    opts = ap.parse_args()
    opts.tmp = tempfile.mkdtemp(prefix="key-line-bench.")
    began = time.monotonic()
    out = []
    try:
        bench_rig(opts, out)
        bench_serial(opts, out)
    finally:
        shutil.rmtree(opts.tmp, ignore_errors=True)
    load = os.getloadavg()
    print("keyline-bench KEY-line benchmark (Release): rig PTT through a dummy rigctld and an emulated "
          "serial line, each beside its reference")
    print("machine: nproc %d, load average %.2f %.2f %.2f; run took %.0f s"
          % (os.cpu_count(), load[0], load[1], load[2], time.monotonic() - began))
    print("latencies in ms to the datagram's kernel arrival on 127.0.0.1")
    print()
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    os._exit(main())
