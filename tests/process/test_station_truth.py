"""keyline-station must not lie: no verdict moved by a wall-clock step, a
sender that comes back on the same port is tracked again, the summary always
arrives, spoofed datagrams change nothing, and a CI run cannot pass by
accident. The real program, fed over 127.0.0.1; times checked loosely."""

import json
import os
import re
import signal
import socket
import subprocess
import time

import pytest

from keyline_harness import Agent
from test_station import Sender, _NoDevices, kinds, station  # noqa: F401 (a fixture)

HERE = os.path.dirname(os.path.abspath(__file__))
DOC = os.path.join(HERE, "..", "..", "docs", "station-checking.md")
MAN = os.path.join(HERE, "..", "..", "man", "keyline-station.h2m")


class ShiftedClock:
    """The station's environment with its wall clock (and kernel stamps)
    shifted by what set() writes to a file, through the preloaded shim."""

    def __init__(self, path):
        self.path = str(path)
        self.set(0)

    def set(self, ms):
        with open(self.path + ".new", "w") as f:
            f.write("%d\n" % ms)
        os.rename(self.path + ".new", self.path)

    def child_env(self):
        env = dict(os.environ)
        shim = os.environ.get("KEYLINE_CLOCK_SHIFT")
        assert shim and os.path.exists(shim), "KEYLINE_CLOCK_SHIFT must name the built shim"
        env["LD_PRELOAD"] = " ".join(filter(None, [shim, env.get("LD_PRELOAD")]))
        env["KEYLINE_CLOCK_SHIFT_FILE"] = self.path
        return env


# --- the monotonic clock ---------------------------------------------------------

@pytest.mark.parametrize("step_ms", [5000, -5000])
def test_a_clock_step_during_a_healthy_hold_changes_nothing(station, tmp_path, step_ms):
    clock = ShiftedClock(tmp_path / "shift")
    st = station(["--holds", "1", "--verbose"], environment=clock)
    s = Sender(st.port)
    for i in range(12):
        if i == 6:
            clock.set(step_ms)
        s.send(1000)
        time.sleep(0.2)
    s.send(0)
    assert st.run.wait_exit() == 0
    events = st.events()
    assert kinds(events) == ["hold"] + ["keepalive"] * 11 + ["release", "summary"]
    assert all(0 <= e["interval_ms"] < 1000 for e in events if e["event"] == "keepalive")
    assert 2000 <= events[-2]["hold_ms"] < 4000
    s.close()


@pytest.mark.parametrize("step_ms", [5000, -5000])
def test_a_clock_step_while_silent_lapses_on_time(station, tmp_path, step_ms):
    clock = ShiftedClock(tmp_path / "shift")
    st = station(["--holds", "1"], environment=clock)
    s = Sender(st.port)
    s.send(600)
    sent = time.monotonic()
    st.wait_event("hold")
    clock.set(step_ms)
    lapse = st.wait_event("lapse", timeout=10)
    seen = time.monotonic() - sent
    assert 0.55 <= seen < 2.0, "lapse reported %.3f s after the HOLD" % seen
    assert 600 <= lapse["silence_ms"] < 1500
    assert st.run.wait_exit() == 1
    s.close()


# --- a sender that comes back on the same port -----------------------------------

@pytest.mark.parametrize("old_releases", [True, False], ids=["released", "still-holding"])
def test_a_new_run_on_the_same_port_is_a_restart_and_its_lapse_is_reported(station, old_releases):
    st = station()
    first = Sender(st.port)
    source = first.sock.getsockname()
    for _ in range(6):
        first.send(600 if old_releases else 5000)
        time.sleep(0.05)
    if old_releases:
        first.send(0)
    first.close()
    second = Sender(st.port)
    second.sock.close()
    second.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    second.sock.bind(source)            # the same ephemeral port again
    for _ in range(3):
        second.send(600)
        time.sleep(0.05)
    lapse = st.wait_event("lapse", timeout=5)   # the second run died holding
    status, summary = st.stop()
    assert status == 1
    events = st.events()
    restart = [e for e in events if e["event"] == "restart"]
    assert len(restart) == 1 and restart[0]["seq"] == 1
    assert restart[0]["highest_seq"] == (7 if old_releases else 6)
    assert restart[0]["ended_hold"] is (not old_releases)
    assert lapse["seq"] == 3 and lapse["from"] == restart[0]["from"]
    assert [k for k in kinds(events) if k not in ("keepalive",)] == (
        ["hold", "release"] if old_releases else ["hold"]) + ["restart", "hold", "lapse", "summary"]
    assert (summary["holds"], summary["lapses"], summary["seq_problems"], summary["restarts"]) == (2, 1, 0, 1)
    assert summary["problems"] == 1


