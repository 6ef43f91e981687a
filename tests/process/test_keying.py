"""The whole job, end to end: key presses on the emulated keyboard and bytes
typed into the program's terminal become HOLD / KEEPALIVE / RELEASE datagrams
and log lines, in this-terminal mode (the default) and system-wide mode.

Orders, counts and contents are checked exactly; times only loosely, since
the machine is shared and the emulated keyboard answers each level query
through a Python thread."""

import re
import time

import pytest

from keyline_harness import (EVIOCGKEY, KEY_ESC, KEY_GRAVE, KEY_LEFTSHIFT, KEY_Q,
                             KEY_RIGHTSHIFT)

HOST = "127.0.0.1"
TTL = 600

STAMPED = re.compile(r"^(\d\d):(\d\d):(\d\d)\.(\d\d\d)(  .*)$")
KEY_OPEN_BREAK_IN = re.compile(
    r"^  KEY OPEN   hang=(\d+) ms  class=break-in CW  dit~(\d+) ms  ~(\d+) WPM$")
CONTINUOUS = "continuous (non-break-in/SSB)"

HELD_S = 0.08      # a grave press held long enough for several ticks to see it
QUIET_S = 0.35      # how long "nothing happens" is watched


# --- expected texts -------------------------------------------------------

def payload(ttl, seq):
    return ('{"tx_inhibit":1,"ttl_ms":%d,"station":"TEST-KEY","band":"144","seq":%d}'
            % (ttl, seq)).encode()


def send_line(label, ttl, port, holds, ka, rel, note=None):
    text = "  %s  ttl_ms=%d  -> %s:%d  (holds=%d ka=%d rel=%d)" % (
        label, ttl, HOST, port, holds, ka, rel)
    if note is not None:
        text += "  (%s)" % note
    return text


def hold_line(port):
    return send_line("HOLD", TTL, port, 1, 0, 0)


def release_line(port, ka, note):
    return send_line("RELEASE", 0, port, 1, ka, 1, note)


ASSERT_UNKNOWN = "  KEY ASSERT  class=unknown"
OPEN_CONTINUOUS = "  KEY OPEN   hang=0  (%s)" % CONTINUOUS


# --- running the program ----------------------------------------------------

class Session:
    """One started run with its banner read; events are the lines after it."""

    def __init__(self, run, receiver, keyboard):
        self.run = run
        self.receiver = receiver
        self.kbd = keyboard
        self.first = len(run.wait_banner())

    @property
    def port(self):
        return self.receiver.port

    def type(self, data):
        self.run.tty.type(data)

    def timed_events(self):
        """(monotonic arrival, text) of each line after the banner, with the
        timestamp checked and stripped; "quit" has none."""
        out = []
        for arrived, text in self.run.timed_lines()[self.first:]:
            if text == "quit":
                out.append((arrived, text))
                continue
            m = STAMPED.match(text)
            assert m, "line without an hh:mm:ss.zzz stamp: %r" % text
            check_local_stamp(m, arrived)
            out.append((arrived, m.group(5)))
        return out

    def events(self):
        return [text for _, text in self.timed_events()]

    def event_time(self, text_or_regex):
        for arrived, text in self.timed_events():
            if text == text_or_regex or (hasattr(text_or_regex, "match")
                                         and text_or_regex.match(text)):
                return arrived
        raise AssertionError("no event %r in %r" % (text_or_regex, self.events()))

    def wait(self, regex, timeout=5.0):
        return self.run.wait_line(regex, timeout, start=self.first)

    def quiet(self, seconds=QUIET_S):
        """Assert that nothing is printed or sent for a while."""
        lines, grams = len(self.run.lines()), len(self.receiver.datagrams())
        time.sleep(seconds)
        assert self.run.lines()[lines:] == [], "unexpected output"
        assert self.receiver.datagrams()[grams:] == [], "unexpected datagrams"

    def finish(self):
        """Quit with q (nothing held) and check the clean end."""
        grams = len(self.receiver.datagrams())
        assert self.run.quit() == 0
        assert self.run.lines()[-1] == "quit"
        assert self.receiver.datagrams()[grams:] == []
        assert self.run.tty.attrs() == self.run.tty.initial
        assert self.run.text("stderr") == ""


def check_local_stamp(m, arrived):
    """The stamp is the local wall-clock time at which the line was written:
    not after it arrived here, and not long before."""
    stamp = int(m.group(1)) * 3600 + int(m.group(2)) * 60 + int(m.group(3)) \
        + int(m.group(4)) / 1000.0
    assert int(m.group(1)) < 24 and int(m.group(2)) < 60 and int(m.group(3)) < 60
    wall = time.time() - (time.monotonic() - arrived)
    local = time.localtime(wall)
    seen = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec + (wall % 1.0)
    lag = (seen - stamp) % 86400.0
    assert lag < 3.0 or lag > 86400.0 - 0.05, \
        "stamp %s is not the local time the line arrived (%.3f s apart)" % (m.group(0)[:12], lag)


