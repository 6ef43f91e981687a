"""Wake-ups and a keyboard that comes and goes: the key's own event records
and the terminal's bytes run the tick at once, the hang ends at its deadline
and never before, and nothing spins when the keyboard or the terminal goes
away. The keyboard can be unplugged and plugged back mid-run.

Times are checked loosely (the machine is shared and the emulated keyboard
answers through a Python thread): medians against bounds far from what the
5 ms poll alone would give, CPU over seconds against ceilings far below what
a spinning loop costs."""

import errno
import os
import re
import signal
import statistics
import time

import pytest

from keyline_harness import KBD_LINK, KEY_GRAVE, UdpReceiver, cpu_seconds, ttls, wait_release

STAMP = r"^\d\d:\d\d:\d\d\.\d\d\d"
LINK_PATH = "/dev/input/by-path/" + KBD_LINK
LOST = STAMP + r"  keyboard lost: %s \(no such device\); the KEY reads as up until a keyboard is found$"
FOUND = STAMP + r"  keyboard found: %s$"

TTL = 600
GLOBAL = ["--global-keys"]
CPU_WINDOW_S = 2.0
# A spinning notifier costs a whole core; an idle run about 1 % (a few % in
# the sanitizer build).
CPU_CEILING_S = 0.3


@pytest.fixture
def stamped():
    """A receiver that times each datagram at its kernel arrival."""
    udp = UdpReceiver(kernel_stamps=True)
    yield udp
    udp.close()


def started(agent, receiver, args):
    run = agent()
    run.receiver = receiver
    run.start(list(args))
    run.wait_banner()
    return run


def wait_datagrams(receiver, n, timeout=5.0):
    got = receiver.wait_count(n, timeout)
    assert len(got) >= n, "expected %d datagrams, got %d" % (n, len(got))
    return got


def cpu_over(run, seconds):
    before = cpu_seconds(run.proc.pid)
    time.sleep(seconds)
    return cpu_seconds(run.proc.pid) - before


# --- the key's own edge ---------------------------------------------------------

def test_an_edge_with_its_records_reaches_the_network_before_a_poll_could(
        agent, keyboard, stamped):
    # With --fixed-hang-ms 0 every down is a HOLD and every up a RELEASE.
    # The 5 ms poll alone puts the median at 2.5 ms or more here (half a tick
    # plus the emulated query); woken by the records it is about one query
    # (0.6..0.7 ms measured here).
    run = started(agent, stamped, GLOBAL + ["--fixed-hang-ms", "0"])
    latencies = []
    for i in range(30):
        for going_down in (True, False):
            n = len(stamped.datagrams())
            time.sleep(0.011 + (i % 5) * 0.0007)  # edges at every phase of the tick
            edge = time.monotonic()
            if going_down:
                keyboard.down(KEY_GRAVE, records=True)
            else:
                keyboard.up(KEY_GRAVE, records=True)
            arrived, parsed, _ = wait_datagrams(stamped, n + 1)[n]
            assert parsed["ttl_ms"] == (TTL if going_down else 0)
            latencies.append(arrived - edge)
    median_ms = statistics.median(latencies) * 1000
    assert median_ms < 1.5, "median edge to datagram %.2f ms" % median_ms
    assert run.text("stderr") == ""
    run.quit()


def test_hang_release_is_never_early(agent, keyboard, stamped):
    hang_ms = 37  # not a multiple of the poll interval
    run = started(agent, stamped, GLOBAL + ["--fixed-hang-ms", str(hang_ms)])
    late_ms = []
    for _ in range(30):
        n = len(stamped.datagrams())
        keyboard.down(KEY_GRAVE, records=True)
        wait_datagrams(stamped, n + 1)
        time.sleep(0.02)
        # The key comes up right after a query has seen it down: the open
        # edge is at that moment, and no tick can have stamped it earlier.
        shot = keyboard.after_next_query(lambda: keyboard.up(KEY_GRAVE, records=True))
        assert shot.done.wait(2.0)
        arrived, parsed, _ = wait_datagrams(stamped, n + 2)[n + 1]
        assert parsed["ttl_ms"] == 0
        late_ms.append((arrived - shot.at) * 1000 - hang_ms)
    assert min(late_ms) >= 0, "a RELEASE came %.2f ms before the hang was over" % -min(late_ms)
    assert statistics.median(late_ms) < 20, late_ms
    assert run.quit() == 0


# --- nothing spins ---------------------------------------------------------------

