"""Start-up of the real program: option checks, refusal without a usable
keyboard, the banner, raw terminal mode and its restore."""

import signal
import termios

import pytest

from keyline_harness import (EV_KEY, EVIOCGBIT_KEYS, EVIOCGBIT_TYPES, FULL_KEYBOARD,
                             KBD_LINK, KEY_GRAVE, unprivileged_prefix)

TTL_ERROR = "keyline-bench: --ttl-ms (hold_timeout_ms) must be a whole number 100..30000, not \"{}\"\n"

REFUSAL_HEAD = "keyline-bench: refusing to start (need true KEY level via /dev/input).\n"
REFUSAL_TAIL = "  Verify after re-login:  groups | grep -w input\n"
NONE_THERE = ("  This machine has no keyboard device under /dev/input: there is none to open, "
              "so no group or permission will help.\n")
KEYLESS_HINT = "  Without a keyboard: --key-text TEXT or --key-script FILE keys the KEY (see --help).\n"

NO_DEVICES = "no /dev/input event-kbd devices found"
NO_GRAVE = "opened input devices but none advertise KEY_GRAVE"
PERMISSION = ("permission denied on /dev/input (%d devices; group 'input' required). "
              "Fix: sudo usermod -aG input $USER   then log out and back in "
              "(newgrp input is not enough for all sessions).")
COUNTS = ("could not open a keyboard with KEY_GRAVE "
          "(tried=%d eacces=%d other_open=%d no_key=%d no_grave=%d)")

THIS_TERMINAL_MODE = (
    "KEY = grave/` only when typed in *this terminal* (EVIOCGKEY level after TTY press; "
    "other windows ignored). q/Esc only from this terminal. --global-keys for system-wide KEY.")


def banner(port, host="127.0.0.1", station="TEST-KEY", band="144", ttl=600,
           hang="KEYing monitor: break-in 1.5x word gap; continuous hang=0",
           mode=THIS_TERMINAL_MODE):
    warning = ["  WARNING: hold_timeout_ms=%d is shorter than the 200 ms keepalive period: every hold "
               "lapses at the station between keepalives." % ttl] if ttl < 200 else []
    return [
        "keyline-bench (KEY agent) -> %s:%s" % (host, port),
        "  ` (grave) = KEY level: hold to assert, release to open  - not Space",
        "  ~ (shift+grave) = LATCH on; press ` or ~ again to release",
        "  q or Esc  = release hold and quit",
        "  station=%s  band=%s" % (station, band),
        "  hold_timeout_ms=%d  keepalive every 200 ms while hold active" % ttl,
    ] + warning + [
        "  key poll=5 ms (EVIOCGKEY true level)",
        "  hang=" + hang,
        "  " + mode,
        "  Latched (~) reads as one continuous mark: hang=0, released on the next press.",
        "  Held (`) >=500 ms is also continuous; short taps use break-in hang.",
        "  Or: --fixed-hang-ms 0 for immediate release on KEY open.",
        "  See docs/TX_INHIBIT.md s3 (Hold sender + KEYing monitor).",
        "",
    ]


def refusal(reason, none_there=False):
    return (REFUSAL_HEAD + "  " + reason + "\n" + REFUSAL_TAIL + (NONE_THERE if none_there else "")
            + KEYLESS_HINT)


def run_to_exit(agent, args=(), prefix=(), timeout=20.0):
    run = agent().start(args, prefix=prefix)
    status = run.wait_exit(timeout)
    return run, status


# --- ttl-ms -------------------------------------------------------------

@pytest.mark.parametrize("ttl", ["99", "30001", "0", "-5", "abc"])
def test_bad_ttl_exits_2_before_looking_for_a_keyboard(agent, inputs, ttl):
    # No keyboard at all: the ttl check must come first to give exit code 2.
    run, status = run_to_exit(agent, ["--ttl-ms", ttl])
    assert status == 2
    assert run.text("stderr") == TTL_ERROR.format(ttl)
    assert run.text("stdout") == ""


@pytest.mark.parametrize("ttl", [100, 30000])
def test_ttl_bounds_are_accepted(agent, keyboard, receiver, ttl):
    run = agent().start(["--ttl-ms", str(ttl)])
    assert run.wait_banner() == banner(receiver.port, ttl=ttl)
    assert run.quit() == 0
    assert run.text("stderr") == ""


