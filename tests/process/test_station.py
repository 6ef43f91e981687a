"""keyline-station, the receiving end: the real program on a --port 0 port,
fed by a UDP sender in the test and, end to end, by keyline-bench keyed
through the emulated keyboard.

Counts, orders and fields are checked exactly; times only loosely (the
machine is shared): a lapse must come after its ttl and not seconds later."""

import json
import os
import random
import re
import signal
import socket
import time

import pytest

from keyline_harness import KEY_GRAVE, Agent

STAMPED = re.compile(r"^\d\d:\d\d:\d\d\.\d\d\d  ")


class _NoDevices:
    """keyline-station reads no input device: its environment as it is."""

    def child_env(self):
        return dict(os.environ)


class Station:
    """One keyline-station run on a system-given port."""

    def __init__(self, binary, args=(), json_lines=True, stdout_pipe_bytes=0, environment=None):
        argv = ["--port", "0"] + (["--json"] if json_lines else []) + list(args)
        self.json = json_lines
        self.run = Agent(binary, environment or _NoDevices(), None).start(
            argv, stdin="devnull", port=False, stdout_pipe_bytes=stdout_pipe_bytes)
        first = self.run.wait_line(r".", timeout=10)
        if json_lines:
            listening = json.loads(first)
            assert listening["event"] == "listening"
            assert listening["address"] in ("127.0.0.1", "::1")
            self.port = listening["port"]
        else:
            m = re.search(r"  LISTENING  127\.0\.0\.1:(\d+)  \(udp\)$", first)
            assert m and STAMPED.match(first), first
            self.port = int(m.group(1))
        assert 0 < self.port < 65536

    def events(self):
        """The JSON lines after the first, parsed."""
        return [json.loads(line) for line in self.run.lines()[1:]]

    def wait_event(self, kind, timeout=10.0, **fields):
        pattern = r'^\{"event":"%s"' % kind
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for e in self.events():
                if e["event"] == kind and all(e.get(k) == v for k, v in fields.items()):
                    return e
            time.sleep(0.02)
        self.run.wait_line(pattern, timeout=0)  # fails with the output
        raise AssertionError("no %s event with %r" % (kind, fields))

    def stop(self, signum=signal.SIGTERM):
        """Ends the run; the exit status and the summary."""
        self.run.signal(signum)
        status = self.run.wait_exit()
        return status, self.summary()

    def summary(self):
        last = self.events()[-1]
        assert last["event"] == "summary", last
        return last


@pytest.fixture
def station(station_bin):
    runs = []

    def make(args=(), **kw):
        s = Station(station_bin, args, **kw)
        runs.append(s.run)
        return s

    yield make
    for run in runs:
        run.kill()


class Sender:
    """A stream as keyline-bench makes one: one socket, seq counting every datagram."""

    def __init__(self, port, station_name="TEST-KEY", band="144"):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = port
        self.station = station_name
        self.band = band
        self.seq = 1

    @property
    def name(self):
        return "127.0.0.1:%d" % self.sock.getsockname()[1]

    def send(self, ttl_ms, seq=None):
        if seq is None:
            seq, self.seq = self.seq, self.seq + 1
        body = {"tx_inhibit": 1, "ttl_ms": ttl_ms, "station": self.station,
                "band": self.band, "seq": seq}
        self.raw(json.dumps(body).encode())

    def raw(self, data):
        self.sock.sendto(data, ("127.0.0.1", self.port))

    def close(self):
        self.sock.close()


def kinds(events, sender=None):
    return [e["event"] for e in events if sender is None or e.get("from") == sender.name]


# --- command line ---------------------------------------------------------------

@pytest.mark.parametrize("args", [
    ["--port", "65536"], ["--port", "-1"], ["--port", "http"], ["--port", ""],
    ["--bind", "localhost"], ["--bind", "1.2.3"],
    ["--duration", "0"], ["--duration", "-2"], ["--duration", "soon"], ["--duration", "nan"],
    ["--holds", "0"], ["--holds", "1.5"], ["--holds", "x"],
    ["--unknown"], ["--port"], ["extra"],
], ids=lambda a: " ".join(a) or "empty")
def test_usage_errors_exit_2(station_bin, args):
    run = Agent(station_bin, _NoDevices(), None).start(args, stdin="devnull", port=False)
    try:
        assert run.wait_exit() == 2
        assert run.text() == ""
        assert run.text("stderr").startswith("keyline-station: ")
    finally:
        run.kill()


