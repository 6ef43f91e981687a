"""keyline-station under a flood: hostile datagrams sent as fast as one core
can send them (random bytes, huge, deep-nested JSON, every wrong type) from
many source ports, then a normal hold. Prints the figures beside the targets
and beside the same station's figures before the flood (same run).

Loopback only (127.0.0.1); every wait is bounded."""

import argparse
import json
import os
import random
import signal
import socket
import subprocess
import sys
import threading
import time

TARGET_RSS_MIB = 32.0


def vm_kib(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def udp_row(port):
    """The /proc/net/udp row of the socket bound to 127.0.0.1:port."""
    local = "0100007F:%04X" % port
    with open("/proc/net/udp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1] == local:
                return fields
    return None


def wait_queue_empty(port, timeout=60.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        row = udp_row(port)
        if row and int(row[4].split(":")[1], 16) == 0:
            return True
        time.sleep(0.05)
    return False


def hostile_pool(rng):
    pool = []
    for _ in range(64):
        pool.append(os.urandom(rng.randrange(1, 1400)))
    for size in (2049, 9000, 30000, 65507):
        pool.append(os.urandom(size))
    for depth in (65, 1000, 10000):  # all within one datagram's 65507 bytes
        pool.append(b"[" * (depth * 3) + b"]" * (depth * 3))
        pool.append(b'{"a":' * depth + b"1" + b"}" * depth)
    base = {"tx_inhibit": b"1", "ttl_ms": b"600", "station": b'"S"', "band": b'"b"', "seq": b"1"}
    wrong = {
        "tx_inhibit": [b"0", b"2", b"true", b'"1"', b"1.0", b"null", b"[1]", b"{}"],
        "ttl_ms": [b"-1", b"6e2", b"600.0", b'"600"', b"2147483648", b"null", b"false"],
        "station": [b"1", b"null", b'["S"]', b"{}", b"true"],
        "band": [b"144", b"null", b"[]"],
        "seq": [b"0", b"-3", b"1.5", b"1e3", b"9007199254740993", b'"1"', b"null"],
    }
    for key, values in wrong.items():
        for value in values:
            members = dict(base, **{key: value})
            pool.append(b"{" + b",".join(b'"%s":%s' % (k.encode(), v) for k, v in members.items()) + b"}")
        members = {k: v for k, v in base.items() if k != key}
        pool.append(b"{" + b",".join(b'"%s":%s' % (k.encode(), v) for k, v in members.items()) + b"}")
    pool.append(b'{"tx_inhibit":1,"ttl_ms":600,"station":"\x1b]0;x\x07","band":"b","seq":0}')
    pool.append(b"\x1b[2J\x1bc\x9b\xff")
    return pool


class Output:
    def __init__(self, stream):
        self.lines = []
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self.thread.start()

    def _run(self, stream):
        for raw in stream:
            with self.cond:
                self.lines.append(json.loads(raw))
                self.cond.notify_all()

    def wait(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while time.monotonic() < deadline:
                for e in self.lines:
                    if predicate(e):
                        return e
                self.cond.wait(0.1)
        return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--count", type=int, default=100000)
    ap.add_argument("--ports", type=int, default=10000)
    args = ap.parse_args()

    proc = subprocess.Popen([args.program, "--port", "0", "--json"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, start_new_session=True)
    try:
        out = Output(proc.stdout)
        listening = out.wait(lambda e: e["event"] == "listening", 10)
        if not listening:
            print("keyline-station did not start", file=sys.stderr)
            return 1
        port = listening["port"]
        time.sleep(0.3)
        idle_hwm = vm_kib(proc.pid, "VmHWM")
        station_cpu_before = cpu_seconds(proc.pid)

        rng = random.Random(11)
        pool = hostile_pool(rng)
        per_port = max(1, args.count // args.ports)
        sent = failed = 0
        began = time.perf_counter()
        cpu_began = time.process_time()
        for _ in range(args.ports):
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind(("127.0.0.1", 0))
            for _ in range(per_port):
                payload = pool[rng.randrange(len(pool))]
                while True:  # the sender's own buffer may be full for a moment
                    try:
                        sock.sendto(payload, ("127.0.0.1", port))
                        sent += 1
                        break
                    except BlockingIOError:
                        failed += 1
                    except OSError as e:
                        print("send refused: %s (%d bytes)" % (e, len(payload)), file=sys.stderr)
                        return 1
            sock.close()
        elapsed = time.perf_counter() - began
        cpu = time.process_time() - cpu_began
        drained = wait_queue_empty(port)
        row = udp_row(port)
        kernel_drops = int(row[-1]) if row else -1
        alive = proc.poll() is None
        flood_hwm = vm_kib(proc.pid, "VmHWM") if alive else 0
        station_cpu = cpu_seconds(proc.pid) - station_cpu_before if alive else 0

        # A normal hold after the flood.
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        me = "127.0.0.1:%d" % sock.getsockname()[1]

        def send(seq, ttl):
            sock.sendto(json.dumps({"tx_inhibit": 1, "ttl_ms": ttl, "station": "TEST-KEY",
                                    "band": "144", "seq": seq}).encode(), ("127.0.0.1", port))
        send(1, 600)
        for seq in (2, 3, 4):
            time.sleep(0.2)
            send(seq, 600)
        send(5, 0)
        release = out.wait(lambda e: e["event"] == "release" and e.get("from") == me, 10)
        sock.close()
        hold_ok = bool(release and release["seq"] == 5 and release["keepalives"] == 3
                       and 550 <= release["hold_ms"] < 2000 and release["max_silence_ms"] < 600)
        proc.send_signal(signal.SIGTERM)
        status = proc.wait(timeout=20)
        out.thread.join(timeout=10)
        summary = out.lines[-1] if out.lines else {}
        shown = sum(1 for e in out.lines if e["event"] == "malformed")
        suppressed = sum(e["count"] for e in out.lines if e["event"] == "suppressed")
        mine = [s for s in summary.get("streams", []) if s["from"] == me]
        counted_ok = summary.get("event") == "summary" and shown + suppressed == summary["malformed"]
        rss_ok = 0 < flood_hwm / 1024.0 <= TARGET_RSS_MIB

        print("keyline-station flood: %d hostile datagrams from %d source ports, then a normal hold"
              % (sent, args.ports))
        print("  sender: %.2f s (%.0f datagrams/s on one core, %.2f s CPU); %d sends retried (sender's buffer full)"
              % (elapsed, sent / elapsed, cpu, failed))
        print("  station: %.2f s CPU for the flood (%.0f datagrams per CPU second, receive calls included)"
              % (station_cpu, sent / station_cpu if station_cpu > 0 else 0))
        print("  receive queue drained: %s; datagrams the kernel dropped (station's socket full): %d"
              % ("yes" if drained else "NO", kernel_drops))
        print("  counted malformed %d = shown %d + suppressed %d: %s; of %d sent (the rest dropped by the kernel)"
              % (summary.get("malformed", -1), shown, suppressed, "yes" if counted_ok else "NO", sent))
        print("  alive after the flood: %s; exit status %d (1: problems were seen, as expected)"
              % ("yes" if alive else "NO", status))
        print("  peak RSS (VmHWM) %.1f MiB; reference: the same station before the flood %.1f MiB; target <= %.0f MiB: %s"
              % (flood_hwm / 1024.0, idle_hwm / 1024.0, TARGET_RSS_MIB, "met" if rss_ok else "MISSED"))
        print("  hold after the flood: %s (hold_ms %s, keepalives %s, max_silence_ms %s; stream listed: %s, lapses %s)"
              % ("tracked and released" if hold_ok else "NOT TRACKED",
                 release and release["hold_ms"], release and release["keepalives"],
                 release and release["max_silence_ms"], "yes" if mine else "no",
                 mine[0]["lapses"] if mine else "-"))
        ok = alive and rss_ok and hold_ok and counted_ok and status == 1
        print("  targets %s" % ("met" if ok else "MISSED"))
        return 0
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


if __name__ == "__main__":
    sys.exit(main())
