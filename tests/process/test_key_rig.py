"""--key-rig: a real rigctld (hamlib's dummy rig) keyed by the test with
"T 1" / "T 0". The holds and hangs are those of the same timing keyed from
--key-script; a rigctld stopped mid-mark keeps the hold, is said lost, and
found when it is back. Times are loose: the machine is shared and the rig
is read every 10 ms."""

import re
import time

import pytest

from keyline_harness import wait_release
from rigctld import Rigctld, free_port
from test_keyless import events, script_levels

# (KEY down?, ms): three marks at 12 WPM (break-in CW), the 1050 ms hang runs
# out, then one long continuous mark. Slow enough that a poll of 10 ms and a
# loaded machine's jitter stay small beside a dit.
TIMING = [(True, 100), (False, 100), (True, 300), (False, 100), (True, 100), (False, 1600),
          (True, 800), (False, 50)]


@pytest.fixture
def rig():
    r = Rigctld()
    yield r
    r.stop()


def key_timing(rig):
    """Keys TIMING on absolute deadlines, so a late step does not delay the next."""
    at = time.monotonic()
    for down, ms in TIMING:
        rig.key(down)
        at += ms / 1000.0
        time.sleep(max(0.0, at - time.monotonic()))


def shape(run):
    """The KEY and datagram lines, figures out."""
    return [re.sub(r"\d+", "N", e) for e in events(run)
            if e.startswith(("  KEY", "  HOLD", "  RELEASE")) or e == "quit"]


def hangs(run):
    return [int(m.group(1)) for m in (re.search(r"KEY OPEN   hang=(\d+)", e) for e in events(run)) if m]


def labels(grams):
    """H, K and R for each datagram, in order."""
    out = ""
    for _, body, _ in grams:
        out += "R" if body["ttl_ms"] == 0 else "K" if out[-1:] in ("H", "K") else "H"
    return out


def test_rig_keys_the_same_holds_and_hang_as_a_script(agent, inputs, receiver, rig, tmp_path):
    script = tmp_path / "timing.ks"
    script.write_text("".join("%s %d\n" % ("down" if d else "up", ms) for d, ms in TIMING))
    scripted = agent().start(["--key-script", str(script)], stdin="devnull")
    assert scripted.wait_exit(timeout=15) == 0
    scripted_grams = len(receiver.datagrams())

    recorded = str(tmp_path / "rig.ks")
    run = agent().start(["--key-rig", rig.address, "--record", recorded])
    banner = run.wait_banner()
    assert any("KEY = PTT of rig %s through hamlib, polled every 10 ms" % rig.address in t for t in banner)
    assert not any("grave" in t for t in banner)
    key_timing(rig)
    run.wait_line(r"KEY OPEN   hang=0", timeout=5)
    assert wait_release(receiver) is not None
    time.sleep(0.1)
    assert run.quit() == 0
    assert run.text("stderr") == ""

    assert shape(run) == shape(scripted)
    grams = receiver.datagrams()
    for keyed in (grams[:scripted_grams], grams[scripted_grams:]):
        assert re.fullmatch(r"HK+RHK+R", labels(keyed)), labels(keyed)
    # The dit estimate, and so the hang, from marks timed at the polls.
    for got, want in zip(hangs(run), hangs(scripted)):
        assert abs(got - want) <= want * 0.3, (hangs(run), hangs(scripted))
    marks = [ms for level, ms in script_levels(recorded) if level == "down"]
    assert len(marks) == 4
    for got, (_, want) in zip(marks, [t for t in TIMING if t[0]]):
        assert abs(got - want) <= 40 + want * 0.1, marks


def test_rig_stopped_mid_mark_keeps_the_hold_and_is_found_again(agent, inputs, receiver, rig):
    run = agent().start(["--key-rig", rig.address, "--fixed-hang-ms", "0"])
    run.wait_banner()
    rig.key(True)
    run.wait_line(r"KEY ASSERT")

    rig.stop()
    run.wait_line(r"KEY source lost: %s \(.+\); the KEY keeps its last level until the rig answers$"
                  % rig.address, stream="stderr")
    before = len(receiver.datagrams())
    time.sleep(0.7)
    grams = receiver.datagrams()
    assert all(body["ttl_ms"] > 0 for _, body, _ in grams), "released while the rig was gone"
    assert len(grams) >= before + 3  # keepalives went on

    rig.start()  # a restarted rig: PTT off
    run.wait_line(r"KEY source found: %s$" % rig.address, stream="stderr", timeout=5)
    assert wait_release(receiver) is not None
    assert len(run.lines("stderr")) == 2  # said once each
    assert run.quit() == 0


@pytest.mark.parametrize("rig_text, status, message", [
    ("localhost", 2, "keyline-bench: --key-rig: 'localhost' is neither HOST:PORT nor MODEL:DEVICE\n"),
    ("127.0.0.1:0", 2, "keyline-bench: --key-rig: '127.0.0.1:0': port 0 is not 1..65535\n"),
    ("127.0.0.1:{free}", 1, "keyline-bench: --key-rig 127.0.0.1:{free}: cannot open the rig: "),
    ("x1:/dev/null", 2, "keyline-bench: --key-rig: 'x1:/dev/null': 'x1' is not a hamlib model number "
                        "(keyline-station --list-rigs lists them)\n"),
    ("999999:/dev/null", 1, "keyline-bench: --key-rig 999999:/dev/null: cannot open the rig: hamlib has no "
                            "rig model 999999 (keyline-station --list-rigs lists them)\n"),
])
def test_rig_refusals(agent, inputs, receiver, rig_text, status, message):
    free = free_port()
    rig_text = rig_text.format(free=free)
    run = agent().start(["--key-rig", rig_text], stdin="devnull")
    assert run.wait_exit(timeout=30) == status
    assert run.text("stderr").startswith(message.format(free=free)), run.text("stderr")
    assert run.text("stdout") == ""
