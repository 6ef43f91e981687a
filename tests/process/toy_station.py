#!/usr/bin/env python3
"""A toy station application, written from docs/TX_INHIBIT.md section 4, for
testing what keyline-station's watch sees. It listens for inhibit datagrams,
keeps each sender's hold (expiry on the monotonic clock, seq checked per
stream), and while any stream holds it is inhibited: it keys its rig's PTT off
(hamlib's rigctld, "T 0") and writes "tx inhibited" to its log; when no stream
holds it writes "tx free" and, with --transmit, keys the PTT on ("T 1") as a
station that transmits whenever it may.

A variant breaks it on purpose:
  correct          as the protocol says
  tx-through-hold  keeps the PTT on while inhibited (its log still says so)
  stuck            never lets a hold lapse: a lost RELEASE holds it forever
  late-duplicate   takes a datagram it has seen (seq not above the highest)
                   as new: a late copy of a KEEPALIVE re-inhibits it
  stale-release    lets a RELEASE from the past (seq below the highest) end
                   the current hold
  late-300         does everything 300 ms late

Usage: toy_station.py --port-file FILE [--listen PORT] [--rig-port PORT]
                      [--log FILE] [--variant NAME] [--transmit]
It runs until SIGTERM or SIGINT.
"""

import argparse
import json
import os
import select
import signal
import socket
import sys
import time

VARIANTS = ("correct", "tx-through-hold", "stuck", "late-duplicate", "stale-release", "late-300")


class Rig:
    """A rigctld client: the PTT only."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        # A small request and its reply: neither side may wait for an ACK.
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.file = self.sock.makefile("rwb", buffering=0)

    def ptt(self, on):
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        self.file.write(b"T 1\n" if on else b"T 0\n")
        reply = self.file.readline()
        if not reply.startswith(b"RPRT 0"):
            raise RuntimeError("rigctld said %r" % reply)


FIELDS = ("tx_inhibit", "ttl_ms", "station", "band", "seq")


def refuse_repeated_keys(pairs):
    keys = [key for key, _ in pairs]
    if len(set(keys)) != len(keys):
        raise ValueError("a key appears more than once")
    return dict(pairs)


def inhibit_fields(data):
    """(ttl_ms, seq) of a datagram that section 2.6 does not refuse, else None."""
    if len(data) > 2048:
        return None
    try:
        body = json.loads(data, object_pairs_hook=refuse_repeated_keys)
    except (ValueError, RecursionError):
        return None
    if not isinstance(body, dict) or any(key not in body for key in FIELDS):
        return None
    if any(type(body[key]) is not int for key in ("tx_inhibit", "ttl_ms", "seq")):
        return None  # 1.0, "1" and true are not whole numbers
    if not isinstance(body["station"], str) or not isinstance(body["band"], str):
        return None
    if body["tx_inhibit"] != 1 or body["ttl_ms"] < 0 or body["seq"] < 1:
        return None
    return body["ttl_ms"], body["seq"]


class Station:
    def __init__(self, args):
        self.variant = args.variant
        self.transmit = args.transmit
        self.rig = Rig(args.rig_port) if args.rig_port else None
        self.log = open(args.log, "a", buffering=1) if args.log else None
        self.streams = {}          # sender -> {"highest": seq, "expiry": monotonic s or None}
        self.inhibited = None      # what the outputs show
        self.pending = []          # (due, inhibited): late-300's delayed actions
        self.show(False)

    def show(self, inhibited):
        if inhibited == self.inhibited:
            return
        self.inhibited = inhibited
        if self.log:
            self.log.write("tx inhibited\n" if inhibited else "tx free\n")
        if self.rig:
            if inhibited and self.variant != "tx-through-hold":
                self.rig.ptt(False)
            elif not inhibited and self.transmit:
                self.rig.ptt(True)
            elif self.variant == "tx-through-hold" and self.transmit:
                self.rig.ptt(True)

    def holding(self):
        return any(s["expiry"] is not None for s in self.streams.values())

    def decide(self, now):
        want = self.holding()
        if self.variant == "late-300":
            last = self.pending[-1][1] if self.pending else self.inhibited
            if want != last:
                self.pending.append((now + 0.3, want))
        else:
            self.show(want)

    def datagram(self, sender, data, now):
        fields = inhibit_fields(data)
        if fields is None:
            return  # refused (section 2.6): no state changes
        ttl, seq = fields
        stream = self.streams.setdefault(sender, {"highest": 0, "expiry": None, "run_start": now})
        self.expire(now)
        if seq == 1 and stream["highest"] >= 1 and now - stream["run_start"] >= 0.1:
            # A restarted agent (section 4.4): what the old run held ends, its seq starts afresh.
            stream.update(highest=0, expiry=None, run_start=now)
        if seq <= stream["highest"]:
            seen_again = self.variant == "late-duplicate" and ttl > 0
            stale_release = self.variant == "stale-release" and ttl == 0 and seq < stream["highest"]
            if not (seen_again or stale_release):
                return  # a duplicate or a backwards datagram changes nothing
        else:
            stream["highest"] = seq
        stream["expiry"] = now + ttl / 1000.0 if ttl > 0 else None
        self.decide(now)

    def expire(self, now):
        if self.variant == "stuck":
            return
        for stream in self.streams.values():
            if stream["expiry"] is not None and now >= stream["expiry"]:
                stream["expiry"] = None

    def next_wake(self):
        times = [s["expiry"] for s in self.streams.values() if s["expiry"] is not None]
        if self.variant == "stuck":
            times = []
        times += [due for due, _ in self.pending]
        return min(times) if times else None

    def tick(self, now):
        self.expire(now)
        self.decide(now)
        while self.pending and self.pending[0][0] <= now:
            self.show(self.pending.pop(0)[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--listen", type=int, default=0, help="UDP port on 127.0.0.1 (0: any)")
    parser.add_argument("--port-file", required=True, help="where the bound port is written")
    parser.add_argument("--rig-port", type=int, help="a rigctld on 127.0.0.1 to key")
    parser.add_argument("--log", help="the log file to append to")
    parser.add_argument("--variant", choices=VARIANTS, default="correct")
    parser.add_argument("--transmit", action="store_true", help="key the PTT on whenever free")
    args = parser.parse_args()

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", args.listen))
    station = Station(args)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % sock.getsockname()[1])
    os.rename(tmp, args.port_file)

    while not stop:
        wake = station.next_wake()
        timeout = 0.5 if wake is None else max(0.0, wake - time.monotonic())
        try:
            ready, _, _ = select.select([sock], [], [], min(timeout, 0.5))
        except InterruptedError:
            continue
        now = time.monotonic()
        if ready:
            data, sender = sock.recvfrom(65536)
            station.datagram(sender, data, now)
        station.tick(time.monotonic())
    return 0


if __name__ == "__main__":
    sys.exit(main())
