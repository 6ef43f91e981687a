"""keyline-station never says "all good" after a failure it could not see,
and never destroys a file: a full table of holding streams, every reason for
a failed run in the JUnit report, malformed counts that add up, every output
path checked before the run starts, and a picture bounded by its pixels."""

import json
import os
import re
import signal
import socket
import subprocess
import time

import pytest
from junitparser import Failure, JUnitXml

from keyline_harness import Agent
from test_station import Sender, Station, _NoDevices


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


def hold(seq, ttl_ms, station="CROWD"):
    return json.dumps({"tx_inhibit": 1, "ttl_ms": ttl_ms, "station": station, "band": "2",
                       "seq": seq}).encode()


def report(path):
    """(failure types, malformed count per suite) of a JUnit file."""
    types, malformed = [], {}
    for suite in JUnitXml.fromfile(str(path)):
        for case in suite:
            for result in case.result:
                if isinstance(result, Failure):
                    types.append(result.type)
                    if result.type == "malformed":
                        malformed[suite.name] = int(result.message.split(": ")[1])
    return types, malformed


def run_refused(station_bin, args, timeout=10, **kw):
    """A start that must be refused: status 2 within the timeout, nothing on stdout."""
    done = subprocess.run([station_bin, "--port", "0"] + args, capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL, **kw)
    assert done.returncode == 2, (done.returncode, done.stderr)
    assert done.stdout == ""
    assert done.stderr.startswith("keyline-station: ")
    return done.stderr


# --- a full table ------------------------------------------------------------------

def test_a_crowd_of_holding_strangers_cannot_hide_a_lapse(station, tmp_path):
    xml = tmp_path / "run.xml"
    st = station(["--junit", str(xml)])
    victim = Sender(st.port, "VICTIM")
    crowd = []
    try:
        victim.send(3000)  # long enough for the crowd to come first on a loaded machine
        st.wait_event("hold")
        # 256 holds that never end, from 256 sockets, while the victim's hold runs.
        for _ in range(256):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", 0))
            s.sendto(hold(1, 2147483647), ("127.0.0.1", st.port))
            crowd.append(s)
        st.wait_event("lapse", timeout=10, **{"from": victim.name})
        status, summary = st.stop()
    finally:
        victim.close()
        for s in crowd:
            s.close()
    assert status == 1
    assert summary["lapses"] == 1 and summary["untracked"] >= 1 and summary["evicted"] == 0
    assert summary["problems"] == 1 + summary["untracked"]
    untracked = [e for e in st.events() if e["event"] == "untracked"]
    assert len(untracked) == 1 and untracked[0]["count"] >= 1  # said once a second, all counted
    types, _ = report(xml)
    assert "lapse" in types and "untracked" in types


def test_a_muted_bench_hold_lapses_even_when_a_crowd_comes_before_its_lapse(station, keyline_bin, tmp_path):
    script = tmp_path / "long.ks"
    script.write_text("down 1100\nup 50\n")
    st = station(["--duration", "4"])
    bench = Agent(keyline_bin, _NoDevices(), None).start(
        ["--port", str(st.port), "--key-script", str(script), "--fault", "mute=500"],
        stdin="devnull", port=False)
    crowd = []
    try:
        bench_from = st.wait_event("hold")["from"]
        time.sleep(0.55)  # after the bench's last datagram, before its lapse is due
        for _ in range(256):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", 0))
            s.sendto(hold(1, 2147483647), ("127.0.0.1", st.port))
            crowd.append(s)
        assert bench.wait_exit(15) == 0
        status = st.run.wait_exit(15)
    finally:
        for s in crowd:
            s.close()
        bench.kill()
    assert status == 1
    assert [e for e in st.events() if e["event"] == "lapse" and e["from"] == bench_from]
    assert not [e for e in st.events() if e["event"] == "evicted" and e["from"] == bench_from and e["holding"]]


# --- the JUnit report fails when the run fails ---------------------------------------