# --- the summary always arrives --------------------------------------------------

@pytest.mark.parametrize("case", ["over-64-KiB", "slow-reader"])
def test_the_summary_arrives_whole(station, case):
    st = station(stdout_pipe_bytes=4096 if case == "slow-reader" else 0)
    names = 60 if case == "over-64-KiB" else 5
    senders = [Sender(st.port, station_name="S%02d" % i + "x" * 1500) for i in range(names)]
    for s in senders:
        s.send(600)
    st.wait_event("hold", timeout=10, station=senders[-1].station)
    if case == "slow-reader":
        st.run.pause_stdout_reader()
        st.run.fill_stdout_pipe()
    st.run.signal(signal.SIGTERM)
    if case == "slow-reader":
        time.sleep(1.5)                 # the station waits for the reader
        st.run.resume_stdout_reader()
    assert st.run.wait_exit() == 0
    summary = json.loads(st.run.lines()[-1])
    assert summary["event"] == "summary" and summary["holds"] == names
    assert [x["station"] for x in summary["streams"]] == [s.station for s in senders]
    if case == "over-64-KiB":
        assert len(st.run.lines()[-1]) > 64 * 1024
    assert st.run.text("stderr") == ""
    for s in senders:
        s.close()


def test_a_summary_the_output_never_takes_is_said_lost_on_stderr(station):
    st = station(stdout_pipe_bytes=4096)
    st.run.pause_stdout_reader()
    st.run.fill_stdout_pipe()
    st.run.signal(signal.SIGTERM)
    began = time.monotonic()
    status = st.run.proc.wait(timeout=20)   # the wait for the reader is bounded
    assert 4.0 <= time.monotonic() - began < 15.0 and status == 0
    st.run.wait_line(r"^keyline-station: the summary could not be written: "
                     r"the output did not take it within 5 s$", stream="stderr")


# --- spoofing senders ------------------------------------------------------------

def test_reported_and_ignored_datagrams_rename_nothing(station):
    st = station()
    s = Sender(st.port, station_name="REAL")
    for _ in range(3):
        s.send(600)
    s.station = "SPOOF"
    s.send(600, seq=3)                  # duplicate
    s.send(600, seq=2)                  # backwards
    st.wait_event("seq_backwards")
    status, summary = st.stop()
    assert status == 1 and summary["seq_problems"] == 2
    assert summary["streams"][0]["station"] == "REAL"
    s.close()


def raw_payload(station_bytes):
    return (b'{"tx_inhibit":1,"ttl_ms":600,"station":"' + station_bytes +
            b'","band":"144","seq":1}')


@pytest.mark.parametrize("sent, shown", [
    (b"\xef\xbb\xbfTEST-KEY", "\\ufeffTEST-KEY"),
    (b"A\\n\xef\xbb\xbfB", "A\\u000a\\ufeffB"),
    ("\u202eYEK-TSET\u202c\u2066x\u2069\u200b\u2028\u00ad".encode(),
     "\\u202eYEK-TSET\\u202c\\u2066x\\u2069\\u200b\\u2028\\u00ad"),
], ids=["bom", "bom-after-escape", "invisible-and-bidi"])
@pytest.mark.parametrize("json_lines", [True, False], ids=["json", "text"])
def test_what_is_shown_is_what_was_sent_with_invisibles_escaped(station, sent, shown, json_lines):
    st = station(["--holds", "1"], json_lines=json_lines)
    s = Sender(st.port)
    s.raw(raw_payload(sent))
    s.send(0, seq=2)
    assert st.run.wait_exit() == 0
    if json_lines:
        assert st.events()[0]["station"] == shown
    else:
        assert "  station=%s  band=144" % shown in st.run.lines()[1]
    s.close()


