"""The delay keyline-station --forward adds: the same datagram sent straight
to a receiver, through the tap to another, and through a bare forwarder
(recv, send, nothing else) to a third, one round every couple of
milliseconds, the order within a round rotating. Each latency runs from just
before the send to the receiver's kernel receive time (SO_TIMESTAMPNS), so
no receiver's wake-up counts. The straight path is the reference the tap's
added delay is measured from; the bare forwarder shows what waking any
second process costs on this machine now, so a missed target is put down to
the tap only when the bare forwarder meets it.

Loopback only (127.0.0.1); every wait is bounded. Reports, never fails."""

import argparse
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time

SO_TIMESTAMPNS = 35
TARGET_P50_US = 50.0
TARGET_P99_US = 200.0


def percentile(values, q):
    s = sorted(values)
    pos = (len(s) - 1) * q / 100.0
    lo = int(pos)
    hi = min(lo + 1, len(s) - 1)
    return s[lo] + (s[hi] - s[lo]) * (pos - lo)


def stamped_receiver():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    sock.settimeout(2.0)
    return sock


def arrival_ns(sock, payload):
    """The kernel receive time of payload on sock (ns, wall clock); None when
    it does not come."""
    deadline = time.monotonic() + 2.0
    while time.monotonic() < deadline:
        try:
            data, ancillary, _, _ = sock.recvmsg(65536, socket.CMSG_SPACE(16))
        except socket.timeout:
            return None
        if data != payload:
            continue  # a straggler of an earlier pair
        for level, kind, value in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                sec, nsec = struct.unpack("qq", value[:16])
                return sec * 1000000000 + nsec
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--station", required=True, help="keyline-station")
    ap.add_argument("--reference", required=True, help="forward-reference")
    ap.add_argument("--rounds", type=int, default=3000)
    args = ap.parse_args()

    direct = stamped_receiver()
    behind = stamped_receiver()
    bare = stamped_receiver()
    ref = subprocess.Popen([args.reference, str(bare.getsockname()[1])], stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, start_new_session=True)
    proc = subprocess.Popen(
        [args.station, "--port", "0", "--json", "--forward", "127.0.0.1:%d" % behind.getsockname()[1]],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        start_new_session=True)
    try:
        tap_port = json.loads(proc.stdout.readline())["port"]
        ref_port = int(ref.stdout.readline())
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        routes = {"direct": (direct, ("127.0.0.1", direct.getsockname()[1])),
                  "tap": (behind, ("127.0.0.1", tap_port)),
                  "bare": (bare, ("127.0.0.1", ref_port))}
        names = list(routes)
        lat = {name: [] for name in names}
        lost = 0
        warmup = 100
        for i in range(args.rounds + warmup):
            payload = b'{"tx_inhibit":1,"ttl_ms":600,"station":"BENCH","band":"144","seq":%d}' % (i + 1)
            order = names[i % 3:] + names[:i % 3]
            pair = {}
            for name in order:
                sock, address = routes[name]
                sent = time.time_ns()
                sender.sendto(payload, address)
                came = arrival_ns(sock, payload)
                pair[name] = None if came is None else (came - sent) / 1000.0
            if None in pair.values():
                lost += 1
            elif i >= warmup:
                for name in lat:
                    lat[name].append(pair[name])
            time.sleep(0.002)
        sender.close()
    finally:
        os.killpg(ref.pid, signal.SIGKILL)
        ref.wait()
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()

    n = len(lat["tap"])
    print("keyline-station --forward: the delay the tap adds, %d rounds of the same datagram "
          "straight, through the tap and through a bare forwarder (%d rounds lost)" % (n, lost))
    if n == 0:
        print("  nothing came through the tap: MISSED")
        return 0
    p = {name: (percentile(v, 50), percentile(v, 99)) for name, v in lat.items()}

    def added(name):
        return p[name][0] - p["direct"][0], p[name][1] - p["direct"][1]

    def meets(name):
        a = added(name)
        return a[0] <= TARGET_P50_US and a[1] <= TARGET_P99_US

    print("  %-46s %9s %9s" % ("send -> kernel receive time, us", "p50", "p99"))
    print("  %-46s %9.1f %9.1f" % ("straight to a receiver (reference)", p["direct"][0], p["direct"][1]))
    print("  %-46s %9.1f %9.1f" % ("through a bare forwarder (reference)", p["bare"][0], p["bare"][1]))
    print("  %-46s %9.1f %9.1f" % ("through the tap", p["tap"][0], p["tap"][1]))
    print("  %-46s %9.1f %9.1f" % ("added by a bare forwarder (reference)", *added("bare")))
    if meets("tap") and lost == 0:
        verdict = "met"
    elif not meets("bare"):
        verdict = "not met, and not by the bare forwarder either: the machine is too busy to judge"
    else:
        verdict = "MISSED"
    print("  %-46s %9.1f %9.1f   target p50 <= %.0f, p99 <= %.0f: %s"
          % ("added by the tap", *added("tap"), TARGET_P50_US, TARGET_P99_US, verdict))
    return 0


if __name__ == "__main__":
    sys.exit(main())