# --- refusal without a usable keyboard ----------------------------------

def test_refuses_without_any_device(agent, inputs):
    run, status = run_to_exit(agent)
    assert status == 1
    assert run.text("stderr") == refusal(NO_DEVICES, none_there=True)
    assert run.text("stdout") == ""


def test_refuses_a_device_without_key_events(agent, inputs):
    node = inputs.add_node("event0")
    inputs.answer(node, types=(0, 2), codes=())  # EV_SYN and EV_REL: a mouse
    run, status = run_to_exit(agent)
    assert status == 1
    assert run.text("stderr") == refusal(COUNTS % (1, 0, 0, 1, 0))
    assert inputs.count(EVIOCGBIT_TYPES) == 1
    assert inputs.count(EVIOCGBIT_KEYS) == 0


def test_refuses_keyboards_without_grave(agent, inputs):
    # Reachable twice (link and node), neither has the grave key.
    inputs.add_keyboard(codes=FULL_KEYBOARD - {KEY_GRAVE})
    run, status = run_to_exit(agent)
    assert status == 1
    assert run.text("stderr") == refusal(NO_GRAVE)
    assert inputs.count(EVIOCGBIT_KEYS) == 2


def test_failed_open_turns_missing_grave_into_the_counted_reason(agent, inputs):
    # A dangling by-path link (ENOENT) next to a keyboard without grave:
    # the "none advertise KEY_GRAVE" reason no longer applies.
    inputs.add_link("platform-i8042-serio-1-event-kbd", "event9")
    inputs.add_keyboard(link=None, codes=FULL_KEYBOARD - {KEY_GRAVE})
    run, status = run_to_exit(agent)
    assert status == 1
    assert run.text("stderr") == refusal(COUNTS % (2, 0, 1, 0, 1))


def test_a_node_answering_no_ioctls_counts_only_as_tried(agent, inputs):
    inputs.add_node("event0")
    run, status = run_to_exit(agent)
    assert status == 1
    assert run.text("stderr") == refusal(COUNTS % (1, 0, 0, 0, 0))


def locked_or_skip():
    prefix = unprivileged_prefix()
    if prefix is None:
        pytest.skip("cannot drop CAP_DAC_OVERRIDE here (setpriv missing or not permitted), "
                    "so a mode-000 device node cannot be refused")
    return prefix


def test_refuses_with_permission_denied_counting_each_path(agent, inputs):
    prefix = locked_or_skip()
    inputs.add_locked_node("event0")
    inputs.add_link(KBD_LINK, "event0")
    run, status = run_to_exit(agent, prefix=prefix)
    assert status == 1
    assert run.text("stderr") == refusal(PERMISSION % 2)


def test_permission_denied_wins_over_missing_grave(agent, inputs):
    prefix = locked_or_skip()
    inputs.add_keyboard("event0", link=None, codes=FULL_KEYBOARD - {KEY_GRAVE})
    inputs.add_locked_node("event1")
    run, status = run_to_exit(agent, prefix=prefix)
    assert status == 1
    assert run.text("stderr") == refusal(PERMISSION % 1)


def test_keyboard_is_found_through_the_by_path_link(agent, inputs, receiver):
    # Only the link answers ioctls; the node it points at answers none, so a
    # start proves the device was opened through the link.
    inputs.add_node("event5")
    link = inputs.add_link(KBD_LINK, "event5")
    handler = inputs.answer(link)
    run = agent().start()
    assert run.wait_banner() == banner(receiver.port)
    assert handler.count(EVIOCGBIT_TYPES) == 1
    assert handler.count(EVIOCGBIT_KEYS) == 1
    assert run.quit() == 0


def test_by_path_keyboard_is_taken_before_dev_input_is_listed(agent, inputs, receiver):
    # event0 has no grave; the link leads to a proper keyboard. The link is
    # accepted first, so event0 is never even queried.
    inputs.add_keyboard("event0", link=None, codes=FULL_KEYBOARD - {KEY_GRAVE})
    inputs.add_node("event1")
    good = inputs.answer(inputs.add_link(KBD_LINK, "event1"))
    run = agent().start()
    run.wait_banner()
    assert good.count(EVIOCGBIT_KEYS) == 1
    assert inputs.handlers["/dev/input/event0"].count(EVIOCGBIT_TYPES) == 0
    assert run.quit() == 0


