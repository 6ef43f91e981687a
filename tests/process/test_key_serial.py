"""--key-serial: a serial port's modem-status line as the KEY, on a tty
emulated with umockdev (TIOCMGET answered, TIOCMIWAIT held open until an
edge). The emulation cannot pull a USB adapter out: "gone" is every call on
the open port failing with EIO, as the kernel answers after a hang-up, and
the port's reopening succeeding again once it is "back"."""

import time

import pytest

from serial_emulation import (TIOCM_CTS, TIOCM_DSR, TIOCM_DTR, TIOCM_RTS, TIOCMBIC, TIOCMBIS,
                              TIOCMGET, TIOCMIWAIT, TIOCMSET, EmulatedSerial)
from keyline_harness import wait_release


def holds_and_releases(receiver):
    return ["R" if body["ttl_ms"] == 0 else "H" for _, body, _ in receiver.datagrams()]


@pytest.mark.parametrize("line, idle_bits, keyed", [
    ("cts", TIOCM_DTR | TIOCM_RTS, True),               # active high: keyed while high
    ("!dsr", TIOCM_DTR | TIOCM_RTS | TIOCM_DSR, False),  # active low: keyed while low
])
def test_line_level_gives_hold_and_release(agent, inputs, receiver, line, idle_bits, keyed):
    port = EmulatedSerial(inputs, bits=idle_bits)
    name = line.lstrip("!")
    run = agent().start(["--key-serial", "%s:%s" % (port.path, line), "--fixed-hang-ms", "0"])
    banner = run.wait_banner()
    assert any(("KEY = %s of serial port %s" % (name.upper(), port.path)) in t for t in banner), banner
    assert not any("grave" in t for t in banner)
    time.sleep(0.2)
    assert receiver.datagrams() == []  # idle level: no hold

    port.set_line(name, keyed)
    run.wait_line(r"KEY ASSERT")
    grams = receiver.wait_count(1, 5)
    assert grams and grams[0][1]["ttl_ms"] == 600
    port.set_line(name, not keyed)
    assert wait_release(receiver) is not None
    assert holds_and_releases(receiver)[-1] == "R"
    # The edge thread waits on the line and re-arms after each edge.
    assert port.count(TIOCMIWAIT) >= 2
    assert port.count(TIOCMGET) > 10
    assert run.quit() == 0
    # The output lines and the settings were never touched.
    assert port.count(TIOCMSET) == port.count(TIOCMBIS) == port.count(TIOCMBIC) == 0
    assert run.text("stderr") == ""


def test_port_gone_keeps_the_hold_and_is_found_again(agent, inputs, receiver):
    port = EmulatedSerial(inputs)
    source = port.path + ":cts"
    run = agent().start(["--key-serial", source, "--fixed-hang-ms", "0"])
    run.wait_banner()
    port.set_line("cts", True)
    receiver.wait_count(1, 5)

    port.unplug()
    run.wait_line(r"KEY source lost: %s \(Input/output error\); the KEY keeps its last level "
                  r"until the port is back$" % source, stream="stderr")
    # Still held: keepalives go on, no release while the port is gone.
    before = len(receiver.datagrams())
    time.sleep(0.5)
    assert "R" not in holds_and_releases(receiver)
    assert len(receiver.datagrams()) >= before + 2

    port.plug()
    run.wait_line(r"KEY source found: %s$" % source, stream="stderr", timeout=5)
    port.set_line("cts", False)
    assert wait_release(receiver) is not None
    assert run.quit() == 0


def test_lost_and_found_as_json(agent, inputs, receiver):
    port = EmulatedSerial(inputs)
    source = port.path + ":dcd"
    run = agent().start(["--key-serial", source, "--json"])
    run.wait_line(r'"event":"start"')
    port.unplug()
    # The level read before, up, is kept: nothing is sent.
    run.wait_line(r'"event":"key_source_lost".*"source":"%s".*"reason":"Input/output error"' % source)
    port.plug()
    run.wait_line(r'"event":"key_source_found".*"source":"%s"' % source, timeout=5)
    assert run.quit() == 0
    assert receiver.datagrams() == []


MISSING = "/dev/ttyNOPE0"


@pytest.mark.parametrize("args, status, message", [
    (["--key-serial", "/dev/ttyUSB0:rts"], 2,
     "keyline-bench: --key-serial /dev/ttyUSB0:rts: LINE must be cts, dsr, dcd or ri, with ! before "
     "it for an active-low line (as in /dev/ttyUSB0:!dsr), not \"rts\"\n"),
    (["--key-serial", "/dev/ttyUSB0"], 2,
     "keyline-bench: --key-serial /dev/ttyUSB0: give DEVICE:LINE, as in /dev/ttyUSB0:dsr\n"),
    (["--key-serial", "/dev/ttyUSB0:cts", "--key-text", "E"], 2,
     "keyline-bench: --key-serial and --key-text exclude one another: give one KEY source\n"),
    (["--key-serial", "/dev/ttyUSB0:cts", "--key-script", "x.ks"], 2,
     "keyline-bench: --key-serial and --key-script exclude one another: give one KEY source\n"),
    (["--key-serial", "/dev/ttyUSB0:cts", "--global-keys"], 2,
     "keyline-bench: --key-serial and --global-keys exclude one another: give one KEY source\n"),
    (["--key-serial", "/dev/ttyUSB0:cts", "--key-rig", "127.0.0.1:4532"], 2,
     "keyline-bench: --key-serial and --key-rig exclude one another: give one KEY source\n"),
    (["--key-text", "E", "--rig-poll-ms", "20"], 2, "keyline-bench: --rig-poll-ms goes with --key-rig\n"),
    (["--key-serial", MISSING + ":cts"], 1,
     "keyline-bench: --key-serial %s:cts: cannot open %s: No such file or directory\n" % (MISSING, MISSING)),
])
def test_refusals(agent, inputs, receiver, args, status, message):
    run = agent().start(args, stdin="devnull")
    assert run.wait_exit() == status
    assert run.text("stderr") == message
    assert run.text("stdout") == ""
