"""Benchmark of keyline-bench against the reference poller.

Both programs run under the same emulated keyboard (umockdev), with a
pseudo-terminal on standard input and a UDP receiver on 127.0.0.1, one after
the other in alternating blocks (or side by side where CPU is compared), so
the emulation's own latency and CPU weigh on both alike. Prints one table:
each figure beside the reference's and its target.

Run it through bench/run_bench.sh, which builds both programs; the process
test harness (tests/process/keyline_harness.py) supplies the keyboard, the
terminal, the receiver and the program runs.

This reports; it never fails on a time. The exit status is 0 unless the
programs could not be run at all.
"""

import argparse
import gc
import json
import os
import random
import re
import shutil
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "process"))

MS = 1000.0
KEY_OPEN_RE = re.compile(r"KEY OPEN\s+hang=(\d+) ms")


# --- statistics -------------------------------------------------------------

def percentile(values, q):
    """Linear interpolation between closest ranks; q in 0..100."""
    if not values:
        return float("nan")
    s = sorted(values)
    pos = (len(s) - 1) * q / 100.0
    lo = int(pos)
    hi = min(lo + 1, len(s) - 1)
    return s[lo] + (s[hi] - s[lo]) * (pos - lo)


def median(values):
    return statistics.median(values) if values else float("nan")


def fmt(x, digits=2):
    return "n/a" if x != x else "%.*f" % (digits, x)


def span(values, digits=2):
    """The spread of per-block figures, as min..max."""
    values = [v for v in values if v == v]
    if not values:
        return "n/a"
    return "%s..%s" % (fmt(min(values), digits), fmt(max(values), digits))


# --- process helpers --------------------------------------------------------

def cpu_window(h, pids, seconds):
    """CPU seconds each process used over the next `seconds`, and the wall
    time the window really took."""
    c0 = [h.cpu_seconds(pid) for pid in pids]
    w0 = time.monotonic()
    time.sleep(seconds)
    c1 = [h.cpu_seconds(pid) for pid in pids]
    return [b - a for a, b in zip(c0, c1)], time.monotonic() - w0


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return None


def cadence(stamps):
    """Intervals (ms) between successive datagram arrivals, p99 of their
    distance from 200 ms, and the drift over 100 intervals: how far 100
    intervals in a row end from 20 s, over every such window (median and
    worst). A single late keepalive only moves the window that ends on it;
    the timer keeps its rhythm, so drift is judged on the median window."""
    intervals = [(b - a) * MS for a, b in zip(stamps, stamps[1:])]
    windows = [abs(sum(intervals[i:i + 100]) - 100 * 200.0)
               for i in range(0, len(intervals) - 99)]
    return {
        "intervals": intervals,
        "p99_dev": percentile([abs(i - 200.0) for i in intervals], 99),
        "drift": median(windows),
        "drift_worst": max(windows) if windows else float("nan"),
    }


def wait_release(receiver, start, timeout):
    """Arrival of the first datagram from index start with ttl_ms 0, or None."""
    deadline = time.monotonic() + timeout
    seen = start
    while True:
        got = receiver.wait_count(seen + 1, max(0.0, deadline - time.monotonic()))
        for arrived, parsed, _ in got[seen:]:
            if parsed and parsed.get("ttl_ms") == 0:
                return arrived
        seen = len(got)
        if time.monotonic() >= deadline:
            return None