def start(agent, receiver, keyboard, args=()):
    return Session(agent().start(list(args)), receiver, keyboard)


def press(s, byte=b"`", keys=(KEY_GRAVE,), held=HELD_S):
    """A key held on the device, with its byte typed into the terminal (when
    byte is not None) while it is down. Returns the monotonic time of the up."""
    s.kbd.down(*keys)
    if byte is not None:
        s.type(byte)
    time.sleep(held)
    s.kbd.up(*keys)
    return time.monotonic()


def check_hold_datagrams(grams, release_last=True):
    """HOLD seq 1, KEEPALIVEs with the numbers going on, then (optionally)
    the RELEASE; exact bytes. Returns the number of KEEPALIVEs."""
    assert grams, "no datagram"
    assert grams[0][2] == payload(TTL, 1)
    body = grams[1:-1] if release_last else grams[1:]
    for i, (_, _, raw) in enumerate(body):
        assert raw == payload(TTL, i + 2)
    if release_last:
        assert grams[-1][2] == payload(0, len(grams))
    return len(body)


def check_keepalive_rhythm(grams, count):
    """KEEPALIVEs follow the HOLD about every 200 ms."""
    times = [t for t, _, _ in grams[:count + 1]]
    gaps = [b - a for a, b in zip(times, times[1:])]
    for gap in gaps:
        assert 0.08 < gap < 0.45, "keepalive gaps %r" % gaps
    if len(gaps) >= 3:
        mean = (times[-1] - times[0]) / len(gaps)
        assert 0.16 < mean < 0.26, "keepalive gaps %r" % gaps


def check_break_in_open(text):
    """A KEY OPEN line of break-in keying: the hang is 10.5 dits within
    315..1260 ms and the speed follows 1200/dit. Returns (hang, dit)."""
    m = KEY_OPEN_BREAK_IN.match(text)
    assert m, "not a break-in KEY OPEN line: %r" % text
    hang, dit, wpm = (int(g) for g in m.groups())
    assert 315 <= hang <= 1260
    assert 1 <= dit <= 499
    # The printed dit is rounded, so the hang and speed made from the exact
    # estimate may differ a little from those made from the printed one.
    assert abs(hang - min(max(10.5 * dit, 315), 1260)) <= 6, text
    assert abs(wpm - 1200.0 / dit) <= 1.5, text
    return hang, dit


def check_break_in_sequence(s, grams):
    """HOLD, KEY ASSERT (unknown), KEY OPEN (break-in), RELEASE after the hang;
    returns (hang, dit)."""
    ka = check_hold_datagrams(grams)
    check_keepalive_rhythm(grams, ka)
    events = s.events()
    assert len(events) == 4, events
    assert events[0] == hold_line(s.port)
    assert events[1] == ASSERT_UNKNOWN
    hang, dit = check_break_in_open(events[2])
    assert events[3] == release_line(s.port, ka, "hang done / EOT")

    # The hold outlasts the KEY OPEN by the hang (loosely: the lines are
    # timed where they are read) and not by much more.
    opened = s.event_time(KEY_OPEN_BREAK_IN)
    released = s.event_time(events[3])
    assert released - opened >= hang / 1000.0 - 0.1
    assert released - opened <= hang / 1000.0 + 1.0
    assert grams[-1][0] - grams[0][0] >= hang / 1000.0
    return hang, dit


def settle(s, last=r"  RELEASE  ", timeout=5.0):
    """Wait for the sequence's last line and the RELEASE datagram, then make
    sure nothing more follows."""
    s.wait(last, timeout)
    wait_release_datagram(s.receiver, timeout)
    s.quiet()
    return s.receiver.datagrams()


