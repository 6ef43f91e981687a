"""Faults on purpose: keyline-bench keyed by a key script with --fault into
keyline-station, which must report what a real station would go through;
--also to more receivers; keyline-station --forward as a tap in front of
another station.

One continuous mark of 1100 ms: a HOLD, a KEEPALIVE every 200 ms (five), a
RELEASE. Counts and fields are exact where the faults fix them; times are
loose (the machine is shared)."""

import re
import socket
import time

import pytest

from keyline_harness import Agent, UdpReceiver
from test_station import Station, _NoDevices

STAMPED = re.compile(r"^\d\d:\d\d:\d\d\.\d\d\d(  .*)$")
MARK = "down 1100\nup 50\n"


def unstamped(lines, prefix):
    out = []
    for line in lines:
        m = STAMPED.match(line)
        if m and m.group(1).startswith(prefix):
            out.append(m.group(1))
    return out


def kinds(events, kind):
    return [e for e in events if e["event"] == kind]


@pytest.fixture
def script(tmp_path):
    path = tmp_path / "mark.txt"
    path.write_text(MARK)
    return str(path)


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


def bench_run(keyline_bin, port, args, extra_ports=()):
    argv = ["--port", str(port)] + list(args)
    for p in extra_ports:
        argv += ["--also", "127.0.0.1:%d" % p]
    run = Agent(keyline_bin, _NoDevices(), None).start(argv, stdin="devnull", port=False)
    assert run.wait_exit(15) == 0, run.text("stderr")
    return run


def check_drop_keepalive(ev, faults):
    assert not kinds(ev, "lapse") and len(kinds(ev, "release")) == 1
    assert [g["missing"] for g in kinds(ev, "seq_gap")] == [1]


def check_mute(ev, faults):
    assert faults == ["  FAULT  muted after 500 ms"]
    lapses = kinds(ev, "lapse")
    assert len(lapses) == 1 and not kinds(ev, "release")
    assert 600 <= lapses[0]["silence_ms"] < 900, lapses  # ttl after the last datagram


def check_drop_release(ev, faults):
    assert len(kinds(ev, "lapse")) == 1 and not kinds(ev, "release")


def check_duplicate(ev, faults):
    dups = len(faults)
    assert dups >= 3 and len(kinds(ev, "seq_duplicate")) == dups
    release = kinds(ev, "release")
    assert len(release) == 1 and release[0]["keepalives"] == dups  # not doubled
    assert not kinds(ev, "lapse")


def check_reorder(ev, faults):
    held = [f for f in faults if "held back" in f]
    assert held and len(kinds(ev, "seq_backwards")) == len(held)


def check_late_duplicate(ev, faults):
    # Every copy comes 300 ms late, behind newer datagrams: the last ones after
    # the RELEASE, which they must not undo.
    assert len([f for f in faults if "sent the copy of KEEPALIVE" in f]) == 5
    backwards = kinds(ev, "seq_backwards")
    assert len(backwards) == 5 and all(b["ttl_ms"] == 600 for b in backwards)
    names = [e["event"] for e in ev]
    assert names.count("hold") == 1 and names.count("release") == 1 and "lapse" not in names
    assert names.index("release") < len(names) - 1 - names[::-1].index("seq_backwards")


def check_stale_release(ev, faults):
    # The first RELEASE goes out behind the second hold's HOLD: the first hold
    # lapses meanwhile, and the stale RELEASE must not end the second.
    assert "  FAULT  sent RELEASE seq=7 after seq=8 (reorder)" in faults
    names = [e["event"] for e in ev if e["event"] not in ("keepalive", "seq_gap")]
    assert names == ["hold", "lapse", "resume", "seq_backwards", "release"], names
    assert kinds(ev, "seq_backwards")[0]["ttl_ms"] == 0


def check_corrupt(ev, faults):
    assert faults and all("corrupted KEEPALIVE" in f for f in faults)
    assert kinds(ev, "malformed")


FAULT_CASES = [
    (["drop=keepalive:2"], check_drop_keepalive),
    (["mute=500"], check_mute),
    (["drop=release"], check_drop_release),
    (["duplicate=100:keepalive"], check_duplicate),
    (["reorder=100:keepalive"], check_reorder),
    (["corrupt=100:keepalive", "--seed", "3"], check_corrupt),
    (["duplicate=100:keepalive@300"], check_late_duplicate),
    (["reorder=100:release"], check_stale_release, MARK.replace("up 50", "up 1500") + MARK),
]


@pytest.mark.parametrize("case", FAULT_CASES, ids=[c[0][0] for c in FAULT_CASES])
def test_a_fault_gives_the_station_what_it_must_survive(keyline_bin, stations, script, case):
    fault, check = case[:2]
    if len(case) > 2:
        with open(script, "w") as f:
            f.write(case[2])
    st = stations()
    args = ["--key-script", script, "--fault"] + fault
    bench = bench_run(keyline_bin, st.port, args)
    faults = unstamped(bench.lines(), "  FAULT")
    # Any lapse is due 600 ms after the last datagram at the latest.
    st.run.wait_line(r'"event":"(release|lapse)"', timeout=5)
    _, summary = st.stop()
    check(st.events()[:-1], faults)
    assert "quit" in bench.lines()[-4:]  # late datagrams may still go out after it
    assert bench.lines()[-1].startswith("faults: dropped ")