def test_help_documents_every_option(station_bin):
    run = Agent(station_bin, _NoDevices(), None).start(["--help"], stdin="devnull", port=False)
    try:
        assert run.wait_exit() == 0
        text = run.text()
        for option in ("--bind", "--port", "--duration", "--holds", "--expect-holds", "--port-file",
                       "--json", "--verbose",
                       "--help", "--version", "Exit status"):
            assert option in text, option
    finally:
        run.kill()


def test_a_port_in_use_is_refused_with_status_2(station, station_bin):
    first = station()
    run = Agent(station_bin, _NoDevices(), None).start(
        ["--port", str(first.port)], stdin="devnull", port=False)
    try:
        assert run.wait_exit() == 2
        assert "Address already in use" in run.text("stderr")
    finally:
        run.kill()
    # The first one still hears its datagrams.
    s = Sender(first.port)
    s.send(600)
    first.wait_event("hold")
    s.close()


# --- a UDP sender in the test ----------------------------------------------------

def test_a_clean_hold_in_text_ends_after_holds_1_with_status_0(station):
    st = station(["--holds", "1", "--verbose"], json_lines=False)
    s = Sender(st.port)
    s.send(600)
    for _ in range(3):
        time.sleep(0.1)
        s.send(600)
    s.send(0)
    assert st.run.wait_exit() == 0
    lines = st.run.lines()
    assert all(STAMPED.match(line) for line in lines), lines
    texts = [line[12:] for line in lines[1:]]
    assert texts[0] == "  HOLD       %s  station=TEST-KEY  band=144  seq=1  ttl_ms=600" % s.name
    assert [t.split()[0] for t in texts[1:4]] == ["KEEPALIVE"] * 3
    m = re.match(r"^  RELEASE    %s  seq=5  hold_ms=(\d+)  keepalives=3  max_silence_ms=(\d+)"
                 r"  margin_ms=(-?\d+)$" % re.escape(s.name), texts[4])
    assert m, texts[4]
    hold_ms, silence, margin = (int(g) for g in m.groups())
    assert 280 <= hold_ms < 3000 and 90 <= silence < 600 and margin == 600 - silence
    assert texts[5].startswith("  STREAM     %s  station=TEST-KEY  band=144  holds=1  lapses=0"
                               "  seq_problems=0  idle" % s.name)
    assert texts[6] == ("  SUMMARY    problems=0  holds=1  lapses=0  seq_problems=0  malformed=0"
                        "  streams=1  evicted=0")
    s.close()


def test_every_report_of_a_sender_as_json(station):
    st = station(["--verbose"])
    a = Sender(st.port)
    a.send(600)                      # 1 hold
    a.send(600)                      # 2 keepalive
    a.send(600, seq=2)               # duplicate
    a.send(600, seq=1)               # backwards (within the reorder window: not a restart)
    a.seq = 5
    a.send(600)                      # 5: gap of 2
    a.send(0)                        # 6 release
    a.send(0)                        # 7 release with no hold
    a.send(0, seq=3)                 # a stale RELEASE: backwards, ends nothing
    b = Sender(st.port, station_name="B", band="70")
    b.seq = 40
    b.send(600)                      # joined mid-run, then a hold still active at the end
    b.raw(b'{"tx_inhibit":1,"ttl_ms":600,"station":"B","band":"70","seq":1.0}')
    st.wait_event("malformed")
    status, summary = st.stop()
    assert status == 1
    events = st.events()

    assert kinds(events, a) == ["hold", "keepalive", "seq_duplicate", "seq_backwards", "seq_gap",
                                "keepalive", "release", "note", "seq_backwards"]
    by_kind = {e["event"]: e for e in events if e.get("from") == a.name}
    assert by_kind["hold"]["station"] == "TEST-KEY" and by_kind["hold"]["band"] == "144"
    assert by_kind["hold"]["seq"] == 1 and by_kind["hold"]["ttl_ms"] == 600
    assert by_kind["keepalive"]["interval_ms"] >= 0
    assert by_kind["seq_gap"]["missing"] == 2 and by_kind["seq_gap"]["seq"] == 5
    assert by_kind["seq_duplicate"]["seq"] == 2
    release = by_kind["release"]
    assert release["seq"] == 6 and release["keepalives"] == 2
    assert 0 <= release["max_silence_ms"] <= release["hold_ms"]
    assert by_kind["note"]["note"] == "RELEASE with no hold"

    assert kinds(events, b) == ["note", "hold", "malformed"]
    assert events[[e.get("from") for e in events].index(b.name)]["note"] == "joined mid-run at seq 40"
    malformed = [e for e in events if e["event"] == "malformed"][0]
    assert malformed["reason"] == "seq not a whole number"

    assert summary["problems"] == 4 + 1   # 4 seq problems, 1 malformed
    assert (summary["holds"], summary["lapses"], summary["malformed"]) == (2, 0, 1)
    streams = {x["from"]: x for x in summary["streams"]}
    assert streams[a.name] == {"from": a.name, "station": "TEST-KEY", "band": "144", "holds": 1,
                               "lapses": 0, "seq_problems": 4, "holding": False}
    assert streams[b.name]["holding"] is True and streams[b.name]["station"] == "B"
    a.close()
    b.close()