# --- --host ---------------------------------------------------------------

@pytest.mark.parametrize("host", ["localhost", "999.1.1.1"])
def test_host_must_be_a_numeric_address(agent, keyboard, host):
    run = agent().start(["--host", host])
    assert run.wait_exit() == 2
    err = run.text("stderr")
    assert err.count("\n") == 1 and err.endswith("\n")
    assert "--host" in err and host in err
    assert run.text("stdout") == ""
    assert run.tty.attrs() == run.tty.initial


def test_numeric_ipv6_host_is_accepted(agent, keyboard, receiver):
    run = agent().start(["--host", "::1"])
    assert run.wait_banner() == banner(receiver.port, host="::1")
    assert run.quit() == 0


# --- banner -------------------------------------------------------------

def test_banner_with_defaults_then_quit(agent, keyboard, receiver):
    run = agent().start()
    assert run.wait_banner() == banner(receiver.port)
    assert run.quit() == 0
    assert run.lines() == banner(receiver.port) + ["quit"]
    assert run.text("stderr") == ""
    assert receiver.datagrams() == []


def test_banner_negative_fixed_hang_shows_zero(agent, keyboard, receiver):
    run = agent().start(["--fixed-hang-ms", "-5"])
    assert run.wait_banner() == banner(receiver.port, hang="fixed override 0 ms")
    assert run.quit() == 0


# A name that hides or reorders text is shown escaped, as the station shows it.
@pytest.mark.parametrize("station, band, shown_station, shown_band", [
    ("G4XYZ", "432", "G4XYZ", "432"),
    ("G4\u2060XYZ", "43\u202e2", "G4\\u2060XYZ", "43\\u202e2"),
])
def test_banner_shows_station_band_and_fixed_hang(agent, keyboard, receiver, station, band,
                                                  shown_station, shown_band):
    run = agent().start(["-s", station, "-b", band, "--fixed-hang-ms", "750", "-t", "1500"])
    assert run.wait_banner() == banner(receiver.port, station=shown_station, band=shown_band,
                                       ttl=1500, hang="fixed override 750 ms")
    assert run.quit() == 0


# --- terminal -------------------------------------------------------------

RAW_LFLAGS_OFF = termios.ICANON | termios.ECHO | termios.ISIG | termios.ECHOE \
    | termios.ECHOK | termios.ECHONL
RAW_IFLAGS_OFF = termios.ICRNL | termios.IXON | termios.IXOFF
IFLAG, OFLAG, CFLAG, LFLAG, CC = 0, 1, 2, 3, 6


def test_terminal_is_raw_while_running_and_restored_after_quit(agent, keyboard, receiver):
    run = agent().start()
    saved = run.tty.initial
    assert saved[LFLAG] & (termios.ICANON | termios.ECHO)  # a cooked start
    run.wait_banner()
    raw = run.tty.attrs()
    assert raw[LFLAG] & RAW_LFLAGS_OFF == 0
    assert raw[IFLAG] & RAW_IFLAGS_OFF == 0
    assert raw[CC][termios.VMIN] in (0, b"\x00")
    assert raw[CC][termios.VTIME] in (0, b"\x00")
    # Only the raw-mode bits change.
    assert raw[LFLAG] == saved[LFLAG] & ~RAW_LFLAGS_OFF
    assert raw[IFLAG] == saved[IFLAG] & ~RAW_IFLAGS_OFF
    assert raw[OFLAG] == saved[OFLAG] and raw[CFLAG] == saved[CFLAG]

    assert run.quit() == 0
    assert run.lines()[-1] == "quit"
    assert run.tty.attrs() == saved


def test_stdin_from_dev_null_runs_without_a_terminal(agent, keyboard, receiver):
    run = agent().start(stdin="devnull")
    assert run.wait_banner() == banner(receiver.port)
    assert run.running()
    run.signal(signal.SIGTERM)
    status = run.wait_exit()
    assert status == 128 + signal.SIGTERM
    assert receiver.datagrams() == []
