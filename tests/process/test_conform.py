"""keyline-conform against stations whose behaviour is known: a station that
never transmits, and the toy stations (correct and buggy) keying a dummy
rigctld's PTT and writing their log. Each buggy one must fail exactly the
scenarios that show its bug; nothing is ever passed that was not seen."""

import os
import re
import socket
import subprocess
import sys
import time

import pytest
from junitparser import Error, Failure, JUnitXml

HERE = os.path.dirname(os.path.abspath(__file__))
TOY_STATION = os.path.join(HERE, "toy_station.py")
VERDICT = re.compile(r"^(PASS|FAIL|NOT JUDGED)  (\S+)  (.*)$")


@pytest.fixture(scope="session")
def conform_bin():
    path = os.environ.get("KEYLINE_CONFORM_BIN")
    if not path or not os.access(path, os.X_OK):
        pytest.fail("KEYLINE_CONFORM_BIN must name the built keyline-conform (got %r)" % path)
    return path


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Rigctld:
    """hamlib's dummy rig behind a rigctld on a free port; its PTT reads back
    what a client set."""

    def __init__(self):
        self.port = free_tcp_port()
        self.proc = subprocess.Popen(["rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", str(self.port)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    self.stop()
                    pytest.fail("rigctld did not start on port %d" % self.port)
                time.sleep(0.05)

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def rigctld():
    rig = Rigctld()
    yield rig
    rig.stop()


class ToyStation:
    """tests/process/toy_station.py in one of its variants, on a free port,
    keying the rig's PTT (on whenever free) and appending to its log."""

    def __init__(self, tmp_path, variant, rig):
        port_file = tmp_path / "toy.port"
        self.log = tmp_path / "toy.log"
        self.log.touch()
        self.proc = subprocess.Popen([sys.executable, TOY_STATION, "--port-file", str(port_file),
                                      "--log", str(self.log), "--variant", variant,
                                      "--rig-port", str(rig.port), "--transmit"])
        deadline = time.monotonic() + 10
        while not port_file.exists():
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.stop()
                pytest.fail("the toy station did not start")
            time.sleep(0.05)
        self.address = "127.0.0.1:%d" % int(port_file.read_text())
        self.rig_address = rig.address

    def watch(self, kind):
        if kind == "rig":
            return ["--watch-rig", self.rig_address, "--expect-tx"]
        return ["--watch-log", "exec tail -n 0 -F %s" % self.log, "--inhibited", "^tx inhibited$",
                "--free", "^tx free$"]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=5)


ALL = None  # every scenario

# Each variant against the scenarios that show its bug and some that do not.
# A stuck station holds every later scenario unsettled, so its selection ends
# with the scenario that shows it.
TOY_CASES = [
    ("correct", "rig", ALL, set()),
    ("correct", "log", ALL, set()),
    ("tx-through-hold", "rig", ["hold-release", "refused-fields"], {"hold-release", "refused-fields"}),
    ("stuck", "log", ["hold-release", "lost-keepalive", "agent-dies"], {"agent-dies"}),
    ("late-duplicate", "rig", ["late-duplicate", "stale-release", "stale-keepalive"],
     {"late-duplicate", "stale-keepalive"}),
    ("stale-release", "log", ["late-duplicate", "stale-release", "stale-keepalive"], {"stale-release"}),
    ("late-300", "rig", ["hold-release", "two-agents"], {"hold-release", "two-agents"}),
]


@pytest.mark.parametrize("variant, watch, only, failing", TOY_CASES,
                         ids=["%s-%s" % (c[0], c[1]) for c in TOY_CASES])
def test_toy_station_fails_exactly_the_scenarios_of_its_bug(conform_bin, rigctld, tmp_path, variant, watch,
                                                           only, failing):
    station = ToyStation(tmp_path, variant, rigctld)
    junit, svg, vcd = tmp_path / "conform.xml", tmp_path / "conform.svg", tmp_path / "conform.vcd"
    try:
        # A Python station (and tail -F) on a loaded 2-core machine can take well
        # over 50 ms to act; 300 ms late is still late.
        result, verdicts = run_conform(conform_bin, ["--station", station.address, "--junit", str(junit),
                                                     "--timeline", str(svg), "--vcd", str(vcd), "--react-ms", "250"]
                                       + station.watch(watch) + (["--only", ",".join(only)] if only else []))
    finally:
        station.stop()
    output = result.stdout + result.stderr
    listed = run_conform(conform_bin, ["--list"])[0].stdout
    selected = only or re.findall(r"^([a-z-]+) +\d\.\d ", listed, re.MULTILINE)
    assert sorted(verdicts) == sorted(selected), output
    failed = {name for name, (outcome, _) in verdicts.items() if outcome == "FAIL"}
    passed = {name for name, (outcome, _) in verdicts.items() if outcome == "PASS"}
    assert failed == failing, output
    assert passed == set(selected) - failing, output
    assert result.returncode == (1 if failing else 0), output
    assert result.stdout.splitlines()[-1] == "conformance: %d of %d passed, %d failed, 0 not judged" % (
        len(passed), len(selected), len(failed))

    # The CI server's view: a case per scenario, the failures exactly the FAIL lines.
    cases = [case for suite in JUnitXml.fromfile(str(junit)) for case in suite]
    assert [case.name for case in cases] == selected
    failures = {case.name: r.message for case in cases for r in case.result if isinstance(r, Failure)}
    assert failures == {name: verdicts[name][1] for name in failed}
    assert not [case.name for case in cases for r in case.result if isinstance(r, Error)]

    # The picture and the waveform: a section per scenario, the model held in each.
    subprocess.run(["xmllint", "--noout", str(svg)], check=True, timeout=30)
    assert all(name in svg.read_text() for name in selected)
    wires = sigrok_wires(vcd)
    assert rises(wires["scenario"]) == len(selected)
    assert rises(wires["model_inhibit"]) >= len(selected)
    assert rises(wires["tx" if watch == "rig" else "station_inhibited"]) >= 1


def sigrok_wires(path):
    """Every wire's (time us, level) changes as sigrok-cli reads the file."""
    out = subprocess.run(["sigrok-cli", "-i", str(path), "-I", "vcd", "-O", "vcd"], capture_output=True,
                         text=True, timeout=120, check=True).stdout
    ids, wires = {}, {}
    for line in out.splitlines():
        found = re.match(r"^\$var wire 1 (\S+) (\S+) \$end$", line)
        if found:
            ids[found.group(1)] = found.group(2)
            wires[found.group(2)] = []
        elif line.startswith("#"):
            stamp, *changes = line.split(" ")
            for change in changes:
                wires[ids[change[1:]]].append((int(stamp[1:]), int(change[0])))
    return wires


def rises(changes):
    return sum(1 for i, (_, v) in enumerate(changes) if v == 1 and (i == 0 or changes[i - 1][1] == 0))


def run_conform(conform_bin, args, timeout=150):
    result = subprocess.run([conform_bin] + args, capture_output=True, text=True, timeout=timeout,
                            stdin=subprocess.DEVNULL)
    verdicts = {}
    for line in result.stdout.splitlines():
        found = VERDICT.match(line)
        if found:
            verdicts[found.group(2)] = (found.group(1), found.group(3))
    return result, verdicts


def test_a_station_that_never_transmits_is_not_judged_never_passed(conform_bin, rigctld):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as station:
        station.bind(("127.0.0.1", 0))  # takes the datagrams, keys nothing
        result, verdicts = run_conform(conform_bin, [
            "--station", "127.0.0.1:%d" % station.getsockname()[1], "--watch-rig", rigctld.address,
            "--expect-tx", "--only", "hold-release,agent-dies"])
    assert result.returncode == 1, result.stdout + result.stderr
    assert set(verdicts) == {"hold-release", "agent-dies"}
    for outcome, text in verdicts.values():
        assert outcome == "NOT JUDGED" and "the PTT never read on" in text, result.stdout
    assert result.stdout.splitlines()[-1] == "conformance: 0 of 2 passed, 0 failed, 2 not judged"


@pytest.mark.parametrize("args, says", [
    ([], "--station HOST:PORT is required"),
    (["--station", "127.0.0.1:9"], "give one watch"),
    (["--station", "localhost:9", "--watch-rig", "127.0.0.1:1"], "numeric"),
    (["--station", "127.0.0.1:9", "--watch-rig", "127.0.0.1:1", "--watch-log", "true",
      "--inhibited", "i", "--free", "f"], "give one watch"),
    (["--station", "127.0.0.1:9", "--watch-log", "true", "--inhibited", "("], "--free"),
    (["--station", "127.0.0.1:9", "--watch-log", "true", "--inhibited", "(", "--free", "f"], "regular expression"),
    (["--station", "127.0.0.1:9", "--watch-rig", "127.0.0.1:1", "--only", "hold-release,nope"], "nope"),
    (["--station", "127.0.0.1:9", "--watch-rig", "127.0.0.1:1", "--react-ms", "0"], "--react-ms"),
    # Nothing listens there: the watch cannot start, and nothing is sent.
    (["--station", "127.0.0.1:9", "--watch-rig", "127.0.0.1:%d" % free_tcp_port()], "--watch-rig"),
])
def test_it_refuses_to_run_with_status_2(conform_bin, args, says):
    result, verdicts = run_conform(conform_bin, args, timeout=60)
    assert (result.returncode, verdicts, result.stdout) == (2, {}, "")
    assert says in result.stderr


@pytest.mark.parametrize("case", ["junit symlink", "timeline fifo", "same path", "refused later"])
def test_its_report_paths_never_destroy_a_file(conform_bin, tmp_path, case):
    # Each start is refused (status 2) before a scenario is played, and leaves
    # every file as it was: nothing followed, truncated, blocked on or left behind.
    keep, link, fifo, new = (tmp_path / n for n in ("keep.txt", "link", "fifo", "new.xml"))
    keep.write_text("keep me\n")
    link.symlink_to(keep)
    os.mkfifo(fifo)
    rig = ["--station", "127.0.0.1:9", "--watch-rig", "127.0.0.1:%d" % free_tcp_port()]
    args = {"junit symlink": ["--junit", str(link)],
            "timeline fifo": ["--timeline", str(fifo)],
            "same path": ["--junit", str(keep), "--timeline", str(keep)],
            "refused later": ["--junit", str(new), "--timeline", str(keep)]}[case]
    result, verdicts = run_conform(conform_bin, rig + args, timeout=30)
    assert (result.returncode, verdicts) == (2, {}), result.stderr
    assert keep.read_text() == "keep me\n" and link.is_symlink()
    assert not new.exists()


def test_list_names_every_scenario_and_the_whole_run(conform_bin):
    result, _ = run_conform(conform_bin, ["--list"])
    assert result.returncode == 0
    names = re.findall(r"^([a-z-]+) +\d\.\d +[\d.]+ s ", result.stdout, re.MULTILINE)
    assert names == ["hold-release", "lost-keepalive", "agent-dies", "lost-release", "short-ttl",
                     "late-duplicate", "stale-release", "stale-keepalive", "corrupt", "refused-fields",
                     "two-agents", "restart", "malformed-flood"]