def closed_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.mark.parametrize("case", ["nothing heard", "hold open at the end", "forward errors", "minus zero"])
def test_every_failed_run_has_a_failing_case(station, tmp_path, case):
    xml = tmp_path / "run.xml"
    args = {"nothing heard": ["--expect-holds", "1"],
            "hold open at the end": ["--expect-holds", "1"],
            "forward errors": ["--forward", "127.0.0.1:%d" % closed_port()],
            "minus zero": []}[case]
    st = station(args + ["--junit", str(xml)])
    sender = Sender(st.port)
    try:
        if case == "hold open at the end":
            sender.send(30000)
        elif case == "forward errors":
            for _ in range(4):
                sender.send(600)
                time.sleep(0.05)  # the refusal of one is known at the next
            sender.send(0)
        elif case == "minus zero":
            sender.send(30000)
            sender.raw(b'{"tx_inhibit":1,"ttl_ms":-0,"station":"TEST-KEY","band":"144","seq":2}')
            st.wait_event("malformed")
        time.sleep(0.2)
        status, summary = st.stop()
    finally:
        sender.close()
    assert status == 1 and summary["problems"] >= 1
    suites = JUnitXml.fromfile(str(xml))
    assert suites.failures >= 1 and suites.tests >= 1
    types, _ = report(xml)
    assert types and set(types) <= {"expect_holds", "forward", "malformed"}, types


def test_suppressed_malformed_datagrams_add_up_for_every_sender(station, tmp_path):
    xml, svg = tmp_path / "run.xml", tmp_path / "run.svg"
    st = station(["--junit", str(xml), "--timeline", str(svg)])
    senders = [Sender(st.port, "JUNK%d" % i) for i in range(5)]
    try:
        # 30 in well under a second: 20 shown, the last sender's all suppressed.
        for s in senders:
            for _ in range(6):
                s.raw(b"{junk")
        st.wait_event("suppressed", timeout=5)
        status, summary = st.stop()
    finally:
        for s in senders:
            s.close()
    assert status == 1 and summary["malformed"] == 30
    _, malformed = report(xml)
    assert len(malformed) == 5 and sum(malformed.values()) == 30, malformed
    lanes = re.findall(rb"127\.0\.0\.1:\d+</text>", svg.read_bytes())
    assert len(lanes) == 5


# --- output paths ------------------------------------------------------------------

def file_cases(tmp):
    """name -> (args, setup, what must hold after the refusal)."""
    notes = tmp / "notes.txt"
    target = tmp / "target.txt"
    link = tmp / "link"
    fifo = tmp / "fifo"
    same = tmp / "same"
    ok = tmp / "ok.svg"

    def keep_notes():
        notes.write_text("keep me\n")

    def link_to_target():
        target.write_text("keep me\n")
        link.symlink_to(target)

    def dangling():
        link.symlink_to(tmp / "nowhere")

    def make_fifo():
        os.mkfifo(fifo)

    def old_reports():
        ok.write_text("old picture\n")

    return {
        "port-file exists": (["--port-file", str(notes)], keep_notes,
                             lambda: notes.read_text() == "keep me\n"),
        "port-file symlink": (["--port-file", str(link)], link_to_target,
                              lambda: target.read_text() == "keep me\n" and link.is_symlink()),
        "timeline symlink": (["--timeline", str(link)], link_to_target,
                             lambda: target.read_text() == "keep me\n"),
        "junit dangling link": (["--junit", str(link)], dangling,
                                lambda: not (tmp / "nowhere").exists()),
        "timeline fifo": (["--timeline", str(fifo)], make_fifo, lambda: True),
        "junit /dev/full": (["--junit", "/dev/full"], lambda: None, lambda: True),
        "timeline /proc/version": (["--timeline", "/proc/version"], lambda: None, lambda: True),
        "timeline and junit": (["--timeline", str(same), "--junit", str(same)], lambda: None,
                               lambda: not same.exists()),
        "vcd and timeline": (["--vcd", str(same), "--timeline", str(same)], lambda: None,
                             lambda: not same.exists()),
        "port-file and timeline": (["--port-file", str(same), "--timeline", str(same)], lambda: None,
                                   lambda: not same.exists()),
        "refused later": (["--timeline", str(ok), "--junit", str(tmp / "no" / "such" / "dir.xml")],
                          old_reports, lambda: ok.read_text() == "old picture\n"),
    }


FILE_CASES = ["port-file exists", "port-file symlink", "timeline symlink", "junit dangling link",
              "timeline fifo", "junit /dev/full", "timeline /proc/version", "timeline and junit",
              "vcd and timeline", "port-file and timeline", "refused later"]


