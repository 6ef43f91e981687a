"""Benchmark of keyline-bench against two references.

The references are the 5 ms reference poller (the floor of a key poll tick)
and the event reference (woken by the keyboard's records and the terminal's
bytes: the floor for a program that wakes on the edge). All three run under
the same emulated keyboard (umockdev), with a pseudo-terminal on standard
input and a UDP receiver on 127.0.0.1, one after the other in rotating blocks
(or side by side where CPU is compared), so the emulation's own latency and
CPU weigh on all alike. Each program reads its own emulated device, so side
by side every one of them sees every record. Prints one table: each figure
beside the references' and its target.

Run it through bench/run_bench.sh, which builds the three programs; the
process test harness (tests/process/keyline_harness.py) supplies the key
levels, the terminal, the receiver and the program runs.

This reports; it never fails on a time. The exit status is 0 unless the
programs could not be run at all.
"""

import argparse
import fcntl
import gc
import glob
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "process"))
sys.path.insert(0, HERE)

import bench_report as report  # noqa: E402

MS = 1000.0
KEY_OPEN_RE = re.compile(r"KEY OPEN\s+hang=(\d+) ms")
WHO = ("program", "event", "poll")

KEY_A = 30
AUTO_REPEAT_DELAY_S = 0.250  # the kernel's defaults
AUTO_REPEAT_PERIOD_S = 0.033
F_SETPIPE_SZ = 1031
TIOCGPTN = 0x80045430  # the number of a pseudo-terminal's other end
TERMINAL_DELAY_S = 0.0025  # key records to the terminal's byte
PIPE_BYTES = 4096  # the smallest pipe: an unread one fills in seconds


# --- the keyboard's event records ----------------------------------------------

def write_key_records(h, fds, code, value):
    """One change as the kernel queues it (EV_KEY then SYN_REPORT) into every
    device end in fds. A device whose reader never drains it fills up; what
    does not fit is dropped, as the kernel drops it."""
    data = h.key_records([code], value)
    for fd in fds:
        try:
            os.write(fd, data)
        except BlockingIOError:
            pass