def test_a_lapse_is_reported_when_it_happens_and_a_resume_holds_again(station):
    st = station(["--holds", "2"])
    s = Sender(st.port)
    sent = time.monotonic()
    s.send(300)
    lapse = st.wait_event("lapse", timeout=5)
    seen = time.monotonic()
    assert lapse["ttl_ms"] == 300 and 300 <= lapse["silence_ms"] < 1000
    assert 0.25 <= seen - sent < 2.0, "lapse reported %.3f s after the HOLD" % (seen - sent)
    s.send(300)
    st.wait_event("resume", seq=2)
    s.send(0)
    assert st.run.wait_exit() == 1  # the second hold ended: --holds 2
    assert kinds(st.events()) == ["hold", "lapse", "resume", "release", "summary"]
    summary = st.summary()
    assert (summary["problems"], summary["holds"], summary["lapses"]) == (1, 2, 1)


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


@pytest.mark.skipif(not ipv6_loopback(), reason="no IPv6 loopback here")
def test_ipv6_senders_are_named_in_brackets(station):
    st = station(["--bind", "::1", "--holds", "1"])
    with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as sock:
        sock.bind(("::1", 0))
        for ttl, seq in ((600, 1), (0, 2)):
            body = {"tx_inhibit": 1, "ttl_ms": ttl, "station": "S", "band": "b", "seq": seq}
            sock.sendto(json.dumps(body).encode(), ("::1", st.port))
        name = "[::1]:%d" % sock.getsockname()[1]
    assert st.run.wait_exit() == 0
    assert json.loads(st.run.lines()[0])["address"] == "::1"
    assert [(e["event"], e.get("from")) for e in st.events()] == [
        ("hold", name), ("release", name), ("summary", None)]


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP],
                         ids=["INT", "TERM", "HUP"])
def test_a_signal_ends_the_run_with_its_summary(station, signum):
    st = station(json_lines=False)
    st.run.signal(signum)
    assert st.run.wait_exit() == 0
    assert st.run.lines()[-1].endswith("  SUMMARY    problems=0  holds=0  lapses=0  seq_problems=0"
                                       "  malformed=0  streams=0  evicted=0")


def test_duration_ends_the_run(station):
    began = time.monotonic()
    st = station(["--duration", "0.6"])
    assert st.run.wait_exit() == 0
    assert 0.5 <= time.monotonic() - began < 5.0
    assert kinds(st.events()) == ["summary"]


# --- hostile input ---------------------------------------------------------------

HOSTILE_NAME = "\x1b]0;pwned\x07\x1b[2J\x9b31m\x7f\x00\u2028"
RAW_CONTROL = re.compile(rb"[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]|\x9b")


@pytest.mark.parametrize("json_lines", [False, True], ids=["text", "json"])
def test_hostile_texts_are_escaped(station, json_lines):
    st = station(json_lines=json_lines)
    s = Sender(st.port, station_name=HOSTILE_NAME, band="\x1bc")
    s.send(600)
    s.send(0)
    s.raw(b"\x1b[2J\x1b]2;title\x07\x9b\xc2\x9b\xff{")  # not JSON, shown as an excerpt
    time.sleep(0.3)
    st.run.signal(signal.SIGTERM)
    assert st.run.wait_exit() == 1
    raw = bytes(st.run._out.raw)
    assert RAW_CONTROL.search(raw) is None, raw
    if json_lines:
        events = st.events()  # every line still parses
        hold = [e for e in events if e["event"] == "hold"][0]
        assert hold["station"] == "\\u001b]0;pwned\\u0007\\u001b[2J\\u009b31m\\u007f\\u0000\\u2028"
        malformed = [e for e in events if e["event"] == "malformed"][0]
        assert malformed["excerpt"] == "\\u001b[2J\\u001b]2;title\\u0007\\x9b\\u009b\\xff{"
    else:
        assert "station=\\u001b]0;pwned\\u0007" in st.run.text()
    s.close()


