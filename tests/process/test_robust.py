"""The program never leaves the terminal raw or a hold open: quit signals,
a closed standard output, a keyboard that disappears mid-mark and a large
hostile paste into the terminal.

Times are checked only loosely (lower bounds with slack, generous upper
bounds): the machine is shared and the emulated keyboard answers through a
Python thread."""

import errno
import fcntl
import os
import random
import re
import signal
import termios
import time

import pytest

from keyline_harness import KBD_LINK, KEY_GRAVE, cpu_seconds, proc_state, ttls, wait_release

TTL = 600
HANG_MS = 600  # --fixed-hang-ms where a test waits for the release after the hang
HANG_SLACK_S = 0.05

STAMP = r"^\d\d:\d\d:\d\d\.\d\d\d"
RELEASE_QUIT = re.compile(STAMP + r"  RELEASE  ttl_ms=0  .*  \(quit\)$")
RELEASE_HANG = re.compile(STAMP + r"  RELEASE  ttl_ms=0  .*  \(hang done / EOT\)$")
KEYBOARD_LOST = (STAMP + r"  keyboard lost: /dev/input/by-path/%s \(no such device\); "
                 r"the KEY reads as up until a keyboard is found$" % re.escape(KBD_LINK))


# --- helpers --------------------------------------------------------------

def started(agent, args=()):
    run = agent().start(list(args))
    run.wait_banner()
    return run


def seqs(receiver):
    return [parsed["seq"] for _, parsed, _ in receiver.datagrams()]


def hold_key(run, inputs, receiver, type_byte=True):
    """Grave down on the device (and typed into the terminal): a hold starts."""
    inputs.down(KEY_GRAVE)
    if type_byte:
        run.tty.type(b"`")
    got = receiver.wait_count(1, 5.0)
    assert got, "no HOLD datagram"
    assert got[0][1]["ttl_ms"] == TTL
    run.wait_line(r"  KEY ASSERT")


def assert_one_closed_hold(receiver):
    """HOLD, keepalives, one RELEASE last, numbered without gaps."""
    sent = ttls(receiver)
    assert sent[0] == TTL
    assert sent[-1] == 0
    assert sent.count(0) == 1
    assert seqs(receiver) == list(range(1, len(sent) + 1))


def quiet(receiver, seconds):
    """No datagram arrives during the next `seconds`."""
    before = len(receiver.datagrams())
    time.sleep(seconds)
    return len(receiver.datagrams()) == before


def sig_id(signum):
    return signal.Signals(signum).name


# --- quit signals -----------------------------------------------------------

QUIT_SIGNALS = [signal.SIGTERM, signal.SIGINT, signal.SIGHUP]


@pytest.mark.parametrize("holding", [False, True], ids=["idle", "holding"])
@pytest.mark.parametrize("signum", QUIT_SIGNALS, ids=sig_id)
def test_quit_signal_releases_restores_and_exits_128_plus_n(agent, keyboard, receiver,
                                                            signum, holding):
    run = started(agent)
    banner_lines = len(run.lines())
    if holding:
        hold_key(run, keyboard, receiver)

    run.signal(signum)
    assert run.wait_exit() == 128 + signum
    assert run.tty.attrs() == run.tty.initial
    lines = run.lines()
    assert lines[-1] == "quit"
    assert lines.count("quit") == 1
    if holding:
        assert wait_release(receiver, 2.0) is not None
        assert_one_closed_hold(receiver)
        assert RELEASE_QUIT.match(lines[-2]), lines[-2]
    else:
        assert quiet(receiver, 0.3)
        assert receiver.datagrams() == []
        assert lines[banner_lines:] == ["quit"]
    assert run.text("stderr") == ""


def test_second_sigterm_back_to_back_does_no_harm(agent, keyboard, receiver):
    run = started(agent)
    hold_key(run, keyboard, receiver)
    run.signal(signal.SIGTERM)
    run.signal(signal.SIGTERM)
    assert run.wait_exit() == 143
    assert run.tty.attrs() == run.tty.initial
    assert wait_release(receiver, 2.0) is not None
    assert quiet(receiver, 0.3)
    assert_one_closed_hold(receiver)
    lines = run.lines()
    assert lines[-1] == "quit" and lines.count("quit") == 1
    assert sum(1 for line in lines if "  RELEASE  " in line) == 1
    assert run.text("stderr") == ""