@pytest.mark.parametrize("global_keys", [False, True], ids=["this-terminal", "global-keys"])
def test_records_typed_elsewhere_are_drained_without_spinning(agent, keyboard, receiver,
                                                              global_keys):
    # Keys typed into other windows queue records on the device in both modes;
    # each wake must read them all, or the descriptor stays readable.
    run = started(agent, receiver, GLOBAL if global_keys else [])
    idle = cpu_over(run, CPU_WINDOW_S)
    before = cpu_seconds(run.proc.pid)
    began = time.monotonic()
    while time.monotonic() - began < CPU_WINDOW_S:
        keyboard.write_records(b"".join([b"\0" * 24] * 3))
        time.sleep(0.1)
    typing = cpu_seconds(run.proc.pid) - before
    assert typing < CPU_CEILING_S, "typing elsewhere %.2f s CPU (idle %.2f s)" % (typing, idle)
    assert receiver.datagrams() == []
    assert run.quit() == 0


def test_closed_terminal_stops_waking_the_tick(agent, keyboard, receiver):
    run = started(agent, receiver, [])
    os.close(run.tty.master)  # the terminal hangs up
    run.tty.master = -1
    time.sleep(0.2)
    used = cpu_over(run, CPU_WINDOW_S)
    assert used < CPU_CEILING_S, "%.2f s CPU after the terminal closed" % used
    assert run.running()
    run.signal(signal.SIGTERM)
    assert run.wait_exit() == 128 + signal.SIGTERM


# --- keyboard unplugged and plugged back ------------------------------------------

@pytest.mark.parametrize("global_keys", [False, True], ids=["this-terminal", "global-keys"])
def test_keyboard_unplugged_during_a_hold_and_plugged_back(agent, keyboard, receiver,
                                                           global_keys):
    hang_ms = 300
    run = started(agent, receiver, (GLOBAL if global_keys else []) + ["--fixed-hang-ms", str(hang_ms)])
    idle = cpu_over(run, CPU_WINDOW_S)

    keyboard.down(KEY_GRAVE, records=True)
    if not global_keys:
        run.tty.type(b"`")
    wait_datagrams(receiver, 1)
    time.sleep(0.3)

    unplugged = time.monotonic()
    keyboard.unplug()
    run.wait_line(LOST % re.escape(LINK_PATH), stream="stderr")
    # The hold ends as for a key that came up: after the hang.
    run.wait_line(r"  KEY OPEN   hang=%d ms" % hang_ms)
    run.wait_line(r"  RELEASE  .*\(hang done / EOT\)$")
    released = wait_release(receiver)
    assert released is not None and released - unplugged >= hang_ms / 1000.0 - 0.05

    # Nothing to find: silent, and about as cheap as an idle run.
    absent = cpu_over(run, CPU_WINDOW_S)
    assert absent < max(2.0 * idle, 0.1), "absent %.2f s CPU, idle %.2f s" % (absent, idle)
    assert len(run.lines("stderr")) == 1

    keyboard.set_keys(())
    keyboard.plug()
    run.wait_line(FOUND % re.escape(LINK_PATH), stream="stderr", timeout=5.0)
    time.sleep(0.1)
    grams = len(receiver.datagrams())

    # Keyed again on the keyboard that came back: HOLD, then RELEASE.
    keyboard.down(KEY_GRAVE, records=True)
    if not global_keys:
        run.tty.type(b"`")
    wait_datagrams(receiver, grams + 1)
    time.sleep(0.05)
    keyboard.up(KEY_GRAVE, records=True)
    deadline = time.monotonic() + 5.0
    while ttls(receiver)[-1] != 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    after = ttls(receiver)[grams:]
    assert after[0] == TTL and after[-1] == 0 and after.count(0) == 1, after
    assert run.quit() == 0
    assert len(run.lines("stderr")) == 2


def test_a_keyboard_that_fails_as_soon_as_it_is_found_is_not_announced(agent, keyboard, receiver):
    run = started(agent, receiver, [])
    keyboard.unplug()
    # Nothing is held in this-terminal mode, so the device is not being
    # queried: the descriptor's hang-up alone tells the program.
    run.wait_line(LOST % re.escape(LINK_PATH), stream="stderr")
    node = keyboard.plug(key_state_errno=errno.ENODEV)
    time.sleep(3.5)  # three passes or more find it and let it go again
    assert len(run.lines("stderr")) == 1, run.lines("stderr")
    for handler in keyboard.handlers.values():
        handler.key_state_errno = 0
    run.wait_line(FOUND % re.escape(LINK_PATH), stream="stderr", timeout=5.0)
    time.sleep(1.5)
    assert len(run.lines("stderr")) == 2, run.lines("stderr")
    assert node == "/dev/input/event1"
    assert run.quit() == 0