def wait_release_datagram(receiver, timeout=5.0):
    """The RELEASE is logged as it is sent, but reaches the receiver a little
    later: wait (bounded) until the last datagram is one."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        grams = receiver.datagrams()
        if grams and grams[-1][1] and grams[-1][1].get("ttl_ms") == 0:
            break
        time.sleep(0.01)


# --- this-terminal mode -----------------------------------------------------

@pytest.fixture
def odd_local_time(monkeypatch):
    """A local time zone far from UTC, so a UTC or monotonic stamp shows."""
    monkeypatch.setenv("TZ", "KLB-5:30")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


def test_grave_typed_while_held_keys_a_break_in_hold(agent, keyboard, receiver, odd_local_time):
    s = start(agent, receiver, keyboard)
    press(s)
    grams = settle(s)
    hang, dit = check_break_in_sequence(s, grams)
    # The mark lasted about as long as the key was held.
    assert 20 <= dit <= 400
    # The press is over: the device is no longer queried.
    queries = keyboard.count(EVIOCGKEY)
    time.sleep(0.2)
    assert keyboard.count(EVIOCGKEY) == queries
    s.finish()


def test_bare_tap_asserts_and_opens_within_the_press_window(agent, keyboard, receiver):
    # The byte arrives but no tick ever sees the key down on the device.
    s = start(agent, receiver, keyboard)
    s.type(b"`")
    grams = settle(s)
    hang, dit = check_break_in_sequence(s, grams)
    # Asserted for 25 ms at least (the window), opened soon after it.
    assert 25 <= dit <= 40
    s.finish()


def test_level_down_without_a_terminal_byte_does_nothing(agent, keyboard, receiver):
    # Grave held in another window: no byte reaches this terminal.
    s = start(agent, receiver, keyboard)
    keyboard.down(KEY_GRAVE, KEY_LEFTSHIFT)
    s.quiet()
    keyboard.up(KEY_GRAVE, KEY_LEFTSHIFT)
    assert s.events() == []
    assert receiver.datagrams() == []
    # With no press armed the device is never asked for its levels.
    assert keyboard.count(EVIOCGKEY) == 0
    s.finish()
    assert keyboard.count(EVIOCGKEY) == 0


def test_long_held_mark_is_continuous_and_releases_at_once(agent, keyboard, receiver):
    s = start(agent, receiver, keyboard)
    keyboard.down(KEY_GRAVE)
    s.type(b"`")
    began = time.monotonic()
    time.sleep(0.25)
    while time.monotonic() - began < 0.8:  # auto-repeat while held
        s.type(b"`")
        time.sleep(0.035)
    keyboard.up(KEY_GRAVE)
    up = time.monotonic()
    grams = settle(s, "KEY OPEN")

    ka = check_hold_datagrams(grams)
    assert ka >= 2
    check_keepalive_rhythm(grams, ka)
    assert s.events() == [hold_line(s.port), ASSERT_UNKNOWN,
                          release_line(s.port, ka, CONTINUOUS), OPEN_CONTINUOUS]
    # Released when the key came up, with no hang.
    assert up <= grams[-1][0] <= up + 0.5
    s.finish()


def test_tilde_latches_until_the_next_grave_press(agent, keyboard, receiver):
    s = start(agent, receiver, keyboard)
    press(s, b"~", keys=(KEY_LEFTSHIFT, KEY_GRAVE))
    s.wait("KEY ASSERT")
    grams_before = len(receiver.datagrams())
    time.sleep(0.45)
    # Still asserted with the key up: no KEY OPEN, the keepalives go on.
    assert s.events() == [hold_line(s.port), ASSERT_UNKNOWN]
    assert len(receiver.datagrams()) >= grams_before + 1

    up = press(s)
    grams = settle(s, "KEY OPEN")
    ka = check_hold_datagrams(grams)
    check_keepalive_rhythm(grams, ka)
    # One mark from the latching press to the end of the releasing one,
    # longer than 500 ms from Idle: continuous, released at once.
    assert s.events() == [hold_line(s.port), ASSERT_UNKNOWN,
                          release_line(s.port, ka, CONTINUOUS), OPEN_CONTINUOUS]
    assert up <= grams[-1][0] <= up + 0.5
    s.finish()


def test_tilde_during_a_press_does_not_latch(agent, keyboard, receiver):
    # The latch request comes while the level is already high: dropped.
    s = start(agent, receiver, keyboard)
    keyboard.down(KEY_GRAVE)
    s.type(b"`")
    s.wait("KEY ASSERT")
    time.sleep(0.04)
    keyboard.down(KEY_LEFTSHIFT)
    s.type(b"~")
    time.sleep(0.04)
    keyboard.up(KEY_GRAVE, KEY_LEFTSHIFT)
    grams = settle(s)
    check_break_in_sequence(s, grams)
    s.finish()


def quit_checks(s, status, grams_before, hold_active):
    assert status == 0
    assert s.run.tty.attrs() == s.run.tty.initial
    assert s.run.text("stderr") == ""
    if hold_active:
        wait_release_datagram(s.receiver)
    grams = s.receiver.datagrams()
    events = s.events()
    assert events[-1] == "quit"
    if hold_active:
        ka = check_hold_datagrams(grams)
        assert events[-2] == release_line(s.port, ka, "quit")
    else:
        assert grams[grams_before:] == []


def test_q_quits_while_keyed_releasing_the_hold(agent, keyboard, receiver):
    s = start(agent, receiver, keyboard)
    keyboard.down(KEY_GRAVE)
    s.type(b"`")
    s.wait("KEY ASSERT")
    time.sleep(0.25)
    s.type(b"q")
    status = s.run.wait_exit()
    keyboard.up(KEY_GRAVE)
    quit_checks(s, status, 0, hold_active=True)
    grams = receiver.datagrams()
    ka = len(grams) - 2
    assert ka >= 1
    assert s.events() == [hold_line(s.port), ASSERT_UNKNOWN,
                          release_line(s.port, ka, "quit"), "quit"]


def test_esc_quits_during_the_hang_releasing_the_hold(agent, keyboard, receiver):
    s = start(agent, receiver, keyboard)
    press(s)
    s.wait("KEY OPEN")
    s.type(b"\x1b")
    status = s.run.wait_exit()
    quit_checks(s, status, 0, hold_active=True)
    events = s.events()
    assert events[:2] == [hold_line(s.port), ASSERT_UNKNOWN]
    check_break_in_open(events[2])
    assert len(events) == 5  # no "hang done" release besides the quit one


@pytest.mark.parametrize("byte", [b"\x03", b"\x1b", b"Q"], ids=["ctrl-c", "esc", "Q"])
def test_quit_bytes_quit_when_idle(agent, keyboard, receiver, byte):
    s = start(agent, receiver, keyboard)
    s.type(byte)
    status = s.run.wait_exit()
    quit_checks(s, status, 0, hold_active=False)
    assert s.events() == ["quit"]
    assert receiver.datagrams() == []


def test_verbose_keepalive_prints_each_keepalive(agent, keyboard, receiver):
    s = start(agent, receiver, keyboard, ["--verbose-keepalive"])
    press(s)
    grams = settle(s)
    ka = check_hold_datagrams(grams)
    assert ka >= 2
    events = s.events()
    keepalives = [e for e in events if "KEEPALIVE" in e]
    assert keepalives == [send_line("KEEPALIVE", TTL, s.port, 1, n, 0)
                          for n in range(1, ka + 1)]
    others = [e for e in events if "KEEPALIVE" not in e]
    assert others[:2] == [hold_line(s.port), ASSERT_UNKNOWN]
    check_break_in_open(others[2])
    assert others[3:] == [release_line(s.port, ka, "hang done / EOT")]
    # The hold's lines come first and the RELEASE last.
    assert events[0] == hold_line(s.port) and events[-1] == others[-1]
    s.finish()


# --- system-wide mode -------------------------------------------------------

GLOBAL = ["--global-keys"]


def test_global_level_alone_keys_a_break_in_hold(agent, keyboard, receiver):
    s = start(agent, receiver, keyboard, GLOBAL)
    press(s, byte=None)
    grams = settle(s)
    hang, dit = check_break_in_sequence(s, grams)
    assert 20 <= dit <= 400
    s.finish()


@pytest.mark.parametrize("shift", [KEY_LEFTSHIFT, KEY_RIGHTSHIFT], ids=["left", "right"])
def test_global_shift_at_the_rising_edge_latches(agent, keyboard, receiver, shift):
    s = start(agent, receiver, keyboard, GLOBAL)
    press(s, byte=None, keys=(shift, KEY_GRAVE))
    s.wait("KEY ASSERT")
    grams_before = len(receiver.datagrams())
    time.sleep(0.45)
    assert s.events() == [hold_line(s.port), ASSERT_UNKNOWN]
    assert len(receiver.datagrams()) >= grams_before + 1

    up = press(s, byte=None)
    grams = settle(s, "KEY OPEN")
    ka = check_hold_datagrams(grams)
    assert s.events() == [hold_line(s.port), ASSERT_UNKNOWN,
                          release_line(s.port, ka, CONTINUOUS), OPEN_CONTINUOUS]
    assert up <= grams[-1][0] <= up + 0.5
    s.finish()


@pytest.mark.parametrize("key", [KEY_ESC, KEY_Q], ids=["esc", "q"])
@pytest.mark.parametrize("hold_active", [False, True], ids=["idle", "keyed"])
def test_global_quit_keys_held_on_the_device_quit(agent, keyboard, receiver, key, hold_active):
    s = start(agent, receiver, keyboard, GLOBAL)
    if hold_active:
        keyboard.down(KEY_GRAVE)
        s.wait("KEY ASSERT")
    keyboard.down(key)
    status = s.run.wait_exit()
    keyboard.set_keys(())
    quit_checks(s, status, 0, hold_active)
    if hold_active:
        ka = len(receiver.datagrams()) - 2
        assert s.events() == [hold_line(s.port), ASSERT_UNKNOWN,
                              release_line(s.port, ka, "quit"), "quit"]
    else:
        assert s.events() == ["quit"]


def test_global_terminal_key_bytes_do_nothing(agent, keyboard, receiver):
    s = start(agent, receiver, keyboard, GLOBAL)
    s.type(b"`")
    time.sleep(0.05)
    s.type(b"~")
    s.quiet()
    assert s.events() == []
    assert receiver.datagrams() == []
    # The terminal's quit bytes still work.
    s.finish()
    assert s.events() == ["quit"]