def test_signals_arriving_while_quitting_change_nothing(agent, keyboard, receiver):
    # SIGTERM starts the quit; once its RELEASE is logged, a stream of other
    # quit signals until the process is gone must not alter the exit status
    # or send a second RELEASE.
    run = started(agent)
    hold_key(run, keyboard, receiver)
    run.signal(signal.SIGTERM)
    run.wait_line(RELEASE_QUIT.pattern)
    others = [signal.SIGINT, signal.SIGHUP, signal.SIGTERM]
    for i in range(2000):
        if not run.running():
            break
        run.signal(others[i % len(others)])
        time.sleep(0.001)
    assert run.wait_exit() == 143
    assert run.tty.attrs() == run.tty.initial
    # The RELEASE may still be on its way to the receiver's thread.
    assert wait_release(receiver, 2.0) is not None
    assert quiet(receiver, 0.3)
    assert_one_closed_hold(receiver)
    assert run.lines().count("quit") == 1


def test_sigterm_during_start_up_never_leaves_the_terminal_raw(agent, keyboard, receiver):
    # Before the handlers are in place the default action ends the process
    # (the terminal is not raw yet); from then on the quit path runs.
    for delay in (0.0, 0.02, 0.05, 0.1, 0.2):
        run = agent().start()
        time.sleep(delay)
        run.signal(signal.SIGTERM)
        status = run.wait_exit()
        assert status in (-signal.SIGTERM, 143), (delay, status)
        assert run.tty.attrs() == run.tty.initial, delay
        if status == 143:
            assert run.lines()[-1] == "quit"
    assert receiver.datagrams() == []


# --- closed standard output ------------------------------------------------

def pipe_id(pid, fd):
    return os.readlink("/proc/%d/fd/%d" % (pid, fd))


def our_fds_on(target):
    """Descriptors of this test process that refer to `target` (e.g. a pipe)."""
    found = []
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink("/proc/self/fd/" + name) == target:
                found.append(int(name))
        except OSError:
            pass
    return found


def test_hold_goes_on_and_ends_after_stdout_is_closed(agent, keyboard, receiver):
    # --verbose-keepalive: the program writes a line every 200 ms, so every
    # keepalive after the close hits EPIPE (and the reader lets go at once).
    run = started(agent, ["--verbose-keepalive", "--fixed-hang-ms", str(HANG_MS)])
    hold_key(run, keyboard, receiver)
    stdout_pipe = pipe_id(run.proc.pid, 1)
    assert stdout_pipe.startswith("pipe:")
    assert run.close_stdout_reader()
    assert our_fds_on(stdout_pipe) == []  # nobody reads the pipe any more

    before = len(receiver.datagrams())
    time.sleep(1.0)
    assert run.running()
    after_close = ttls(receiver)[before:]
    assert len(after_close) >= 3  # one every 200 ms; loose for a loaded machine
    assert all(ttl == TTL for ttl in after_close)

    keyboard.up(KEY_GRAVE)
    opened = time.monotonic()
    released = wait_release(receiver, 5.0)
    assert released is not None, "no RELEASE after the hang"
    assert released - opened >= HANG_MS / 1000.0 - HANG_SLACK_S
    assert quiet(receiver, 0.5)
    assert_one_closed_hold(receiver)
    assert run.running()

    assert run.quit() == 0
    assert run.tty.attrs() == run.tty.initial
    assert ttls(receiver)[-1] == 0 and ttls(receiver).count(0) == 1
    assert run.text("stderr") == ""


# --- keyboard lost --------------------------------------------------------

@pytest.mark.parametrize("global_keys", [False, True], ids=["this-terminal", "global-keys"])
def test_keyboard_lost_during_a_mark_releases_after_the_hang(agent, keyboard, receiver,
                                                             global_keys):
    args = ["--fixed-hang-ms", str(HANG_MS)] + (["--global-keys"] if global_keys else [])
    run = started(agent, args)
    hold_key(run, keyboard, receiver, type_byte=not global_keys)
    time.sleep(0.3)  # a mark in progress, keepalives going

    keyboard.fail(errno.ENODEV)
    lost = time.monotonic()
    released = wait_release(receiver, 5.0)
    assert released is not None, "hold still open after the keyboard was lost"
    assert released - lost >= HANG_MS / 1000.0 - HANG_SLACK_S
    run.wait_line(r"  KEY OPEN   hang=%d ms" % HANG_MS)
    run.wait_line(RELEASE_HANG.pattern)

    # Said once, naming the path it was opened through; then still alive,
    # looking for a keyboard every second without a word, and not spinning
    # on the failing device.
    lost = run.wait_line(KEYBOARD_LOST, stream="stderr")
    cpu_before = cpu_seconds(run.proc.pid)
    assert quiet(receiver, 2.5)
    assert cpu_seconds(run.proc.pid) - cpu_before < 0.5
    assert run.running()
    assert_one_closed_hold(receiver)

    assert run.quit() == 0
    assert run.tty.attrs() == run.tty.initial
    assert run.lines()[-1] == "quit"
    assert sum(1 for line in run.lines() if "  RELEASE  " in line) == 1
    assert run.lines("stderr") == [lost]


