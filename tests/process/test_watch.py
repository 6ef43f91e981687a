"""keyline-station watching the station under test: a toy station (written
from docs/TX_INHIBIT.md) behind the tap keys a real rigctld's dummy rig and
writes its own log; each buggy variant is caught by the event that names its
fault, and the correct one passes."""

import os
import signal
import socket
import subprocess
import sys
import time

import pytest

from test_station import Sender, station  # noqa: F401 (a fixture)

HERE = os.path.dirname(os.path.abspath(__file__))
TOY = os.path.join(HERE, "toy_station.py")
PROBLEMS = {"tx_while_held", "tx_blocked", "inhibit_late", "inhibit_early", "inhibit_stuck", "watch_lost"}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(path_or_port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if isinstance(path_or_port, str):
            if os.path.exists(path_or_port):
                return
        else:
            try:
                socket.create_connection(("127.0.0.1", path_or_port), timeout=1).close()
                return
            except OSError:
                pass
        time.sleep(0.02)
    raise AssertionError("%r did not come up" % (path_or_port,))


class Rigctld:
    """hamlib's dummy rig behind a rigctld on a free port; its PTT is shared."""

    def __init__(self):
        self.port = free_port()
        self.proc = subprocess.Popen(["rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1",
                                      "-t", str(self.port)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(self.port)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


@pytest.fixture
def rigctld():
    rig = Rigctld()
    yield rig
    rig.stop()


@pytest.fixture
def toy(tmp_path):
    procs = []

    def start(variant, rig_port, transmit=True):
        port_file = str(tmp_path / ("toy-%d.port" % len(procs)))
        log = str(tmp_path / "station.log")
        argv = [sys.executable, TOY, "--port-file", port_file, "--rig-port", str(rig_port),
                "--log", log, "--variant", variant] + (["--transmit"] if transmit else [])
        procs.append(subprocess.Popen(argv))
        wait_for(port_file)
        with open(port_file) as f:
            return int(f.read()), log

    yield start
    for p in procs:
        p.send_signal(signal.SIGTERM)
        p.wait(timeout=10)


def watch_args(rig_port, log, expect_tx=True):
    return (["--watch-rig", "127.0.0.1:%d" % rig_port,
             "--watch-log", "exec tail -n +1 -F %s" % log,
             "--inhibited", "tx inhibited$", "--free", "tx free$"] +
            (["--expect-tx"] if expect_tx else []))


# --- what the sender does: each a fault of the bench, as datagrams ------------

def hold(s, ms, release=True):
    s.send(600)
    for _ in range(ms // 200):
        time.sleep(0.2)
        s.send(600)
    if release:
        time.sleep(0.2)
        s.send(0)


def clean(s):
    time.sleep(0.3)
    hold(s, 800)
    time.sleep(0.4)


def lost_release(s):            # --fault drop=release
    time.sleep(0.3)
    hold(s, 600, release=False)
    s.seq += 1                  # the RELEASE that never came
    time.sleep(1.0)


def late_duplicate(s):          # a KEEPALIVE's copy arriving after the RELEASE
    time.sleep(0.3)
    hold(s, 600)
    time.sleep(0.3)
    s.send(600, seq=s.seq - 2)
    time.sleep(0.9)


def stale_release(s):           # the RELEASE held back until the next HOLD
    time.sleep(0.3)
    hold(s, 400, release=False)
    stale = s.seq
    s.seq += 1
    time.sleep(0.9)             # the first hold lapses at the station
    s.send(600)
    s.send(0, seq=stale)
    for _ in range(3):
        time.sleep(0.2)
        s.send(600)
    time.sleep(0.2)
    s.send(0)
    time.sleep(0.4)


SCENARIOS = {"clean": clean, "lost-release": lost_release, "late-duplicate": late_duplicate,
             "stale-release": stale_release}


@pytest.mark.parametrize("variant,scenario,caught", [
    ("correct", "clean", set()),
    ("correct", "lost-release", set()),
    ("correct", "late-duplicate", set()),
    ("correct", "stale-release", set()),
    ("tx-through-hold", "clean", {"tx_while_held"}),
    ("stuck", "lost-release", {"tx_blocked", "inhibit_stuck"}),
    ("late-duplicate", "late-duplicate", {"tx_blocked", "inhibit_stuck"}),
    ("stale-release", "stale-release", {"tx_while_held", "inhibit_early"}),
    ("late-300", "clean", {"tx_while_held", "tx_blocked", "inhibit_late", "inhibit_stuck"}),
])
def test_the_watch_passes_the_correct_station_and_catches_each_fault(
        station, rigctld, toy, variant, scenario, caught):
    toy_port, log = toy(variant, rigctld.port)
    st = station(["--forward", "127.0.0.1:%d" % toy_port] + watch_args(rigctld.port, log))
    listening = st.run.lines()[0]
    assert '"watch":"rig 127.0.0.1:%d and log' % rigctld.port in listening
    s = Sender(st.port)
    SCENARIOS[scenario](s)
    status, summary = st.stop()
    seen = {e["event"] for e in st.events()} & PROBLEMS
    assert seen == caught, st.run.text()
    assert summary["watch_problems"] == sum(summary[k] for k in PROBLEMS) >= len(caught)
    assert summary["watch_not_judged"] == [], summary
    if variant == "correct" and scenario == "clean":
        assert status == 0 and summary["problems"] == 0, st.run.text()
    if caught:
        assert status == 1


def test_a_rigctld_stopped_mid_run_is_watch_lost(station, rigctld, tmp_path):
    st = station(["--watch-rig", "127.0.0.1:%d" % rigctld.port])
    s = Sender(st.port)
    s.send(600)
    rigctld.stop()
    lost = st.wait_event("watch_lost", timeout=10)
    assert lost["watched"] == "rig" and lost["reason"]
    s.send(0)
    status, summary = st.stop()
    assert status == 1 and summary["watch_lost"] == 1
    assert "rig: the watch was lost" in summary["watch_not_judged"]


def test_expect_tx_against_a_station_that_never_transmits_is_not_judged(station, rigctld, toy):
    toy_port, log = toy("correct", rigctld.port, transmit=False)
    st = station(["--forward", "127.0.0.1:%d" % toy_port, "--expect-watch"] +
                 watch_args(rigctld.port, log))
    clean(Sender(st.port))
    status, summary = st.stop()
    assert "rig: the PTT never read on" in summary["watch_not_judged"]
    assert status == 1 and summary["tx_blocked"] >= 1  # never a pass


@pytest.mark.parametrize("args,why", [
    (["--watch-rig", "127.0.0.1:1"], "cannot open the rig 127.0.0.1:1"),
    (["--watch-log", "no-such-command-here", "--inhibited", "x", "--free", "y"], "cannot run --watch-log"),
    (["--watch-log", "true", "--inhibited", "(", "--free", "y"], "--inhibited is not a regular expression"),
    (["--watch-rig", "rig.example"], "--watch-rig"),
    (["--expect-tx"], "--expect-tx goes with --watch-rig"),
    (["--watch-rig", "127.0.0.1:4532", "--watch-poll-ms", "0"], "--watch-poll-ms"),
], ids=["unreachable rig", "command not found", "bad RE", "bad RIG", "expect-tx alone", "poll 0"])
def test_a_watch_that_cannot_start_is_status_2(station_bin, args, why):
    proc = subprocess.run([station_bin, "--port", "0"] + args, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=30)
    assert proc.returncode == 2, proc
    assert why in proc.stderr


def test_list_rigs_lists_hamlibs_models(station_bin):
    proc = subprocess.run([station_bin, "--list-rigs"], capture_output=True, text=True, timeout=30)
    assert proc.returncode == 0
    models = {line.split("\t")[0] for line in proc.stdout.splitlines()}
    assert {"1", "2"} <= models  # the dummy rig and the rigctld client