def vm_hwm_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def wait_receive_queue_empty(port, timeout=20.0):
    """Until the kernel holds nothing more for the UDP socket on port
    (/proc/net/udp: local address, then tx_queue:rx_queue in hex)."""
    local = ":%04X" % port
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open("/proc/net/udp") as f:
            rows = [line.split() for line in f.readlines()[1:]]
        queued = [int(r[4].split(":")[1], 16) for r in rows if r[1].endswith(local)]
        if queued and queued[0] == 0:
            return
        time.sleep(0.05)
    raise AssertionError("the station's receive queue never emptied")


def hostile_payloads(rng):
    """Random bytes, huge, deep-nested, every wrong type."""
    wrong = [b'{"tx_inhibit":%s,"ttl_ms":600,"station":"S","band":"b","seq":1}' % v
             for v in (b"0", b"true", b'"1"', b"1.0", b"null", b"[1]")]
    wrong += [b'{"tx_inhibit":1,"ttl_ms":%s,"station":"S","band":"b","seq":1}' % v
              for v in (b"-1", b"6e2", b'"600"', b"2147483648", b"{}")]
    wrong += [b'{"tx_inhibit":1,"ttl_ms":600,"station":%s,"band":"b","seq":1}' % v
              for v in (b"1", b"null", b'["S"]')]
    wrong += [b'{"tx_inhibit":1,"ttl_ms":600,"station":"S","band":"b","seq":%s}' % v
              for v in (b"0", b"-3", b"1.5", b"9007199254740993", b'"1"')]
    while True:
        pick = rng.randrange(5)
        if pick == 0:
            yield os.urandom(rng.randrange(1, 600))
        elif pick == 1:
            yield os.urandom(1) * rng.choice((2049, 30000, 65507))
        elif pick == 2:
            depth = rng.choice((100, 1000, 30000))
            yield b"[" * depth + b"]" * depth
        else:
            yield rng.choice(wrong)


def test_a_flood_is_counted_and_a_hold_after_it_is_tracked(station):
    st = station()
    rng = random.Random(11)
    socks = []
    for _ in range(300):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        socks.append(sock)
    payloads = hostile_payloads(rng)
    sent = 0
    for i in range(6000):
        try:
            socks[i % len(socks)].sendto(next(payloads), ("127.0.0.1", st.port))
            sent += 1
        except OSError:
            pass  # a full send buffer: the flood just goes on
    for sock in socks:
        sock.close()
    wait_receive_queue_empty(st.port)
    assert st.run.running()

    s = Sender(st.port)
    s.send(600)
    for _ in range(3):
        time.sleep(0.2)
        s.send(600)
    s.send(0)
    release = st.wait_event("release", timeout=10)
    assert release["from"] == s.name and release["keepalives"] == 3 and release["seq"] == 5
    status, summary = st.stop()
    assert status == 1
    events = st.events()
    # Every malformed datagram is counted: shown, or within a suppressed count.
    shown = sum(1 for e in events if e["event"] == "malformed")
    suppressed = sum(e["count"] for e in events if e["event"] == "suppressed")
    assert 0 < shown < 200
    # Some of the flood may be dropped by the kernel before it is received:
    # counted too, and a problem.
    assert shown + suppressed == summary["malformed"]
    assert summary["malformed"] + summary["kernel_drops"] == sent
    assert summary["problems"] == summary["malformed"] + summary["kernel_drops"]
    assert [x["from"] for x in summary["streams"]] == [s.name]  # malformed made no stream
    s.close()