def test_the_same_seed_gives_the_same_faults(keyline_bin, receiver, tmp_path):
    path = tmp_path / "dits.txt"
    path.write_text("down 60\nup 60\n" * 8 + "down 700\nup 50\n")
    args = ["--key-script", str(path), "--seed", "1234", "--fault", "loss=25",
            "--fault", "duplicate=20", "--fault", "reorder=30:keepalive", "--fault", "corrupt=10",
            "--fault", "delay=5~20"]
    first, second = (unstamped(bench_run(keyline_bin, receiver.port, args).lines(), "  FAULT")
                     for _ in range(2))
    assert len(first) >= 5 and first == second
    assert "  seed=1234  (--seed 1234 replays the random draws)" in \
        bench_run(keyline_bin, receiver.port, args).lines()


def test_also_sends_the_same_datagrams_to_every_destination(keyline_bin, receiver, script):
    other = UdpReceiver()
    try:
        run = bench_run(keyline_bin, receiver.port,
                        ["--key-script", script, "--fault", "duplicate=50", "--seed", "8"],
                        [other.port])
        grams = receiver.wait_count(7, 3)
        assert [g[2] for g in other.wait_count(len(grams), 3)] == [g[2] for g in grams]
    finally:
        other.close()
    hold = unstamped(run.lines(), "  HOLD")
    assert hold == ["  HOLD  ttl_ms=600  -> 127.0.0.1:%d, 127.0.0.1:%d  (holds=1 ka=0 rel=0)"
                    % (receiver.port, other.port)]


@pytest.mark.parametrize("args,says", [
    (["--fault", "loss=200"], '--fault "loss=200": the percentage'),
    (["--fault", "delay=5", "--fault", "delay=9"], "a second delay"),
    (["--fault", "wobble=1"], 'unknown fault "wobble"'),
    (["--also", "localhost:9"], "--also must be a numeric"),
    (["--also", "::1:9"], "--also must be a numeric"),
    (["--also", "127.0.0.1:0"], "--also must be a numeric"),
    (["--also", "127.0.0.1:9"] * 9, "at most 8 times"),
])
def test_bad_fault_and_also_options_are_refused_before_anything_runs(keyline_bin, receiver,
                                                                     args, says):
    run = Agent(keyline_bin, _NoDevices(), None).start(
        ["--port", str(receiver.port), "--key-text", "e"] + args, stdin="devnull", port=False)
    assert run.wait_exit() == 2
    assert says in run.text("stderr") and run.lines() == []
    assert receiver.datagrams() == []


def test_a_tap_forwards_the_same_bytes_and_keeps_the_streams_apart(keyline_bin, stations, script,
                                                                  tmp_path):
    """keyline-bench A and B -> tap -> a second keyline-station, itself a tap
    to a receiver; each bench also sends straight to a receiver of its own."""
    end = UdpReceiver()
    direct = {"A": UdpReceiver(), "B": UdpReceiver()}
    try:
        second = stations(["--forward", "127.0.0.1:%d" % end.port])
        tap = stations(["--forward", "127.0.0.1:%d" % second.port])
        assert tap.run.lines()[0].endswith('"forward":"127.0.0.1:%d"}' % second.port)
        runs = [Agent(keyline_bin, _NoDevices(), None).start(
            ["--port", str(tap.port), "--also", "127.0.0.1:%d" % direct[name].port,
             "--station", name, "--key-script", script, "--fault", "corrupt=20", "--seed", "5"],
            stdin="devnull", port=False) for name in "AB"]
        assert [r.wait_exit(15) for r in runs] == [0, 0]
        for name, receiver in direct.items():
            sent = [g[2] for g in receiver.wait_count(6, 3)]
            came = [g[2] for g in end.wait_count(12, 3) if b'"station":"%s"' % name.encode() in g[2]]
            assert came == [g for g in sent if b'"station":"%s"' % name.encode() in g]
            assert len(came) >= 5
        summaries = [st.stop()[1] for st in (tap, second)]
    finally:
        for r in [end] + list(direct.values()):
            r.close()
    for summary in summaries:
        assert summary["forward_errors"] == 0
        assert sorted(s["station"] for s in summary["streams"]) == ["A", "B"]
        assert [s["holds"] for s in summary["streams"]] == [1, 1]
    assert summaries[0]["malformed"] == summaries[1]["malformed"]


def test_a_tap_with_no_station_behind_it_reports_once_a_second_and_counts(stations):
    closed = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    closed.bind(("127.0.0.1", 0))
    nobody = closed.getsockname()[1]
    closed.close()
    tap = stations(["--forward", "127.0.0.1:%d" % nobody])
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        for seq in range(1, 6):  # within one second
            sock.sendto(b'{"tx_inhibit":1,"ttl_ms":600,"station":"S","band":"1","seq":%d}' % seq,
                        ("127.0.0.1", tap.port))
            time.sleep(0.05)  # the refusal of one is known at the next
        tap.wait_event("forward_failed", timeout=5)
    finally:
        sock.close()
    status, summary = tap.stop()
    assert status == 1 and summary["forward_errors"] >= 3
    assert [e["event"] for e in tap.events()].count("forward_failed") == 1
