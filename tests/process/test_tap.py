"""keyline-station --forward as a tap in front of a second keyline-station
standing in for the real station: every stream keeps its forwarding socket
for as long as it lives, a sender that is not a stream takes none, the
kernel's drops are counted on both, and a tap never feeds itself."""

import signal
import socket
import time
from xml.etree import ElementTree

import pytest

from keyline_harness import Agent
from test_station import Station, _NoDevices  # noqa: F401  (the station fixture's class)

HOLDERS = 250
JUNK_SENDERS = 10


@pytest.fixture
def stations(station_bin):
    runs = []

    def make(args=()):
        s = Station(station_bin, args)
        runs.append(s.run)
        return s

    yield make
    for run in runs:
        run.kill()


def datagram(seq, ttl_ms, station="S"):
    return (b'{"tx_inhibit":1,"ttl_ms":%d,"station":"%s","band":"144","seq":%d}'
            % (ttl_ms, station.encode(), seq))


def sockets(n):
    out = []
    for _ in range(n):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        out.append(s)
    return out


def test_every_holding_stream_keeps_its_socket_and_junk_senders_take_none(stations):
    second = stations()
    tap = stations(["--forward", "127.0.0.1:%d" % second.port])
    holders, junk = sockets(HOLDERS), sockets(JUNK_SENDERS)
    rounds = 6  # a HOLD, four KEEPALIVEs 200 ms apart, a RELEASE
    try:
        for r in range(rounds):
            started = time.monotonic()
            for i, s in enumerate(holders):
                s.sendto(datagram(r + 1, 0 if r == rounds - 1 else 1500, "H%d" % i),
                         ("127.0.0.1", tap.port))
            for s in junk:
                s.sendto(b"not an inhibit datagram", ("127.0.0.1", tap.port))
            time.sleep(max(0.0, 0.2 - (time.monotonic() - started)))
        time.sleep(0.5)
    finally:
        for s in holders + junk:
            s.close()
    summaries = {name: st.stop() for name, st in (("tap", tap), ("second", second))}
    for name, (status, summary) in summaries.items():
        assert status == 1, name  # the junk is malformed
        assert (summary["holds"], summary["holds_ended"], summary["lapses"], summary["evicted"],
                len(summary["streams"]), summary["seq_problems"], summary["kernel_drops"]) \
            == (HOLDERS, HOLDERS, 0, 0, HOLDERS, 0, 0), (name, summary)
        assert summary["malformed"] == JUNK_SENDERS * rounds, name
    assert summaries["tap"][1]["forward_errors"] == 0
    # Each stream behind the tap came from one address all along.
    assert sorted(s["station"] for s in summaries["second"][1]["streams"]) \
        == sorted("H%d" % i for i in range(HOLDERS))


def burst(port, payloads):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        for p in payloads:
            sock.sendto(p, ("127.0.0.1", port))
    finally:
        sock.close()


def stopped_during(station, payloads):
    """Sends payloads while station is stopped (SIGSTOP): its receive queue
    fills and the kernel drops the rest."""
    station.run.signal(signal.SIGSTOP)
    try:
        burst(station.port, payloads)
    finally:
        station.run.signal(signal.SIGCONT)


def test_kernel_drops_are_counted_and_are_a_problem(stations, tmp_path):
    # RELEASEs of one sender with nothing held: in order and harmless, and
    # the drops are the burst's tail, so nothing but the drops is wrong.
    junit = tmp_path / "report.xml"
    plain = stations(["--junit", str(junit)])
    stopped_during(plain, [datagram(seq, 0) for seq in range(1, 20001)])
    time.sleep(0.5)
    status, summary = plain.stop()
    assert summary["kernel_drops"] > 0
    assert summary["problems"] == summary["kernel_drops"] and status == 1, summary
    failures = [f.get("type") for f in ElementTree.parse(str(junit)).iter("failure")]
    assert failures == ["kernel_drops"]

    # Through a tap: what the tap got and lost adds up to what was sent, and
    # what it sent on, to what the station behind it got and lost.
    second = stations()
    tap = stations(["--forward", "127.0.0.1:%d" % second.port])
    sent = 20000
    stopped_during(tap, [b"junk %d" % i for i in range(sent)])
    time.sleep(1.0)
    (tap_status, at_tap), (second_status, behind) = tap.stop(), second.stop()
    assert at_tap["kernel_drops"] > 0 and tap_status == 1
    assert at_tap["malformed"] + at_tap["kernel_drops"] == sent, at_tap
    assert behind["malformed"] + behind["kernel_drops"] == at_tap["malformed"], behind
    assert at_tap["forward_errors"] == 0


@pytest.mark.parametrize("bind,target", [
    ("127.0.0.1", "127.0.0.1"),
    ("0.0.0.0", "127.0.0.1"),
    ("0.0.0.0", "127.0.0.2"),
])
def test_a_tap_refuses_to_forward_to_itself(station_bin, bind, target):
    free = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    free.bind(("127.0.0.1", 0))
    port = free.getsockname()[1]
    free.close()
    run = Agent(station_bin, _NoDevices(), None).start(
        ["--bind", bind, "--port", str(port), "--forward", "%s:%d" % (target, port)],
        stdin="devnull", port=False)
    assert run.wait_exit() == 2
    assert "--forward %s:%d is where this station listens" % (target, port) in run.text("stderr")
    assert run.lines() == []


def test_what_comes_back_from_the_target_is_not_sent_on_again(stations):
    """A relay behind the tap that sends every datagram straight back."""
    relay = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    relay.bind(("127.0.0.1", 0))
    relay.settimeout(0.2)
    tap = stations(["--forward", "127.0.0.1:%d" % relay.getsockname()[1]])
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    relayed = 0
    try:
        for seq in range(1, 4):
            sender.sendto(datagram(seq, 600), ("127.0.0.1", tap.port))
        deadline = time.monotonic() + 1.5
        while time.monotonic() < deadline:
            try:
                data, _ = relay.recvfrom(65536)
            except socket.timeout:
                continue
            relayed += 1
            relay.sendto(data, ("127.0.0.1", tap.port))
        sender.sendto(datagram(4, 0), ("127.0.0.1", tap.port))
        time.sleep(0.2)
    finally:
        sender.close()
        relay.close()
    status, summary = tap.stop()
    assert relayed == 3  # each once: none came round again
    assert summary["forward_errors"] >= 3 and status == 1
    assert [s["holds"] for s in summary["streams"]] == [1]  # the echoes are not senders
    assert "came back from the forward target" in \
        [e for e in tap.events() if e["event"] == "forward_failed"][0]["reason"]
