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

from keyline_harness import Agent
from test_station import Sender, _NoDevices, station  # noqa: F401 (a fixture)

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


def watch_args(rig_port, log, expect_tx=True, react_ms=150):
    return (["--react-ms", str(react_ms), "--watch-rig", "127.0.0.1:%d" % rig_port,
             "--watch-log", "exec tail -n +1 -F %s" % log,
             "--inhibited", "tx inhibited$", "--free", "tx free$"] +
            (["--expect-tx"] if expect_tx else []))


# --- what the sender does: keyline-bench keying a script, with a fault -------

HOLD = "down 1100\nup 50\n"
SCENARIOS = {
    "clean": (HOLD, []),
    "lost-release": (HOLD, ["drop=release"]),
    "late-duplicate": (HOLD, ["duplicate=100:keepalive@300"]),
    "stale-release": ("down 1100\nup 1500\n" + HOLD, ["reorder=100:release"]),
}


def send(keyline_bin, tmp_path, port, scenario):
    text, faults = SCENARIOS[scenario]
    script = tmp_path / "key.txt"
    script.write_text(text)
    argv = ["--port", str(port), "--key-script", str(script)]
    for fault in faults:
        argv += ["--fault", fault]
    time.sleep(0.3)  # the station transmits before the first hold
    bench = Agent(keyline_bin, _NoDevices(), None).start(argv, stdin="devnull", port=False)
    assert bench.wait_exit(20) == 0, bench.text("stderr")
    time.sleep(1.2)  # and after the last (a lost RELEASE lapses 600 ms on): its answer is judged too


# Each buggy variant, behind the tap, for the fault that shows its bug: the
# events that must name it. The station is Python on a shared machine, so its
# answers take tens of ms and more: the grace (--react-ms) is wide, and a
# broken station may earn more events than these, a correct one none.
# (A stale RELEASE frees the broken station only until the next KEEPALIVE,
# 200 ms on: inside this grace, so its log shows it, its PTT may not.)
@pytest.mark.parametrize("variant,scenario,react_ms,caught", [
    ("correct", "clean", 250, set()),
    ("correct", "lost-release", 250, set()),
    ("correct", "late-duplicate", 250, set()),
    ("correct", "stale-release", 250, set()),
    ("tx-through-hold", "clean", 250, {"tx_while_held"}),
    ("stuck", "lost-release", 250, {"tx_blocked", "inhibit_stuck"}),
    ("late-duplicate", "late-duplicate", 250, {"tx_blocked", "inhibit_stuck"}),
    ("stale-release", "stale-release", 250, {"inhibit_early"}),
    ("late-300", "clean", 150, {"tx_while_held", "tx_blocked", "inhibit_late", "inhibit_stuck"}),
])
def test_the_watch_passes_the_correct_station_and_catches_each_fault(
        station, keyline_bin, tmp_path, rigctld, toy, variant, scenario, react_ms, caught):
    toy_port, log = toy(variant, rigctld.port)
    st = station(["--forward", "127.0.0.1:%d" % toy_port] + watch_args(rigctld.port, log, react_ms=react_ms))
    listening = st.run.lines()[0]
    assert '"watch":"rig 127.0.0.1:%d and log' % rigctld.port in listening
    send(keyline_bin, tmp_path, st.port, scenario)
    status, summary = st.stop()
    seen = {e["event"] for e in st.events()} & PROBLEMS
    assert summary["watch_not_judged"] == [], summary
    assert summary["watch_problems"] == sum(summary[k] for k in PROBLEMS)
    if variant == "correct":
        assert seen == set() and summary["watch_problems"] == 0, st.run.text()
        if scenario == "clean":
            assert status == 0 and summary["problems"] == 0, st.run.text()
    else:
        assert caught <= seen, st.run.text()
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


def test_expect_tx_against_a_station_that_never_transmits_is_not_judged(
        station, keyline_bin, tmp_path, rigctld, toy):
    toy_port, log = toy("correct", rigctld.port, transmit=False)
    st = station(["--forward", "127.0.0.1:%d" % toy_port, "--expect-watch"] +
                 watch_args(rigctld.port, log))
    send(keyline_bin, tmp_path, st.port, "clean")
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