class Bench:
    """The programs, the emulated keyboard and what was measured."""

    def __init__(self, h, program, reference, opts):
        self.h = h  # the harness module
        self.program = program
        self.reference = reference
        self.opts = opts
        self.inputs = h.EmulatedInput()
        self.inputs.add_keyboard()
        self.device = "/dev/input/by-path/" + h.KBD_LINK
        self.rss = {"program": [], "reference": []}
        self.startup = {"program": [], "reference": []}
        self.samples = {}

    # --- runs ---------------------------------------------------------------

    def start(self, who, args):
        """A fresh run of one program with its own receiver; waits for the
        banner (the reference prints a one-line banner) and notes the time
        from process start to its last line."""
        receiver = self.h.UdpReceiver(kernel_stamps=True)
        if who == "program":
            run = self.h.Agent(self.program, self.inputs, receiver)
            argv = list(args)
        else:
            run = self.h.Agent(self.reference, self.inputs, receiver)
            argv = ["--device", self.device] + (["--global-keys"] if "--global-keys" in args else [])
        started = time.monotonic()
        run.start(argv)
        run.wait_banner(timeout=15.0)
        for stamp, text in run.timed_lines():
            if text == "":
                self.startup[who].append((stamp - started) * MS)
                break
        return run, receiver

    def stop(self, who, run, receiver):
        try:
            if run.running():
                rss = peak_rss_kib(run.proc.pid)
                if rss:
                    self.rss[who].append(rss)
                run.quit(timeout=10.0)
        except AssertionError:
            pass
        finally:
            run.kill()
            receiver.close()
        gc.collect()

    # --- latency --------------------------------------------------------------

    def press_block(self, who, terminal, n):
        """n presses of the grave key; returns (key->first datagram, up->RELEASE)
        latencies in ms and the number of presses without an answer."""
        args = ["--fixed-hang-ms", "0"] + ([] if terminal else ["--global-keys"])
        run, receiver = self.start(who, args)
        kb = self.inputs
        grave = self.h.KEY_GRAVE
        # The program answers a press with HOLD and RELEASE; the reference in
        # terminal mode answers the byte alone.
        per_press = 1 if (terminal and who == "reference") else 2
        downs, ups, misses = [], [], 0
        try:
            time.sleep(0.2)
            for _ in range(n):
                # Random gaps and marks spread the edges over the 5 ms tick.
                time.sleep(0.030 + random.uniform(0.0, 0.010))
                base = len(receiver.datagrams())
                kb.down(grave)
                t0 = time.monotonic()
                if terminal:
                    run.tty.type(b"`")
                got = receiver.wait_count(base + 1, 1.0)
                if len(got) > base and got[base][1] and got[base][1].get("ttl_ms", 0) != 0:
                    downs.append((got[base][0] - t0) * MS)
                else:
                    misses += 1
                time.sleep(0.040 + random.uniform(0.0, 0.010))
                t1 = time.monotonic()
                kb.up(grave)
                if per_press == 2:
                    got = receiver.wait_count(base + 2, 1.0)
                    if len(got) > base + 1 and got[base + 1][1] and got[base + 1][1].get("ttl_ms") == 0:
                        ups.append((got[base + 1][0] - t1) * MS)
                    else:
                        misses += 1
                    # Anything late or extra would shift the next press's count.
                    time.sleep(0.002)
        finally:
            kb.set_keys(())
            self.stop(who, run, receiver)
        return downs, ups, misses

    def latency(self, terminal, n):
        """Alternating blocks of the program and the reference."""
        blocks = max(1, self.opts.blocks)
        per_block = -(-n // blocks)
        out = {w: {"down": [], "up": [], "misses": 0, "block_med": [], "block_p99": [],
                   "up_block_med": [], "up_block_p99": []} for w in ("program", "reference")}
        for b in range(blocks):
            order = ("program", "reference") if b % 2 == 0 else ("reference", "program")
            for who in order:
                downs, ups, misses = self.press_block(who, terminal, per_block)
                o = out[who]
                o["down"] += downs
                o["up"] += ups
                o["misses"] += misses
                o["block_med"].append(median(downs))
                o["block_p99"].append(percentile(downs, 99))
                if ups:
                    o["up_block_med"].append(median(ups))
                    o["up_block_p99"].append(percentile(ups, 99))
        return out

    # --- hang accuracy --------------------------------------------------------

    def hang_accuracy(self, n):
        """Short taps in system-wide mode with the computed break-in hang:
        RELEASE arrival minus (KEY OPEN line arrival + printed hang), in ms."""
        errors, hangs, wrong = [], [], 0
        run, receiver = self.start("program", ["--global-keys"])
        kb = self.inputs
        grave = self.h.KEY_GRAVE
        try:
            time.sleep(0.2)
            for _ in range(n):
                time.sleep(0.030 + random.uniform(0.0, 0.010))
                base = len(receiver.datagrams())
                line_base = len(run.timed_lines())
                kb.down(grave)
                receiver.wait_count(base + 1, 1.0)
                # 30..45 ms marks: hangs of 315..about 480 ms.
                time.sleep(0.030 + random.uniform(0.0, 0.015))
                kb.up(grave)
                # Keepalives go on during the hang: the RELEASE is the first
                # datagram with ttl_ms 0.
                release = wait_release(receiver, base + 1, 2.5)
                opened = None
                for stamp, text in run.timed_lines()[line_base:]:
                    m = KEY_OPEN_RE.search(text)
                    if m:
                        opened = (stamp, int(m.group(1)))
                        break
                if opened is None or release is None:
                    wrong += 1
                    time.sleep(1.5)
                    continue
                errors.append((release - opened[0]) * MS - opened[1])
                hangs.append(opened[1])
            run.wait_line(r"RELEASE.*\(hang done / EOT\)", timeout=1.0)
            notes = [t for t in run.lines() if "RELEASE" in t]
            not_eot = sum(1 for t in notes if "(hang done / EOT)" not in t)
        finally:
            kb.set_keys(())
            self.stop("program", run, receiver)
        return {"error": errors, "hangs": hangs, "missed": wrong, "not_eot": not_eot}

    # --- holding: keepalive cadence and CPU -------------------------------------

    def holding(self, reps, hold_s, cpu_s):
        """Grave held for hold_s with both programs running side by side in
        system-wide mode: keepalive intervals of the program, and CPU of both
        over cpu_s inside the hold."""
        result = {"cadence": [], "cpu": []}
        kb = self.inputs
        grave = self.h.KEY_GRAVE
        for _ in range(reps):
            prog, prog_rx = self.start("program", ["--global-keys"])
            ref, ref_rx = self.start("reference", ["--global-keys"])
            try:
                time.sleep(1.0)
                kb.down(grave)
                t_down = time.monotonic()
                time.sleep(2.0)
                used, wall = cpu_window(self.h, (prog.proc.pid, ref.proc.pid), cpu_s)
                time.sleep(max(0.0, hold_s - (time.monotonic() - t_down)))
                held = [d for d in prog_rx.datagrams() if d[1] and d[1].get("ttl_ms", 0) != 0]
                kb.up(grave)
                prog_rx.wait_count(len(held) + 1, 2.0)
            finally:
                kb.set_keys(())
                self.stop("reference", ref, ref_rx)
                self.stop("program", prog, prog_rx)
            result["cadence"].append(cadence([d[0] for d in held]))
            result["cpu"].append((used[0] * MS, used[1] * MS, wall))
        return result

    def latched_holds(self, reps, hold_s):
        """A hold latched with ~ in this-terminal mode: once the press window
        has closed the tick asks the device nothing, so the emulated ioctls
        cannot hold up the keepalive timer. Keepalive cadence only."""
        out = []
        for _ in range(reps):
            run, receiver = self.start("program", [])
            try:
                time.sleep(0.5)
                run.tty.type(b"~")
                time.sleep(hold_s)
                held = [d for d in receiver.datagrams() if d[1] and d[1].get("ttl_ms", 0) != 0]
                run.tty.type(b"`")  # the next press ends the latch
                wait_release(receiver, len(held), 2.0)
            finally:
                self.stop("program", run, receiver)
            out.append(cadence([d[0] for d in held]))
        return out

    def idle_cpu(self, reps, cpu_s):
        """Both programs idle in this-terminal mode, side by side."""
        out = []
        for _ in range(reps):
            prog, prog_rx = self.start("program", [])
            ref, ref_rx = self.start("reference", [])
            try:
                time.sleep(1.0)
                used, wall = cpu_window(self.h, (prog.proc.pid, ref.proc.pid), cpu_s)
            finally:
                self.stop("reference", ref, ref_rx)
                self.stop("program", prog, prog_rx)
            out.append((used[0] * MS, used[1] * MS, wall))
        return out

    def startups(self, n):
        for i in range(n):
            for who in (("program", "reference") if i % 2 == 0 else ("reference", "program")):
                run, receiver = self.start(who, [])
                self.stop(who, run, receiver)


# --- the table ----------------------------------------------------------------

def verdict(ok):
    return "met" if ok else "MISSED"


def latency_rows(title, prog, ref, key):
    """One row per latency figure: median and p99 beside the reference's."""
    p, r = prog[key], ref[key]
    pm, p99, rm, r99 = median(p), percentile(p, 99), median(r), percentile(r, 99)
    ok = pm <= rm + 0.5 and p99 <= r99 + 1.0
    bm = "block_med" if key == "down" else "up_block_med"
    bp = "block_p99" if key == "down" else "up_block_p99"
    return [
        title,
        "  n=%d (misses %d)  median %s  p99 %s  max %s ms; block medians %s, block p99 %s"
        % (len(p), prog["misses"], fmt(pm), fmt(p99), fmt(max(p) if p else float("nan")),
           span(prog[bm]), span(prog[bp])),
        "  reference n=%d  median %s  p99 %s  max %s ms; block medians %s, block p99 %s"
        % (len(r), fmt(rm), fmt(r99), fmt(max(r) if r else float("nan")),
           span(ref[bm]), span(ref[bp])),
        "  target median <= %s, p99 <= %s ms: %s (median %+.2f, p99 %+.2f ms against the reference)"
        % (fmt(rm + 0.5), fmt(r99 + 1.0), verdict(ok), pm - rm, p99 - r99),
    ], ok


def cadence_rows(title, holds, hold_s):
    all_iv = [i for c in holds for i in c["intervals"]]
    dev99 = percentile([abs(i - 200.0) for i in all_iv], 99)
    drift = max((c["drift"] for c in holds), default=float("nan"))
    worst = max((c["drift_worst"] for c in holds), default=float("nan"))
    ok = dev99 <= 1.5 and drift <= 5.0
    if not all_iv:
        return [title, "  not run"], True
    return [
        title,
        "  %d holds of %.0f s, n=%d intervals  median %s  min %s  max %s ms"
        % (len(holds), hold_s, len(all_iv), fmt(median(all_iv), 3),
           fmt(min(all_iv) if all_iv else float("nan")), fmt(max(all_iv) if all_iv else float("nan"))),
        "  p99 |interval-200| %s ms (per hold %s); drift over 100 intervals %s ms "
        "(per hold %s; worst window %s)"
        % (fmt(dev99), span([c["p99_dev"] for c in holds]), fmt(drift),
           span([c["drift"] for c in holds]), fmt(worst)),
        "  target p99 <= 1.50 ms, drift <= 5.00 ms: %s (no reference: it sends no keepalive)"
        % verdict(ok),
    ], ok


def cpu_rows(title, reps, limit):
    ratios = [p / r if r > 0 else float("inf") for p, r, _ in reps]
    prog = [p / w / 10.0 for p, _, w in reps]  # ms per s -> percent of a core
    ref = [r / w / 10.0 for _, r, w in reps]
    total_p = sum(p for p, _, _ in reps)
    total_r = sum(r for _, r, _ in reps)
    ratio = total_p / total_r if total_r > 0 else float("inf")
    ok = ratio <= limit
    return [
        title,
        "  keyline-bench %s ms CPU in %d x %.0f s (%s %% of a core per run)"
        % (fmt(total_p, 0), len(reps), reps[0][2] if reps else 0, ", ".join(fmt(x) for x in prog)),
        "  reference     %s ms CPU, same windows   (%s %% of a core per run)"
        % (fmt(total_r, 0), ", ".join(fmt(x) for x in ref)),
        "  ratio %s (per run %s); target <= %.2f x: %s"
        % (fmt(ratio), ", ".join(fmt(x) for x in ratios), limit, verdict(ok)),
    ], ok


def print_table(b, res, elapsed):
    lines = []
    oks = {}
    out = sys.stdout
    rows, oks[1] = latency_rows("1. Key to HOLD, system-wide (grave level down -> HOLD arrival)",
                                res["sys"]["program"], res["sys"]["reference"], "down")
    lines += rows
    rows, oks[2] = latency_rows("2. Key to HOLD, this terminal (grave byte written -> HOLD arrival)",
                                res["tty"]["program"], res["tty"]["reference"], "down")
    lines += rows
    rows, oks[3] = latency_rows("3. Open to RELEASE, --fixed-hang-ms 0, system-wide (level up -> RELEASE)",
                                res["sys"]["program"], res["sys"]["reference"], "up")
    lines += rows

    h = res["hang"]
    e = h["error"]
    early = [x for x in e if x < 0]
    ok4 = not early and percentile(e, 99) <= 6.5
    oks[4] = ok4
    lines += [
        "4. Hang accuracy: RELEASE (hang done / EOT) arrival - (KEY OPEN line arrival + hang)",
        "  n=%d (hangs %d..%d ms; missed %d, other notes %d)  min %s  median %s  p99 %s  max %s ms"
        % (len(e), min(h["hangs"] or [0]), max(h["hangs"] or [0]), h["missed"], h["not_eot"],
           fmt(min(e) if e else float("nan")), fmt(median(e)), fmt(percentile(e, 99)),
           fmt(max(e) if e else float("nan"))),
        "  early: %d of %d (earliest %s ms)" % (len(early), len(e), fmt(min(early) if early else 0.0)),
        "  target never early, p99 <= 6.50 ms late: %s (no reference: it has no hang)" % verdict(ok4),
    ]

    rows, ok5a = cadence_rows("5a. Keepalive cadence, grave held, system-wide (3 emulated ioctls per tick)",
                              res["hold"]["cadence"], b.opts.hold_s)
    lines += rows
    rows, ok5b = cadence_rows("5b. Keepalive cadence, latched (~), this terminal (no device query while latched)",
                              res["latched"], b.opts.hold_s)
    lines += rows
    oks[5] = ok5a and ok5b

    rows, ok6a = cpu_rows("6a. CPU idle, this-terminal mode, side by side", res["idle"], 1.15)
    lines += rows
    rows, ok6b = cpu_rows("6b. CPU holding, system-wide mode, side by side", res["hold"]["cpu"], 1.3)
    lines += rows
    oks[6] = ok6a and ok6b

    rss_p = max(b.rss["program"]) if b.rss["program"] else 0
    rss_r = max(b.rss["reference"]) if b.rss["reference"] else 0
    sp, sr = b.startup["program"], b.startup["reference"]
    ok7 = rss_p <= 16 * 1024 and median(sp) <= 100.0
    oks[7] = ok7
    lines += [
        "7. Peak RSS (VmHWM, largest of %d runs) %.1f MiB; reference %.1f MiB; target <= 16 MiB: %s"
        % (len(b.rss["program"]), rss_p / 1024.0, rss_r / 1024.0, verdict(rss_p <= 16 * 1024)),
        "   Start-up to the banner's last line: n=%d  median %s  p90 %s  max %s ms; "
        "reference median %s ms; target median <= 100 ms: %s"
        % (len(sp), fmt(median(sp), 1), fmt(percentile(sp, 90), 1),
           fmt(max(sp) if sp else float("nan"), 1), fmt(median(sr), 1),
           verdict(median(sp) <= 100.0)),
    ]

    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = os.getloadavg()
    head = [
        "keyline-bench benchmark (Release) vs reference poller, emulated keyboard (umockdev)",
        "machine: nproc %d, %s, load average %.2f %.2f %.2f; run took %.0f s"
        % (os.cpu_count() or 0, cpu, load[0], load[1], load[2], elapsed),
        "latencies in ms from the emulated edge to the datagram's kernel arrival on 127.0.0.1",
        "",
    ]
    out.write("\n".join(head + lines) + "\n\n")
    missed = [str(k) for k, v in sorted(oks.items()) if not v]
    out.write("targets missed: %s\n" % (", ".join(missed) if missed else "none"))
    out.flush()


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--program", required=True, help="the Release keyline-bench")
    p.add_argument("--reference", required=True, help="the reference poller")
    p.add_argument("--presses", type=int, default=240, help="presses per program and mode")
    p.add_argument("--blocks", type=int, default=4, help="alternating blocks per latency figure")
    p.add_argument("--hang-taps", type=int, default=70, help="taps for the hang accuracy")
    p.add_argument("--holds", type=int, default=2, help="30 s holds (cadence and CPU)")
    p.add_argument("--latched-holds", type=int, default=1, help="30 s latched holds (cadence)")
    p.add_argument("--hold-s", type=float, default=30.0)
    p.add_argument("--idle-runs", type=int, default=2, help="idle CPU windows")
    p.add_argument("--cpu-s", type=float, default=20.0, help="CPU window")
    p.add_argument("--starts", type=int, default=16, help="start-ups of each program")
    p.add_argument("--samples", help="write every sample as JSON to this file")
    p.add_argument("--seed", type=int, default=None)
    return p.parse_args(argv)


def under_umockdev():
    return "umockdev-preload" in os.environ.get("LD_PRELOAD", "")


def main(argv):
    if not under_umockdev():
        wrapper = shutil.which("umockdev-wrapper")
        if not wrapper:
            sys.stderr.write("keyline_bench.py: umockdev-wrapper not found\n")
            return 2
        os.execv(wrapper, [wrapper, sys.executable, os.path.abspath(__file__)] + argv)
    opts = parse_args(argv)
    for path in (opts.program, opts.reference):
        if not os.access(path, os.X_OK):
            sys.stderr.write("keyline_bench.py: not an executable: %s\n" % path)
            return 2
    random.seed(opts.seed)
    sys.dont_write_bytecode = True
    # A collection inside an ioctl handler stalls the programs' ticks: collect
    # only between runs.
    gc.disable()

    import keyline_harness as h

    began = time.monotonic()
    loop = h.GLibLoop()
    b = Bench(h, opts.program, opts.reference, opts)
    res = {}
    try:
        def step(name):
            sys.stderr.write("[%5.0f s] %s\n" % (time.monotonic() - began, name))
            sys.stderr.flush()

        step("start-up")
        b.startups(opts.starts)
        step("system-wide presses (figures 1, 3)")
        res["sys"] = b.latency(False, opts.presses)
        step("this-terminal presses (figure 2)")
        res["tty"] = b.latency(True, opts.presses)
        step("hang accuracy (figure 4)")
        res["hang"] = b.hang_accuracy(opts.hang_taps)
        step("holds: keepalive cadence and CPU (figures 5, 6b)")
        res["hold"] = b.holding(opts.holds, opts.hold_s, opts.cpu_s)
        step("latched holds: keepalive cadence without device queries (figure 5b)")
        res["latched"] = b.latched_holds(opts.latched_holds, opts.hold_s)
        step("idle CPU (figure 6a)")
        res["idle"] = b.idle_cpu(opts.idle_runs, opts.cpu_s)
        step("done")
        print_table(b, res, time.monotonic() - began)
        if opts.samples:
            with open(opts.samples, "w") as f:
                json.dump({"results": res, "rss_kib": b.rss, "startup_ms": b.startup}, f)
    finally:
        b.inputs.close()
        loop.stop()
    return 0


if __name__ == "__main__":
    status = 1
    try:
        status = main(sys.argv[1:])
    except BaseException:  # the exit below would swallow the traceback
        import traceback
        traceback.print_exc()
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