def test_suppressed_reports_stay_few_however_many_senders(station):
    st = station()
    socks = []
    for _ in range(400):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        socks.append(sock)
    for _ in range(3):
        for i, sock in enumerate(socks):
            sock.sendto(b"not json", ("127.0.0.1", st.port))
            if i % 50 == 49:
                time.sleep(0.01)   # within what the receive buffer holds
        time.sleep(0.1)
    for sock in socks:
        sock.close()
    time.sleep(0.3)
    status, summary = st.stop()
    assert status == 1
    events = st.events()
    suppressed = [e for e in events if e["event"] == "suppressed"]
    shown = kinds(events).count("malformed")
    assert 1 <= len(suppressed) <= 3 and shown <= 20 * 3
    assert shown + sum(e["count"] for e in suppressed) == summary["malformed"]
    assert 400 <= summary["malformed"] <= 1200   # the kernel may drop some of a flood
    assert max(e["senders"] for e in suppressed) > 100
    assert all("from" not in e for e in suppressed if e["senders"] > 1)
    assert len(events) < 100


# --- a run that cannot pass by accident ------------------------------------------

@pytest.mark.parametrize("args", [
    ["--expect-holds", "0"], ["--expect-holds", "x"], ["--expect-holds", "-1"], ["--port-file", ""],
], ids=lambda a: " ".join(a))
def test_refused_values_exit_2(station_bin, args):
    run = Agent(station_bin, _NoDevices(), None).start(args, stdin="devnull", port=False)
    try:
        assert run.wait_exit() == 2
        assert run.text("stderr").startswith("keyline-station: --")
    finally:
        run.kill()


@pytest.mark.parametrize("holds, status", [(0, 1), (1, 0)])
def test_expect_holds(station, holds, status):
    st = station(["--expect-holds", "1", "--duration", "1"], json_lines=False)
    s = Sender(st.port)
    for _ in range(holds):
        s.send(600)
        s.send(0)
    assert st.run.wait_exit() == status
    lines = st.run.lines()
    assert lines[-1].endswith("  SUMMARY    problems=%d  holds=%d  lapses=0  seq_problems=0  malformed=0"
                              "  streams=%d  evicted=0  expect_holds=1  holds_ended=%d"
                              % (status, holds, holds, holds)), lines[-1]
    assert any(l.endswith("  EXPECTED   holds=1  ended=0  (too few holds ended: a problem)")
               for l in lines) is (status == 1)
    s.close()


def test_the_port_file_appears_whole_and_goes_at_exit(station, tmp_path):
    path = tmp_path / "station.port"
    st = station(["--port-file", str(path)])
    deadline = time.monotonic() + 10
    while not path.exists() and time.monotonic() < deadline:
        time.sleep(0.02)
    assert path.read_text() == "%d\n" % st.port
    st.stop()
    assert os.listdir(str(tmp_path)) == []


def recipe_lines():
    text = open(DOC).read()
    m = re.search(r"<!-- ci-recipe -->\n```sh\n(.*?)```", text, re.S)
    assert m, "no CI recipe in %s" % DOC
    return m.group(1)


def test_the_documented_ci_recipe_runs_and_the_man_page_shows_it(keyline_bin, station_bin, tmp_path):
    recipe = recipe_lines()
    man = open(MAN).read().replace("\\-", "-").replace("\\e", "\\")
    for line in recipe.splitlines():
        assert line in man, "the man page's recipe differs at: %s" % line
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([os.path.dirname(keyline_bin), os.path.dirname(station_bin),
                                   env["PATH"]])
    done = subprocess.run(["bash", "-c", recipe], cwd=str(tmp_path), env=env, timeout=90,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert done.returncode == 0, done.stderr.decode()
    summary = json.loads(done.stdout.decode().splitlines()[-1])
    assert (summary["problems"], summary["holds_ended"], summary["expect_holds"]) == (0, 1, 1)
    assert not os.path.exists(str(tmp_path / "station.port"))