# --- hostile terminal input -------------------------------------------------

PASTE_BYTES = 100 * 1024
QUIT_BYTES = set(b"qQ\x03\x1b")


def random_paste(size, drop, seed):
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < size:
        out += bytes(b for b in rng.randbytes(size) if b not in drop)
    return bytes(out[:size])


def paste(tty, data, timeout=30.0):
    """Write all of data to the terminal as fast as it accepts it; the bytes
    written within the timeout."""
    sent = 0
    deadline = time.monotonic() + timeout
    os.set_blocking(tty.master, False)
    try:
        while sent < len(data) and time.monotonic() < deadline:
            try:
                sent += os.write(tty.master, data[sent:sent + 4096])
            except BlockingIOError:
                time.sleep(0.002)
    finally:
        os.set_blocking(tty.master, True)
    return sent


def wait_input_drained(tty, timeout=10.0):
    """True once the program has read everything typed into its terminal."""
    buf = bytearray(4)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        fcntl.ioctl(tty.slave, termios.TIOCINQ, buf)
        if int.from_bytes(buf, "little") == 0:
            return True
        time.sleep(0.01)
    return False


def test_large_paste_without_key_or_quit_bytes_changes_nothing(agent, keyboard, receiver):
    run = started(agent)
    banner_lines = len(run.lines())
    data = random_paste(PASTE_BYTES, QUIT_BYTES | set(b"`~"), seed=7)
    assert paste(run.tty, data) == len(data)
    assert wait_input_drained(run.tty)

    assert quiet(receiver, 0.3)
    assert receiver.datagrams() == []
    assert run.running()
    assert run.lines()[banner_lines:] == []

    assert run.quit() == 0
    assert run.tty.attrs() == run.tty.initial
    assert run.lines()[banner_lines:] == ["quit"]
    assert receiver.datagrams() == []


def test_large_paste_with_grave_bytes_leaves_no_hold_open(agent, keyboard, receiver):
    # Grave bytes assert the KEY through the terminal press window; without a
    # tilde the latch cannot turn on, so every hold must end by itself once
    # the paste is over.
    run = started(agent)
    banner_lines = len(run.lines())
    data = random_paste(PASTE_BYTES, QUIT_BYTES | set(b"~"), seed=11)
    assert b"`" in data
    assert paste(run.tty, data) == len(data)
    assert wait_input_drained(run.tty)

    assert receiver.wait_count(1, 5.0), "the grave bytes never asserted the KEY"
    # The longest hang is 1260 ms: a RELEASE, then silence.
    deadline = time.monotonic() + 10.0
    while time.monotonic() < deadline:
        if ttls(receiver)[-1] == 0 and quiet(receiver, 1.5):
            break
        time.sleep(0.05)
    sent = ttls(receiver)
    assert sent[-1] == 0
    events = run.lines()[banner_lines:]
    holds = sum(1 for line in events if "  HOLD  " in line)
    releases = sum(1 for line in events if "  RELEASE  " in line)
    assert holds >= 1 and holds == releases == sent.count(0)
    assert run.running()

    assert run.quit() == 0
    assert run.tty.attrs() == run.tty.initial
    assert run.lines()[-1] == "quit"
    assert sum(1 for line in run.lines() if "(quit)" in line) == 0


# --- stop and continue ------------------------------------------------------