class Keyboards:
    """The emulated keyboards: keyline-bench finds event0 through its by-path
    link, the references are given event1 and event2. A change sets the key
    levels on all of them, then writes its records into each device that has
    a reader now, as the kernel does (level first, then the records)."""

    NODES = {"program": "event0", "poll": "event1", "event": "event2"}

    def __init__(self, h):
        self.h = h
        self.inputs = h.EmulatedInput()
        self.inputs.add_keyboard("event0", link=h.KBD_LINK)
        self.inputs.add_keyboard("event1", link=None)
        self.inputs.add_keyboard("event2", link=None)
        self.ends = {}
        for who, node in self.NODES.items():
            fd = self.inputs.testbed.get_dev_fd("/dev/input/" + node)
            fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)
            self.ends[who] = fd
        self.readers = set()
        self.lock = threading.Lock()

    def path(self, who):
        return "/dev/input/" + self.NODES[who]

    def attach(self, who):
        with self.lock:
            self.readers.add(who)

    def detach(self, who):
        """No more records for this device; what its reader left is thrown
        away, so the next run starts on an empty queue."""
        with self.lock:
            self.readers.discard(who)
        self.drain(who)

    def drain(self, who):
        number = struct.unpack("I", fcntl.ioctl(self.ends[who], TIOCGPTN, b"\0" * 4))[0]
        fd = os.open("/dev/pts/%d" % number, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
        try:
            while os.read(fd, 65536):
                pass
        except BlockingIOError:
            pass
        finally:
            os.close(fd)

    def _change(self, code, value):
        """value 1: down, 0: up, 2: an auto-repeat (the level stays)."""
        with self.lock:
            if value == 1:
                self.inputs.set_keys(self.inputs.held() | {code})
            elif value == 0:
                self.inputs.set_keys(self.inputs.held() - {code})
            write_key_records(self.h, [self.ends[w] for w in self.readers], code, value)

    def down(self, code):
        self._change(code, 1)

    def up(self, code):
        self._change(code, 0)

    def repeat(self, code):
        self._change(code, 2)

    def release_all(self):
        with self.lock:
            held = self.inputs.held()
        for code in sorted(held):
            self.up(code)

    def close(self):
        self.inputs.close()


class Activity:
    """A key activity on its own thread until stopped: the grave key's
    auto-repeat records, or other keys typed elsewhere."""

    def __init__(self, action, period_s, delay_s=0.0):
        self.action = action
        self.period_s = period_s
        self.delay_s = delay_s
        self.count = 0
        self._stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        if self._stop.wait(self.delay_s):
            return
        next_at = time.monotonic()
        while not self._stop.is_set():
            self.action()
            self.count += 1
            next_at += self.period_s
            self._stop.wait(max(0.0, next_at - time.monotonic()))

    def stop(self):
        self._stop.set()
        self.thread.join(timeout=5)


# --- process helpers --------------------------------------------------------

def cpu_ms(pid):
    """CPU time of every thread of the process, in ms (nanosecond counters:
    far finer than the 10 ms clock ticks of /proc/<pid>/stat)."""
    total = 0
    for path in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total / 1e6


def cpu_window(pids, seconds):
    """CPU ms each process used over the next `seconds`, and the wall time
    the window really took (s)."""
    c0 = [cpu_ms(pid) for pid in pids]
    w0 = time.monotonic()
    time.sleep(seconds)
    c1 = [cpu_ms(pid) for pid in pids]
    return [b - a for a, b in zip(c0, c1)], time.monotonic() - w0


def status_kib(pid, field):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


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


def holding_stamps(receiver):
    return [d[0] for d in receiver.datagrams() if d[1] and d[1].get("ttl_ms", 0) != 0]


# --- long holds with an output that fails or stalls --------------------------------

class LongHolds:
    """keyline-bench latched with --verbose-keepalive for the whole benchmark,
    twice: standard output on /dev/full (every write fails) and on a pipe
    nobody reads (shrunk to 4 KiB, so it is full within seconds). They use a
    keyboard of their own, so they never take records from the measured runs.
    Their resident set is sampled every few seconds; their receivers show
    whether the hold was kept."""

    KINDS = ("full", "pipe")
    SAMPLE_S = 2.0

    def __init__(self, h, program):
        self.h = h
        self.inputs = h.EmulatedInput()
        self.inputs.add_keyboard()
        self.runs = {}
        self.rss = {k: [] for k in self.KINDS}  # (monotonic s, VmRSS KiB)
        self.latched_at = {}
        self._stop = threading.Event()
        for kind in self.KINDS:
            self.runs[kind] = self._start(kind, program)
        self.sampler = threading.Thread(target=self._sample, daemon=True)
        self.sampler.start()

    def _start(self, kind, program):
        run = {"receiver": self.h.UdpReceiver(kernel_stamps=True), "tty": self.h.Pty(),
               "stderr": tempfile.TemporaryFile(), "pipe_read": None}
        if kind == "full":
            out = os.open("/dev/full", os.O_WRONLY)
        else:
            run["pipe_read"], out = os.pipe()
            fcntl.fcntl(out, F_SETPIPE_SZ, PIPE_BYTES)
        try:
            run["proc"] = subprocess.Popen(
                [program, "--port", str(run["receiver"].port), "--verbose-keepalive"],
                stdin=run["tty"].slave, stdout=out, stderr=run["stderr"],
                env=self.inputs.child_env(), start_new_session=True)
        finally:
            os.close(out)
        return run

    def latch(self):
        """Latch both holds with ~ once they are up; True when both held."""
        for kind, run in self.runs.items():
            # Their banners cannot be read: a ~ typed before the terminal is
            # raw may be lost, so it is typed again until the HOLD comes.
            for _ in range(5):
                time.sleep(0.3)
                run["tty"].type(b"~")
                got = run["receiver"].wait_count(1, 1.0)
                if got:
                    self.latched_at[kind] = got[0][0]
                    break
        return len(self.latched_at) == len(self.runs)

    def _sample(self):
        while True:
            now = time.monotonic()
            for kind, run in self.runs.items():
                if run["proc"].poll() is None:
                    rss = status_kib(run["proc"].pid, "VmRSS")
                    if rss:
                        self.rss[kind].append((now, rss))
            if self._stop.wait(self.SAMPLE_S):
                return

    def finish(self):
        """Stops both runs; returns per kind the RSS samples from the latch
        on, the hold's datagram stamps, and whether it still ran."""
        self._stop.set()
        self.sampler.join(timeout=5)
        out = {}
        for kind, run in self.runs.items():
            proc = run["proc"]
            alive = proc.poll() is None
            end = time.monotonic()
            if alive:
                rss = status_kib(proc.pid, "VmRSS")
                if rss:
                    self.rss[kind].append((end, rss))
                run["tty"].type(b"q")
                try:
                    proc.wait(timeout=2.0)
                except subprocess.TimeoutExpired:
                    pass
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except OSError:
                    pass
                proc.wait(timeout=10)
            start = self.latched_at.get(kind)
            stamps = [s for s in holding_stamps(run["receiver"]) if s <= end]
            run["stderr"].seek(0)
            errors = run["stderr"].read().decode("utf-8", "replace").splitlines()
            out[kind] = {
                "rss": [(t - start, kib) for t, kib in self.rss[kind] if start and t >= start],
                "stamps": stamps,
                "alive": alive,
                "held_s": (end - start) if start else 0.0,
                "stderr": errors[-3:],
            }
            run["receiver"].close()
            run["tty"].close()
            run["stderr"].close()
            if run["pipe_read"] is not None:
                os.close(run["pipe_read"])
        self.inputs.close()
        return out


# --- the measured runs ------------------------------------------------------

class Bench:
    """The programs, the emulated keyboards and what was measured."""

    def __init__(self, h, binaries, opts):
        self.h = h  # the harness module
        self.binaries = binaries  # who -> executable
        self.opts = opts
        self.kb = Keyboards(h)
        self.rss = {w: [] for w in WHO}
        self.startup = {w: [] for w in WHO}

    # --- runs ---------------------------------------------------------------

    def start(self, who, args):
        """A fresh run of one program with its own receiver on its own
        device; waits for the banner (the references print a one-line banner)
        and notes the time from process start to its last line."""
        receiver = self.h.UdpReceiver(kernel_stamps=True)
        run = self.h.Agent(self.binaries[who], self.kb.inputs, receiver)
        if who == "program":
            argv = list(args)
        else:
            argv = ["--device", self.kb.path(who)] + (["--global-keys"] if "--global-keys" in args else [])
        self.kb.attach(who)
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
                rss = status_kib(run.proc.pid, "VmHWM")
                if rss:
                    self.rss[who].append(rss)
                run.quit(timeout=10.0)
        except AssertionError:
            pass
        finally:
            run.kill()
            receiver.close()
            self.kb.detach(who)
        gc.collect()

    def start_all(self, args):
        """The three programs side by side in one mode."""
        runs = {}
        try:
            for who in WHO:
                runs[who] = self.start(who, args)
        except BaseException:
            self.stop_all(runs)
            raise
        return runs

    def stop_all(self, runs):
        for who in reversed(WHO):
            if who in runs:
                self.stop(who, *runs[who])

    # --- latency --------------------------------------------------------------

    def press_block(self, who, terminal, n):
        """n presses of the grave key; returns (key->first datagram, up->RELEASE)
        latencies in ms and the number of presses without an answer."""
        args = ["--fixed-hang-ms", "0"] + ([] if terminal else ["--global-keys"])
        run, receiver = self.start(who, args)
        kb = self.kb
        grave = self.h.KEY_GRAVE
        # The program answers a press with HOLD and RELEASE; a reference in
        # terminal mode answers the byte alone.
        per_press = 1 if (terminal and who != "program") else 2
        downs, ups, misses = [], [], 0
        try:
            time.sleep(0.2)
            for _ in range(n):
                # Random gaps and marks spread the edges over the 5 ms tick.
                time.sleep(0.025 + random.uniform(0.0, 0.010))
                base = len(receiver.datagrams())
                t0 = time.monotonic()
                kb.down(grave)
                if terminal:
                    # The records come first, the terminal's byte a few ms
                    # after them, as a terminal emulator passes it on: the
                    # device's wake-up is over before the byte arrives.
                    time.sleep(TERMINAL_DELAY_S + random.uniform(0.0, 0.001))
                    t0 = time.monotonic()
                    run.tty.type(b"`")
                got = receiver.wait_count(base + 1, 1.0)
                if len(got) > base and got[base][1] and got[base][1].get("ttl_ms", 0) != 0:
                    downs.append((got[base][0] - t0) * MS)
                else:
                    misses += 1
                time.sleep(0.030 + random.uniform(0.0, 0.010))
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
            kb.release_all()
            self.stop(who, run, receiver)
        return downs, ups, misses

    def latency(self, terminal, n):
        """Rotating blocks of the program and the two references."""
        blocks = max(1, self.opts.blocks)
        per_block = -(-n // blocks)
        out = {w: {"down": [], "up": [], "misses": 0, "block_med": [], "up_block_med": []}
               for w in WHO}
        for b in range(blocks):
            order = WHO[b % 3:] + WHO[:b % 3]
            for who in order:
                downs, ups, misses = self.press_block(who, terminal, per_block)
                o = out[who]
                o["down"] += downs
                o["up"] += ups
                o["misses"] += misses
                o["block_med"].append(report.median(downs))
                if ups:
                    o["up_block_med"].append(report.median(ups))
        return out

    # --- hang accuracy --------------------------------------------------------

    def hang_accuracy(self, n):
        """Short taps in system-wide mode with the computed break-in hang:
        RELEASE arrival minus (the emulated open edge + the printed hang), in
        ms, and the same from the KEY OPEN line's arrival."""
        errors, from_line, hangs, wrong = [], [], [], 0
        run, receiver = self.start("program", ["--global-keys"])
        kb = self.kb
        grave = self.h.KEY_GRAVE
        not_eot = 0
        probe = self.query_probe()
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
                t_open = time.monotonic()
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
                errors.append((release - t_open) * MS - opened[1])
                from_line.append((release - opened[0]) * MS - opened[1])
                hangs.append(opened[1])
            run.wait_line(r"RELEASE.*\(hang done / EOT\)", timeout=1.0)
            notes = [t for t in run.lines() if "RELEASE" in t]
            not_eot = sum(1 for t in notes if "(hang done / EOT)" not in t)
        finally:
            floor = probe.finish()
            kb.release_all()
            self.stop("program", run, receiver)
        return {"error": errors, "from_line": from_line, "hangs": hangs, "missed": wrong,
                "not_eot": not_eot, "floor": floor}

    # --- side by side: keepalive cadence and CPU ---------------------------------

    def cpu_side_by_side(self, args, reps, cpu_s, activity=None):
        """The three programs side by side in one mode, idle or with a key
        activity running: CPU ms of each over cpu_s, per repetition."""
        out = []
        for _ in range(reps):
            runs = self.start_all(args)
            act = None
            try:
                time.sleep(1.0)
                if activity:
                    act = activity()
                    time.sleep(1.0)
                used, wall = cpu_window([runs[w][0].proc.pid for w in WHO], cpu_s)
            finally:
                if act:
                    act.stop()
                self.kb.release_all()
                self.stop_all(runs)
            out.append({"cpu": dict(zip(WHO, used)), "wall": wall})
        return out

    def typing_elsewhere(self):
        """Another key typed at 10 a second: down, and up 30 ms later."""
        kb = self.kb

        def stroke():
            kb.down(KEY_A)
            time.sleep(0.030)
            kb.up(KEY_A)

        return Activity(stroke, 0.100)

    def grave_held(self):
        """The grave key held down, with the kernel's auto-repeat records
        every 33 ms after the first 250 ms; stop() lets it go."""
        kb = self.kb
        grave = self.h.KEY_GRAVE
        kb.down(grave)
        repeat = Activity(lambda: kb.repeat(grave), AUTO_REPEAT_PERIOD_S, AUTO_REPEAT_DELAY_S)

        class Held:
            def stop(self):
                repeat.stop()
                kb.up(grave)

        return Held()

    def held_cadence(self, reps, hold_s):
        """keyline-bench alone in system-wide mode with the grave key held
        (and auto-repeating) for hold_s: the keepalive intervals."""
        out, refs, queries = [], [], []
        for _ in range(reps):
            run, receiver = self.start("program", ["--global-keys"])
            held = None
            try:
                time.sleep(1.0)
                keyless = self.keyless_hold(hold_s + 2.0)
                time.sleep(0.5)
                began = time.monotonic()
                probe = self.query_probe()
                held = self.grave_held()
                time.sleep(hold_s)
                stamps = holding_stamps(receiver)
                queries += probe.finish()["query"]
                held.stop()
                held = None
                refs.append(report.cadence(keyless.finish(began, time.monotonic())))
                wait_release(receiver, len(stamps), 2.0)
            finally:
                if held:
                    held.stop()
                self.kb.release_all()
                self.stop("program", run, receiver)
            out.append(report.cadence(stamps))
        return out, refs, queries

    def latched_holds(self, reps, hold_s):
        """A hold latched with ~ in this-terminal mode: keepalive cadence."""
        out, refs, queries = [], [], []
        for _ in range(reps):
            run, receiver = self.start("program", [])
            try:
                time.sleep(0.5)
                keyless = self.keyless_hold(hold_s + 2.0)
                time.sleep(0.5)
                began = time.monotonic()
                probe = self.query_probe()
                run.tty.type(b"~")
                time.sleep(hold_s)
                held = holding_stamps(receiver)
                queries += probe.finish()["query"]
                run.tty.type(b"`")  # the next press ends the latch
                refs.append(report.cadence(keyless.finish(began, time.monotonic())))
                wait_release(receiver, len(held), 2.0)
            finally:
                self.stop("program", run, receiver)
            out.append(report.cadence(held))
        return out, refs, queries

    def query_probe(self):
        """What a release or a keepalive can wait for beyond the program's
        own work, measured beside the measured runs (same emulation, same
        load, same activity): a child process under the emulation wakes at a
        deadline every 5..10 ms and makes one emulated key query, until
        finish(), which returns (wake-up + query, query alone) in ms."""
        code = (
            "import fcntl, os, random, sys, time\n"
            "fd = os.open(sys.argv[1], os.O_RDONLY | os.O_NONBLOCK)\n"
            "buf = bytearray(96)\n"
            "while True:\n"
            "    due = time.monotonic() + 0.005 + random.uniform(0.0, 0.005)\n"
            "    time.sleep(max(0.0, due - time.monotonic()))\n"
            "    t0 = time.monotonic()\n"
            "    fcntl.ioctl(fd, %d, buf)\n"
            "    t1 = time.monotonic()\n"
            "    print('%%.6f %%.6f' %% ((t1 - due) * 1000.0, (t1 - t0) * 1000.0), flush=True)\n"
            % self.h.EVIOCGKEY)
        out = tempfile.TemporaryFile()
        child = subprocess.Popen([sys.executable, "-c", code, self.kb.path("poll")], stdout=out,
                                 stderr=subprocess.DEVNULL, env=self.kb.inputs.child_env())

        class Probe:
            def finish(self):
                child.terminate()
                child.wait(timeout=10)
                out.seek(0)
                pairs = []
                for line in out.read().decode("ascii", "replace").splitlines():
                    try:
                        pairs.append(tuple(float(x) for x in line.split()))
                    except ValueError:
                        pass  # a line cut by the end
                out.close()
                pairs = [p for p in pairs if len(p) == 2]
                return {"release": [p[0] for p in pairs], "query": [p[1] for p in pairs]}

        return Probe()

    def keyless_hold(self, hold_s):
        """The same program keyed by a key script with one continuous mark,
        no device at all, started now beside a measured hold: finish() gives
        its keepalive stamps between two times."""
        script = tempfile.NamedTemporaryFile("w", suffix=".keys", delete=False)
        script.write("down %d\n" % int(hold_s * MS))
        script.close()
        receiver = self.h.UdpReceiver(kernel_stamps=True)
        run = self.h.Agent(self.binaries["program"], self.kb.inputs, receiver)
        run.start(["--key-script", script.name], stdin="devnull")

        class Keyless:
            def finish(self, start, end):
                try:
                    run.wait_exit(timeout=hold_s + 15.0)
                    return [s for s in holding_stamps(receiver) if start <= s <= end]
                finally:
                    run.kill()
                    receiver.close()
                    os.unlink(script.name)

        return Keyless()

    def startups(self, n):
        for i in range(n):
            for who in WHO[i % 3:] + WHO[:i % 3]:
                run, receiver = self.start(who, [])
                self.stop(who, run, receiver)


def machine_line():
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
    return "machine: nproc %d, %s, load average %.2f %.2f %.2f" % (
        os.cpu_count() or 0, cpu, load[0], load[1], load[2])


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--program", required=True, help="the Release keyline-bench")
    p.add_argument("--reference", required=True, help="the 5 ms reference poller")
    p.add_argument("--event-reference", required=True, help="the event reference")
    p.add_argument("--presses", type=int, default=200, help="presses per program and mode")
    p.add_argument("--blocks", type=int, default=4, help="rotating blocks per latency figure")
    p.add_argument("--hang-taps", type=int, default=50, help="taps for the hang accuracy")
    p.add_argument("--holds", type=int, default=2, help="holds with auto-repeat (cadence)")
    p.add_argument("--latched-holds", type=int, default=1, help="latched holds (cadence)")
    p.add_argument("--hold-s", type=float, default=25.0, help="length of a hold")
    p.add_argument("--cpu-runs", type=int, default=2, help="windows per CPU figure")
    p.add_argument("--cpu-s", type=float, default=15.0, help="CPU window")
    p.add_argument("--starts", type=int, default=12, help="start-ups of each program")
    p.add_argument("--no-long-holds", action="store_true",
                   help="skip the resident-set holds with a failing and a stalled output")
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
    binaries = {"program": opts.program, "poll": opts.reference, "event": opts.event_reference}
    for path in binaries.values():
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
    b = Bench(h, binaries, opts)
    long_holds = None
    res = {}
    try:
        def step(name):
            sys.stderr.write("[%5.0f s] %s\n" % (time.monotonic() - began, name))
            sys.stderr.flush()

        if not opts.no_long_holds:
            step("long holds on /dev/full and an unread pipe start (figure 8, whole run)")
            long_holds = LongHolds(h, opts.program)
            long_holds.latch()
        step("start-up (figure 7)")
        b.startups(opts.starts)
        step("system-wide presses (figures 1, 3)")
        res["sys"] = b.latency(False, opts.presses)
        step("this-terminal presses (figure 2)")
        res["tty"] = b.latency(True, opts.presses)
        step("hang accuracy, key queries timed beside it (figure 4)")
        res["hang"] = b.hang_accuracy(opts.hang_taps)
        step("grave held with auto-repeat, a keyless hold beside it: keepalive cadence (figure 5a)")
        res["held"], res["held_ref"], res["held_queries"] = b.held_cadence(opts.holds, opts.hold_s)
        step("latched holds, a keyless hold beside it: keepalive cadence (figure 5b)")
        res["latched"], res["latched_ref"], res["latched_queries"] = b.latched_holds(
            opts.latched_holds, opts.hold_s)
        step("idle CPU, this terminal (figure 6a)")
        res["idle_tty"] = b.cpu_side_by_side([], opts.cpu_runs, opts.cpu_s)
        step("idle CPU, system-wide (figure 6b)")
        res["idle_sys"] = b.cpu_side_by_side(["--global-keys"], opts.cpu_runs, opts.cpu_s)
        step("grave held with auto-repeat, system-wide: CPU (figure 6c)")
        res["held_cpu"] = b.cpu_side_by_side(["--global-keys"], opts.cpu_runs, opts.cpu_s, b.grave_held)
        step("other keys typed elsewhere, this terminal (figure 6d)")
        res["typing"] = b.cpu_side_by_side([], opts.cpu_runs, opts.cpu_s, b.typing_elsewhere)
        if long_holds:
            res["long"] = long_holds.finish()
            long_holds = None
        step("done")
        report.print_table(res, b.rss, b.startup, opts, machine_line(), time.monotonic() - began)
        if opts.samples:
            with open(opts.samples, "w") as f:
                json.dump({"results": res, "rss_kib": b.rss, "startup_ms": b.startup}, f)
    finally:
        if long_holds:
            long_holds.finish()
        b.kb.close()
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