@pytest.mark.parametrize("name", FILE_CASES)
def test_an_output_path_that_could_destroy_a_file_is_refused_at_start(station_bin, tmp_path, name):
    args, setup, intact = file_cases(tmp_path)[name]
    setup()
    before = sorted(os.listdir(tmp_path))
    run_refused(station_bin, args, timeout=10)  # a FIFO must not block the start
    assert intact(), name
    assert sorted(os.listdir(tmp_path)) == before, "a refused start created a file"


def test_a_report_that_is_standard_output_is_refused(station_bin, tmp_path):
    out = tmp_path / "out.svg"
    with open(out, "w") as stdout:
        done = subprocess.run([station_bin, "--port", "0", "--timeline", str(out)], stdout=stdout,
                              stderr=subprocess.PIPE, text=True, timeout=10, stdin=subprocess.DEVNULL)
    assert done.returncode == 2 and "standard output" in done.stderr
    assert out.read_text() == ""


def test_a_refused_bind_leaves_the_old_reports_whole(station, station_bin, tmp_path):
    busy = station()
    old = tmp_path / "run.xml"
    old.write_text("old report\n")
    run_refused(station_bin, ["--port", str(busy.port), "--junit", str(old)])
    assert old.read_text() == "old report\n"


def test_the_port_file_removed_at_the_end_is_only_the_one_written(station, tmp_path):
    path = tmp_path / "port"
    st = station(["--port-file", str(path)])
    assert int(path.read_text()) == st.port
    st.stop()
    assert not path.exists()

    st = station(["--port-file", str(path)])
    path.unlink()
    path.write_text("someone else's\n")  # put there during the run
    st.stop()
    assert path.read_text() == "someone else's\n"


# --- bounded growth --------------------------------------------------------------

def test_the_timeline_of_a_64_sender_flood_is_bounded_by_its_pixels(station, tmp_path):
    # 64 senders every 25 ms or so, each datagram twice, ttl_ms 1, for 20 s:
    # on about 1000 pixels a pixel is 20 ms, so each kind of mark of a lane
    # merges (up to two pixels apart, so a loaded machine still merges them).
    svg = tmp_path / "flood.svg"
    st = station(["--timeline", str(svg), "--duration", "20"])
    socks = []
    for _ in range(64):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        socks.append(s)
    sent = 0
    try:
        seq = 1
        while st.run.proc.poll() is None and seq < 5000:
            for s in socks:  # each datagram twice, a hold that lapses at once
                for _ in range(2):
                    try:
                        s.sendto(hold(seq, 1), ("127.0.0.1", st.port))
                        sent += 1
                    except ConnectionRefusedError:  # the run is over
                        pass
            seq += 1
            time.sleep(0.02)
        status = st.run.wait_exit(30)
    finally:
        for s in socks:
            s.close()
    summary = st.summary()
    assert status == 1 and summary["lapses"] > 64 * 200
    data = svg.read_bytes()
    rects = data.count(b"<rect")
    # Drawn by the datagram it would be several rects for each round of 128;
    # merged by the pixel, a lane's kind of mark is one rect where the rounds
    # came in time and one more at each hiccup of this loop.
    assert rects < sent // 8, (rects, sent)
    assert len(data) < 2 * 1024 * 1024
    subprocess.run(["xmllint", "--noout", str(svg)], check=True)


# --- the command line ---------------------------------------------------------------

@pytest.mark.parametrize("args,says", [
    (["--timeline", "a.svg", "--timeline", "b.svg"], '--timeline given 2 times ("a.svg", "b.svg")'),
    (["--forward", "127.0.0.1:9", "--forward", "127.0.0.1:10"], "--forward given 2 times"),
    (["-p", "0", "--port", "0"], "given 2 times"),
    (["--vcd", "-"], "--vcd -: the file is not standard output"),
])
def test_a_repeated_option_is_refused(station_bin, tmp_path, args, says):
    done = subprocess.run([station_bin] + args, capture_output=True, text=True, timeout=10,
                          cwd=tmp_path, stdin=subprocess.DEVNULL)
    assert done.returncode == 2 and says in done.stderr, done.stderr
    assert os.listdir(tmp_path) == []
