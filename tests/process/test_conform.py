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


def test_list_names_every_scenario_and_the_whole_run(conform_bin):
    result, _ = run_conform(conform_bin, ["--list"])
    assert result.returncode == 0
    names = re.findall(r"^([a-z-]+) +\d\.\d +[\d.]+ s ", result.stdout, re.MULTILINE)
    assert names == ["hold-release", "lost-keepalive", "agent-dies", "lost-release", "short-ttl",
                     "late-duplicate", "stale-release", "stale-keepalive", "corrupt", "refused-fields",
                     "two-agents", "restart", "malformed-flood"]
