"""The delay keyline-station --forward adds, beside a bare forwarder
(bench/forward_reference.cpp: recv, send, nothing else) and socat, in the
same run.

Each round sends the same datagram twice: straight to a receiver, and
through one forwarder to a receiver behind it; which of the two goes first
alternates from round to round. Each latency runs from just before its send
to the receiver's kernel receive time (SO_TIMESTAMPNS), so no receiver's
wake-up counts, and the delay a forwarder adds is taken per round: through
minus straight. The percentiles are those of the per-round figures.

Rounds come every 5, 10 and 50 ms, as a station's traffic does (a keepalive
every 200 ms from each of a few senders), so the forwarders sleep between
datagrams and pay for waking up. The forwarders take turns in short blocks
of rounds, so each meets the same machine; each sees one datagram per round
interval while its turn lasts.

Targets: the tap's p50 within 10 us of the bare forwarder's, its p99 within
50 us, at every rate. A figure is judged only as far as this run can tell:
the run is cut into two halves, and the most the bare forwarder's or the
tap's figure moves between them is the run's own noise. A row reads MISSED
only when the tap exceeds its target by more than that noise (or lost a
datagram the bare forwarder did not): then the program is at fault, not the
machine. It reads "met" only when it is inside the target by more than the
noise; between the two, "not judged". Nor is anything judged while the
load average is above the number of CPUs: other work then decides when a
forwarder runs.

Loopback only (127.0.0.1); every wait is bounded. Reports, never fails."""

import argparse
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time

SO_TIMESTAMPNS = 35
TARGETS_US = {50: 10.0, 99: 50.0}  # over the bare forwarder
BLOCK = 25  # rounds in a row for one forwarder


def percentile(values, q):
    s = sorted(values)
    if not s:
        return float("nan")
    pos = (len(s) - 1) * q / 100.0
    lo = int(pos)
    hi = min(lo + 1, len(s) - 1)
    return s[lo] + (s[hi] - s[lo]) * (pos - lo)


def stamped_receiver():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    sock.settimeout(0.5)
    return sock


def port_of(sock):
    return sock.getsockname()[1]


def free_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = port_of(s)
    s.close()
    return port


def arrival_ns(sock, payload):
    """The kernel receive time of payload on sock (ns, wall clock); None when
    it does not come within half a second."""
    deadline = time.monotonic() + 0.5
    while time.monotonic() < deadline:
        try:
            data, ancillary, _, _ = sock.recvmsg(65536, socket.CMSG_SPACE(16))
        except socket.timeout:
            return None
        if data != payload:
            continue  # a straggler of an earlier round
        for level, kind, value in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                sec, nsec = struct.unpack("qq", value[:16])
                return sec * 1000000000 + nsec
    return None