def test_a_stalled_output_never_holds_up_reception(station):
    # The reader stops; lines pile up in a one-page pipe and the bounded
    # queue behind it. The station must still see the hold through and end
    # by itself on --holds 1, with no lapse.
    st = station(["--holds", "1", "--verbose"], stdout_pipe_bytes=4096)
    st.run.pause_stdout_reader()
    st.run.fill_stdout_pipe()
    noise = [Sender(st.port) for _ in range(50)]
    for n in noise:
        n.send(0)   # a note line each
    s = Sender(st.port)
    s.send(300)
    for _ in range(8):
        time.sleep(0.1)
        for n in noise:
            n.send(0)
        s.send(300)
    s.send(0)
    status = st.run.proc.wait(timeout=10)  # raises if it is stuck on its output
    assert status == 0  # no lapse, no problem
    st.run.resume_stdout_reader()
    for n in noise + [s]:
        n.close()


# --- end to end: keyline-bench keyed through the emulated keyboard -------------

BENCH_RELEASE = re.compile(r"  RELEASE  ttl_ms=0  -> 127\.0\.0\.1:(\d+)  \(holds=(\d+) ka=(\d+) rel=(\d+)\)")


def keyed_bench(agent, st, args=()):
    """keyline-bench sending to the station, keyed system-wide by the level."""
    run = agent().start(["--port", str(st.port), "--global-keys"] + list(args), port=False)
    run.wait_banner()
    return run


def bench_keepalives(run):
    """Keepalives sent within each hold, from the cumulative counts of the
    bench's RELEASE lines."""
    counts, before = [], 0
    for line in run.lines():
        m = BENCH_RELEASE.search(line)
        if m:
            counts.append(int(m.group(3)) - before)
            before = int(m.group(3))
    return counts


def test_end_to_end_a_break_in_hold_and_a_continuous_one(agent, keyboard, station):
    st = station(["--holds", "2"])
    bench = keyed_bench(agent, st)
    keyboard.down(KEY_GRAVE)           # a short mark: break-in, released after the hang
    time.sleep(0.08)
    keyboard.up(KEY_GRAVE)
    bench.wait_line(r"RELEASE .*\(hang done / EOT\)$")
    keyboard.down(KEY_GRAVE)           # a long mark: continuous, released at once
    time.sleep(0.9)
    keyboard.up(KEY_GRAVE)
    bench.wait_line(r"RELEASE .*\(continuous")
    assert st.run.wait_exit() == 0     # --holds 2 ends it
    assert bench.quit() == 0

    events = st.events()
    assert kinds(events) == ["hold", "release", "hold", "release", "summary"]
    releases = [e for e in events if e["event"] == "release"]
    assert [r["keepalives"] for r in releases] == bench_keepalives(bench)
    for e in events[:-1]:
        assert (e["station"], e["band"]) == ("TEST-KEY", "144")
        assert e["from"] == events[0]["from"]
    for r in releases:
        assert 0 < r["max_silence_ms"] < 600 and r["margin_ms"] > 0
    assert releases[1]["hold_ms"] >= 850
    summary = st.summary()
    assert (summary["problems"], summary["holds"], summary["lapses"], summary["malformed"]) == (0, 2, 0, 0)
    assert summary["streams"] == [{"from": events[0]["from"], "station": "TEST-KEY", "band": "144",
                                   "holds": 2, "lapses": 0, "seq_problems": 0, "holding": False}]


def test_end_to_end_a_ttl_shorter_than_the_keepalive_lapses(agent, keyboard, station):
    # Keepalives come every 200 ms; a 150 ms ttl runs out before each.
    st = station()
    bench = keyed_bench(agent, st, ["--ttl-ms", "150"])
    keyboard.down(KEY_GRAVE)
    first = st.wait_event("lapse", timeout=5)   # reported while the key is still down
    assert first["ttl_ms"] == 150 and first["silence_ms"] >= 150
    time.sleep(0.9)
    keyboard.up(KEY_GRAVE)
    bench.wait_line(r"RELEASE ")
    time.sleep(0.3)
    assert bench.quit() == 0
    status, summary = st.stop()
    assert status == 1
    events = st.events()
    lapses = [e for e in events if e["event"] == "lapse"]
    assert len(lapses) >= 3 and summary["lapses"] == len(lapses)
    assert all(e["ttl_ms"] == 150 and 150 <= e["silence_ms"] < 1000 for e in lapses)
    assert kinds(events).count("resume") >= 2
    assert summary["problems"] == summary["lapses"]  # no seq problem, nothing malformed
    released = kinds(events).count("release")
    assert summary["holds"] == summary["lapses"] + released
