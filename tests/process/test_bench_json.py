"""keyline-bench --json: the log as one JSON object per line, with the event
names scripts rely on, each line timed both ways, texts escaped as
keyline-station escapes them."""

import json
import re

import pytest

from keyline_harness import KBD_LINK, KEY_GRAVE, ttls

HOSTILE = "<b>\"\\\x1b[2J\x07"
HOSTILE_SHOWN = "<b>\"\\\\\\u001b[2J\\u0007"  # as keyline-station shows it
TIME = re.compile(r"^\d\d:\d\d:\d\d\.\d\d\d$")
SEND_FIELDS = {"seq", "ttl_ms", "to", "holds", "ka", "rel"}


def json_lines(run):
    events = [json.loads(line) for line in run.lines()]
    for e in events:
        assert list(e)[:3] == ["event", "time", "t_ms"], e
        assert TIME.match(e["time"]) and isinstance(e["t_ms"], int), e
    times = [e["t_ms"] for e in events]
    assert times == sorted(times) and times[0] >= 0
    return events


@pytest.mark.parametrize("verbose", [False, True], ids=["plain", "verbose-keepalive"])
def test_a_keyed_text_logs_its_events_as_json(agent, inputs, receiver, verbose):
    run = agent().start(["--json", "--key-text", "E E", "--station", HOSTILE]
                        + (["--verbose-keepalive"] if verbose else []), stdin="devnull")
    assert run.wait_exit() == 0
    assert run.text("stderr") == ""
    events = json_lines(run)
    names = [e["event"] for e in events]
    assert names[0] == "start" and names[-1] == "quit" and events[-1]["status"] == 0
    start = events[0]
    assert start["station"] == HOSTILE_SHOWN and start["band"] == "144"
    assert start["to"] == "127.0.0.1:%d" % receiver.port and start["ttl_ms"] == 600
    assert start["keyed"].startswith("Keys ") and "warning" not in start

    assert names.count("key_assert") == names.count("key_open") == 2
    opened = [e for e in events if e["event"] == "key_open"]
    # The second E is keyed with an estimate from the first: 60 ms at 20 WPM,
    # loosely (the machine is shared).
    second = opened[1]
    assert second["class"] == "break-in CW" and second["hang_ms"] > 0, second
    assert 40 <= second["dit_ms"] <= 120 and 10 <= second["wpm"] <= 30, second

    sent = [e for e in events if e["event"] in ("hold", "keepalive", "release")]
    assert all(SEND_FIELDS <= set(e) for e in sent)
    datagrams = ttls(receiver)
    assert datagrams[-1] == 0
    assert [e["ttl_ms"] for e in sent] == (datagrams if verbose else [datagrams[0], 0])
    assert ("keepalive" in names) == verbose
    release = sent[-1]
    assert release["event"] == "release" and release["note"] == "hang done / EOT"
    assert release["seq"] == len(datagrams) and release["ka"] == len(datagrams) - 2


def test_keyboard_lost_and_found_are_json_lines_on_standard_output(agent, keyboard, receiver):
    run = agent().start(["--json", "--fixed-hang-ms", "0"])
    run.wait_line(r'^\{"event":"start"')
    keyboard.unplug()
    run.wait_line(r'^\{"event":"keyboard_lost"')
    keyboard.set_keys(())
    keyboard.plug()
    run.wait_line(r'^\{"event":"keyboard_found"', timeout=5.0)
    keyboard.down(KEY_GRAVE, records=True)
    run.tty.type(b"`")
    run.wait_line(r'^\{"event":"key_assert"')
    keyboard.up(KEY_GRAVE, records=True)
    run.wait_line(r'^\{"event":"release"')
    assert run.quit() == 0
    assert run.text("stderr") == ""
    events = json_lines(run)
    path = "/dev/input/by-path/" + KBD_LINK
    lost, found = (next(e for e in events if e["event"] == kind) for kind in ("keyboard_lost", "keyboard_found"))
    assert lost["path"] == path and lost["reason"] == "no such device" and found["path"] == path
    assert [e["event"] for e in events][-5:] == ["hold", "key_assert", "release", "key_open", "quit"]