def wait_for_port(port, timeout=5.0):
    """Until something has bound 127.0.0.1:port (UDP)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return True
        finally:
            probe.close()
        time.sleep(0.02)
    return False


class Forwarders:
    """The tap, the bare forwarder and socat, each with a receiver behind it."""

    def __init__(self, station, reference):
        self.behind = {}
        self.entry = {}
        self.procs = []
        self.behind["tap"] = stamped_receiver()
        tap = self._start([station, "--port", "0", "--json", "--forward",
                           "127.0.0.1:%d" % port_of(self.behind["tap"])])
        self.entry["tap"] = json.loads(tap.stdout.readline())["port"]
        # The tap's output is read (and thrown away) as a terminal would.
        self._drain = subprocess.Popen(["cat"], stdin=tap.stdout, stdout=subprocess.DEVNULL)
        self.behind["bare"] = stamped_receiver()
        bare = self._start([reference, str(port_of(self.behind["bare"]))])
        self.entry["bare"] = int(bare.stdout.readline())
        if shutil.which("socat"):
            self.behind["socat"] = stamped_receiver()
            port = free_port()
            self._start(["socat", "-u", "UDP4-RECV:%d,bind=127.0.0.1" % port,
                         "UDP4-SENDTO:127.0.0.1:%d" % port_of(self.behind["socat"])])
            if wait_for_port(port):
                self.entry["socat"] = port
            else:
                del self.behind["socat"]
        self.names = [n for n in ("tap", "bare", "socat") if n in self.entry]

    def _start(self, argv):
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        self.procs.append(proc)
        return proc

    def close(self):
        for proc in self.procs:
            try:
                os.killpg(proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        for proc in self.procs:
            try:
                proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        self._drain.wait(timeout=5)
        for sock in self.behind.values():
            sock.close()


def measure(fw, direct, sender, interval_ms, rounds, seq0):
    """Per forwarder: (added delay per round in us, first half or second
    half), and the rounds lost."""
    added = {n: [] for n in fw.names}
    lost = {n: 0 for n in fw.names}
    seq = seq0
    total = rounds * len(fw.names)
    next_at = time.monotonic()
    for i in range(total):
        name = fw.names[(i // BLOCK) % len(fw.names)]
        seq += 1
        payload = b'{"tx_inhibit":1,"ttl_ms":600,"station":"BENCH","band":"144","seq":%d}' % seq
        sends = [("direct", direct, port_of(direct)), (name, fw.behind[name], fw.entry[name])]
        if i % 2:
            sends.reverse()
        latency = {}
        for route, sock, port in sends:
            sent = time.time_ns()
            sender.sendto(payload, ("127.0.0.1", port))
            latency[route] = sent
        for route, sock, _ in sends:
            came = arrival_ns(sock, payload)
            latency[route] = None if came is None else (came - latency[route]) / 1000.0
        if latency[name] is None or latency["direct"] is None:
            lost[name] += latency[name] is None
        else:
            added[name].append((latency[name] - latency["direct"], i < total // 2))
        next_at += interval_ms / 1000.0
        delay = next_at - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        else:
            next_at = time.monotonic()
    return added, lost, seq


def figures(samples, q):
    whole = percentile([v for v, _ in samples], q)
    halves = [percentile([v for v, first in samples if first == h], q) for h in (True, False)]
    return whole, halves


def busy_machine():
    """The 1-minute load average when it is above the number of CPUs: then
    other work decides the wake-up times, not the forwarders."""
    load = float(open("/proc/loadavg").read().split()[0])
    return load if load > os.cpu_count() else None


def report(interval_ms, added, lost, names, busy):
    print("  rounds every %d ms: added delay per round (through minus straight), us" % interval_ms)
    print("    %-34s %8s %8s %7s %7s" % ("", "p50", "p99", "rounds", "lost"))
    fig = {n: {q: figures(added[n], q) for q in TARGETS_US} for n in names}
    for n, label in (("bare", "bare forwarder (reference)"), ("socat", "socat (reference)"),
                     ("tap", "keyline-station --forward")):
        if n in names:
            print("    %-34s %8.1f %8.1f %7d %7d" % (label, fig[n][50][0], fig[n][99][0],
                                                   len(added[n]), lost[n]))
    verdicts = []
    for q, target in TARGETS_US.items():
        over = fig["tap"][q][0] - fig["bare"][q][0]
        # How far this run's own figures move between its halves.
        noise = max(abs(fig[n][q][1][0] - fig[n][q][1][1]) for n in ("bare", "tap"))
        if lost["tap"] > lost["bare"]:
            verdict = "MISSED (the tap lost datagrams)"
        elif busy:
            verdict = "not judged: the machine was busy (load average %.1f on %d CPUs)" \
                % (busy, os.cpu_count())
        elif over + noise <= target:
            verdict = "met"
        elif over - noise > target:
            verdict = "MISSED"
        else:
            verdict = "not judged: this run's noise is %.1f us" % noise
        verdicts.append("p%d %+.1f us over the bare forwarder (target <= %.0f): %s"
                        % (q, over, target, verdict))
    for v in verdicts:
        print("    tap: " + v)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--station", required=True, help="keyline-station")
    ap.add_argument("--reference", required=True, help="forward-reference")
    ap.add_argument("--rounds", type=int, default=2000, help="rounds per forwarder and rate")
    ap.add_argument("--intervals", default="5,10,50", help="round intervals, ms")
    args = ap.parse_args()

    direct = stamped_receiver()
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    fw = Forwarders(args.station, args.reference)
    try:
        print("keyline-station --forward: the delay it adds beside a bare forwarder and socat, "
              "%d rounds per forwarder and rate, straight and through in alternating order"
              % args.rounds)
        print("  load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
        seq = 0
        _, _, seq = measure(fw, direct, sender, 5, 20, seq)  # every path warmed up
        for interval in [int(x) for x in args.intervals.split(",")]:
            busy = busy_machine()
            added, lost, seq = measure(fw, direct, sender, interval, args.rounds, seq)
            busy = max(busy or 0, busy_machine() or 0) or None
            report(interval, added, lost, fw.names, busy)
        print("  load average after: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    finally:
        sender.close()
        direct.close()
        fw.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