def wait_state(pid, wanted, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc_state(pid) in wanted:
            return True
        time.sleep(0.01)
    return False


def is_raw(attrs):
    lflag = attrs[3]
    return not (lflag & (termios.ICANON | termios.ECHO | termios.ISIG))


def test_terminal_put_back_to_line_mode_behind_its_back_does_not_stall_it(
        agent, keyboard, receiver):
    # A shell that resumes a stopped job may leave its own line-mode settings
    # on the terminal: the tick must go on without waiting for a line.
    run = started(agent, ["--fixed-hang-ms", str(HANG_MS)])
    hold_key(run, keyboard, receiver)
    termios.tcsetattr(run.tty.slave, termios.TCSANOW, run.tty.initial)
    before = len(receiver.datagrams())
    time.sleep(0.7)
    assert len(receiver.datagrams()) >= before + 2, "keepalives stopped"
    keyboard.up(KEY_GRAVE)
    assert wait_release(receiver, 3.0) is not None, "the hold was never released"
    run.signal(signal.SIGTERM)
    assert run.wait_exit() == 128 + signal.SIGTERM
    assert_one_closed_hold(receiver)


def test_stop_then_continue_puts_raw_mode_back(agent, keyboard, receiver):
    run = started(agent)
    pid = run.proc.pid
    run.signal(signal.SIGSTOP)
    assert wait_state(pid, "T")
    termios.tcsetattr(run.tty.slave, termios.TCSANOW, run.tty.initial)  # as a shell would
    run.signal(signal.SIGCONT)
    deadline = time.monotonic() + 3.0
    while not is_raw(run.tty.attrs()) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert is_raw(run.tty.attrs())
    assert run.quit() == 0  # a single q, no line feed: raw again
    assert run.tty.attrs() == run.tty.initial


def test_sigtstp_gives_the_terminal_back_while_stopped(agent, keyboard, receiver):
    run = started(agent)
    pid = run.proc.pid
    assert is_raw(run.tty.attrs())
    run.signal(signal.SIGTSTP)
    assert wait_state(pid, "T"), "SIGTSTP did not stop the program"
    assert run.tty.attrs() == run.tty.initial  # the shell gets its terminal back
    run.signal(signal.SIGCONT)
    assert wait_state(pid, "SR")
    deadline = time.monotonic() + 3.0
    while not is_raw(run.tty.attrs()) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert is_raw(run.tty.attrs())
    assert run.quit() == 0
    assert run.tty.attrs() == run.tty.initial


# --- output that stalls -----------------------------------------------------

STAMPED = re.compile(STAMP + r"  ")


def test_stalled_output_never_delays_keepalives_or_the_release(agent, keyboard, receiver):
    # A reader that stops (a suspended `| tee`) with the pipe full: the hold
    # goes on at its cadence and ends on time; once the reader reads again the
    # kept lines arrive whole and in order.
    run = agent().start(["--verbose-keepalive", "--fixed-hang-ms", str(HANG_MS)],
                        stdout_pipe_bytes=4096)
    run.wait_banner()
    run.pause_stdout_reader()
    fillers = run.fill_stdout_pipe()  # nothing the program writes fits any more

    keyboard.down(KEY_GRAVE)
    run.tty.type(b"`")
    assert receiver.wait_count(1, 5.0), "no HOLD datagram"
    time.sleep(3.0)
    arrivals = [t for t, _, _ in receiver.datagrams()]
    gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]
    assert len(gaps) >= 12, gaps
    assert max(gaps) < 0.35, gaps  # 200 ms apart; loose for a loaded machine

    keyboard.up(KEY_GRAVE)
    opened = time.monotonic()
    released = wait_release(receiver, 5.0)
    assert released is not None, "no RELEASE while the output was stalled"
    assert HANG_MS / 1000.0 - HANG_SLACK_S <= released - opened < HANG_MS / 1000.0 + 0.5
    keepalives = ttls(receiver).count(TTL) - 1

    run.resume_stdout_reader()
    run.wait_line(r"  RELEASE  ")
    lines = run.lines()
    start = lines.index("filler.")
    assert lines[start:start + fillers] == ["filler."] * fillers
    kept = lines[start + fillers:]
    assert all(STAMPED.match(text) for text in kept), kept
    assert re.search(r"  HOLD  ", kept[0]), kept
    numbers = [int(m.group(1)) for m in (re.search(r"KEEPALIVE .* ka=(\d+) ", t) for t in kept) if m]
    assert numbers == list(range(1, keepalives + 1))
    assert not any("dropped" in text for text in lines)

    # Quitting is not held up by a full pipe either, and the output's flags
    # are put back for whoever shares it (our write end shares them).
    run.pause_stdout_reader()
    run.fill_stdout_pipe()
    assert fcntl.fcntl(run.stdout_writer, fcntl.F_GETFL) & os.O_NONBLOCK
    run.tty.type(b"q")
    assert run.proc.wait(timeout=3.0) == 0
    assert fcntl.fcntl(run.stdout_writer, fcntl.F_GETFL) & os.O_NONBLOCK == 0
