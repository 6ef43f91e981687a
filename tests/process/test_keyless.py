"""Keying without a keyboard: a Morse text and key scripts drive the whole job
with no input device at all, --record writes what the monitor saw, and a
recording replays as it was made.

Counts, orders and contents are exact; times are loose, since the machine is
shared. How closely edges keep their times on an idle machine is measured,
not asserted here."""

import os
import re
import subprocess
import time

import pytest

from keyline_harness import KEY_GRAVE

STAMPED = re.compile(r"^\d\d:\d\d:\d\d\.\d\d\d(  .*)$")
KEY_OPEN = re.compile(r"^  KEY OPEN   hang=(\d+) ms  class=break-in CW  dit~(\d+) ms  ~(\d+) WPM$")
CONTINUOUS = "continuous (non-break-in/SSB)"


def events(run):
    """The lines after the banner with their stamps stripped ("quit" has none)."""
    lines = run.lines()
    first = lines.index("") + 1
    out = []
    for text in lines[first:]:
        m = STAMPED.match(text)
        out.append(m.group(1) if m else text)
    return out


def send_line(port, label, ttl, holds, ka, rel, note=None):
    text = "  %s  ttl_ms=%d  -> 127.0.0.1:%d  (holds=%d ka=%d rel=%d)" % (
        label, ttl, port, holds, ka, rel)
    return text + ("  (%s)" % note if note else "")


def check_datagrams(grams):
    """Consecutive seq from 1; HOLDs and KEEPALIVEs carry 600, RELEASEs 0.
    Returns the labels in order: H, K, R."""
    labels = []
    for i, (_, body, _) in enumerate(grams):
        assert body["seq"] == i + 1 and body["station"] == "TEST-KEY", body
        if body["ttl_ms"] == 0:
            labels.append("R")
        else:
            assert body["ttl_ms"] == 600
            labels.append("K" if labels and labels[-1] in "HK" else "H")
    return labels


def script_levels(path):
    """The (level, ms) lines of a key script, comments left out."""
    out = []
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].split()
            if line:
                out.append((line[0], int(line[1])))
    return out


def wait_grams(receiver, n, timeout=5.0):
    grams = receiver.wait_count(n, timeout)
    assert len(grams) >= n, grams
    return grams


def test_text_keys_the_whole_job_with_no_keyboard_and_quits(agent, inputs, receiver):
    # No /dev/input device at all, no terminal: as in a CI step.
    run = agent().start(["--key-text", "PARIS", "--wpm", "20"], stdin="devnull")
    assert run.wait_exit(timeout=15) == 0
    assert run.text("stderr") == ""
    ev = events(run)
    port = receiver.port

    # PARIS is 14 marks, one hold: the gaps all fall inside the 630 ms hang.
    assert ev[0] == send_line(port, "HOLD", 600, 1, 0, 0)
    assert ev[1] == "  KEY ASSERT  class=unknown"
    opens = [e for e in ev if e.startswith("  KEY OPEN")]
    asserts = [e for e in ev if e.startswith("  KEY ASSERT")]
    assert len(opens) == 14 and len(asserts) == 14, ev
    # The first mark is a dit: 60 ms at 20 WPM seeds the estimate (exactly
    # 60 on an idle machine; a loaded one may make an edge a little late).
    for line in opens:
        hang, dit, wpm = (int(g) for g in KEY_OPEN.match(line).groups())
        assert 57 <= dit <= 63 and 19 <= wpm <= 21, line
    assert asserts[1:] == ["  KEY ASSERT  class=break-in CW"] * 13
    assert ev[-1] == "quit"
    assert ev[-2].startswith("  RELEASE  ttl_ms=0") and ev[-2].endswith("(hang done / EOT)")

    grams = receiver.wait_count(1, 1.0)
    labels = check_datagrams(grams)
    assert labels[0] == "H" and labels[-1] == "R" and labels.count("R") == 1 and labels.count("H") == 1
    # PARIS lasts 2580 ms and the hang 630 more: about 3.2 s of hold, so
    # about 16 keepalives (loosely, on a loaded machine).
    held = grams[-1][0] - grams[0][0]
    assert 3.1 < held < 4.5, held
    assert 12 <= labels.count("K") <= 20, labels


BREAK_IN_THEN_CONTINUOUS = b"""# three quick marks: break-in CW
down 60
up 60
down 180   # a dah
up 60
down 60
up 1000    # the 630 ms hang runs out

# then one long continuous mark
down 800
up 50
"""


def check_break_in_then_continuous(run, receiver):
    ev = events(run)
    port = receiver.port
    assert ev[0] == send_line(port, "HOLD", 600, 1, 0, 0)
    assert ev[1] == "  KEY ASSERT  class=unknown"
    for line in (ev[2], ev[4], ev[6]):
        hang, dit, wpm = (int(g) for g in KEY_OPEN.match(line).groups())
        assert 57 <= dit <= 63 and 19 <= wpm <= 21, line
    assert ev[3] == ev[5] == "  KEY ASSERT  class=break-in CW"
    assert ev[7].startswith("  RELEASE  ttl_ms=0") and ev[7].endswith("(hang done / EOT)")
    assert ev[8].startswith("  HOLD  ttl_ms=600") and "holds=2" in ev[8]
    assert ev[9] == "  KEY ASSERT  class=unknown"
    assert ev[10].startswith("  RELEASE  ttl_ms=0") and ev[10].endswith("(%s)" % CONTINUOUS)
    assert ev[11] == "  KEY OPEN   hang=0  (%s)" % CONTINUOUS
    assert ev[12:] == ["quit"], ev

    grams = receiver.wait_count(1, 1.0)
    labels = "".join(check_datagrams(grams))
    assert re.fullmatch(r"HK+RHK+R", labels), labels
    second_hold = labels.index("RH") + 1
    mark = grams[-1][0] - grams[second_hold][0]
    assert 0.7 < mark < 1.2, mark  # the continuous mark is released as it ends


def test_script_with_a_break_in_run_and_a_continuous_mark(agent, inputs, receiver, tmp_path):
    script = tmp_path / "keying.txt"
    script.write_bytes(BREAK_IN_THEN_CONTINUOUS)
    run = agent().start(["--key-script", str(script)], stdin="devnull")
    assert run.wait_exit(timeout=15) == 0
    assert run.text("stderr") == ""
    check_break_in_then_continuous(run, receiver)


def test_script_read_from_standard_input(keyline_bin, inputs, receiver):
    proc = subprocess.run(
        [keyline_bin, "--port", str(receiver.port), "--key-script", "-"],
        input=BREAK_IN_THEN_CONTINUOUS, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=inputs.child_env(), timeout=20)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.decode().splitlines()[-1] == "quit"
    labels = "".join(check_datagrams(receiver.wait_count(1, 1.0)))
    assert re.fullmatch(r"HK+RHK+R", labels), labels


def test_recording_from_the_keyboard_replays_its_edges(agent, keyboard, receiver, tmp_path):
    recorded = str(tmp_path / "hand.txt")
    run = agent().start(["--global-keys", "--record", recorded])
    run.wait_banner()
    # Hand keying: a dit, a dah, a dit, then a long mark after the hang.
    for held, gap in ((0.06, 0.08), (0.2, 0.1), (0.06, 1.2), (0.7, 0.0)):
        keyboard.down(KEY_GRAVE)
        time.sleep(held)
        keyboard.up(KEY_GRAVE)
        time.sleep(gap)
    run.wait_line(r"KEY OPEN   hang=0", timeout=5)
    assert run.quit() == 0

    with open(recorded) as f:
        header = [next(f), next(f)]
    assert header[0].startswith("# keyline-bench key script, recorded 20")
    assert header[1] == "# command line: %s --port %d --global-keys --record %s\n" % (
        run.binary, receiver.port, recorded)
    hand = script_levels(recorded)
    # Four marks and the gaps after them; the last gap lasts until q.
    assert [level for level, _ in hand] == ["down", "up"] * 4, hand
    for (_, ms), expected in zip(hand, (60, 80, 200, 100, 60, 1200, 700)):
        assert abs(ms - expected) <= 60, hand  # a hand, and a 5 ms poll, on a shared machine

    # The replay keys what was recorded, and records it again.
    replayed = str(tmp_path / "replay.txt")
    receiver_before = len(receiver.datagrams())
    again = agent().start(["--key-script", recorded, "--record", replayed], stdin="devnull")
    assert again.wait_exit(timeout=15) == 0
    assert again.text("stderr") == ""
    replay = script_levels(replayed)
    assert [level for level, _ in replay] == [level for level, _ in hand]
    # The closing gaps differ: the hand's lasted until q, the replay's until its end.
    diffs = [b - a for (_, a), (_, b) in zip(hand[:-1], replay[:-1])]
    # Idle, each is within 1 ms; a loaded machine may make an edge late.
    assert all(abs(d) <= 8 for d in diffs), (hand, replay)
    # The same keying, so the same lines (stamps and figures apart).
    def shape(r):
        return [re.sub(r"\d+", "N", e) for e in events(r) if "KEY" in e]
    assert shape(again) == shape(run)
    assert len(receiver.datagrams()) > receiver_before


def test_an_existing_record_file_is_left_untouched(agent, inputs, receiver, tmp_path):
    path = tmp_path / "precious.txt"
    path.write_bytes(b"down 60\nup 60\n")
    before = os.stat(path)
    run = agent().start(["--key-text", "E", "--record", str(path)], stdin="devnull")
    assert run.wait_exit() == 2
    assert run.text("stderr") == (
        "keyline-bench: --record %s: exists already; a recording never overwrites a file\n" % path)
    assert run.text("stdout") == ""
    assert path.read_bytes() == b"down 60\nup 60\n"
    assert os.stat(path).st_mtime_ns == before.st_mtime_ns
    time.sleep(0.1)
    assert receiver.datagrams() == []


@pytest.mark.parametrize("args, stdin, message", [
    (["--key-script", "-"], "pty",
     "keyline-bench: --key-script -: standard input is a terminal; pipe or redirect a script into it"),
    (["--key-script", "{bad}"], "devnull", "keyline-bench: --key-script {bad}:3: unknown word \"dwon\""),
    (["--key-script", "{missing}"], "devnull",
     "keyline-bench: --key-script {missing}: No such file or directory"),
    (["--key-text", "CQ DE K1ABC%"], "devnull",
     "keyline-bench: --key-text: cannot send \"%\" (character 12)"),
    (["--key-text", "   "], "devnull", "keyline-bench: --key-text: the text holds only blanks"),
    (["--key-text", "E", "--global-keys"], "devnull",
     "keyline-bench: --key-text and --global-keys exclude one another"),
    (["--key-text", "E", "--wpm", "61"], "devnull", "keyline-bench: --wpm must be a whole number 5..60"),
    (["--key-script", "{bad}", "--repeat", "-2"], "devnull",
     "keyline-bench: --repeat must be a whole number, 0 or more"),
])
def test_refusals_at_start_up(agent, inputs, receiver, tmp_path, args, stdin, message):
    # No keyboard here: every one of these is refused before one is looked for.
    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"down 60\n# fine so far\ndwon 60\n")
    names = {"bad": str(bad), "missing": str(tmp_path / "none.txt")}
    args = [a.format(**names) for a in args]
    message = message.format(**names)
    run = agent().start(args, stdin=stdin)
    assert run.wait_exit() == 2
    err = run.text("stderr")
    assert err.startswith(message) and err.endswith("\n") and err.count("\n") == 1, err
    assert run.text("stdout") == ""
    if run.tty:
        assert run.tty.attrs() == run.tty.initial


@pytest.mark.parametrize("how, status", [("q", 0), ("SIGTERM", 143)])
def test_the_terminal_and_signals_still_quit(agent, inputs, receiver, how, status):
    import signal
    run = agent().start(["--key-text", "TTTT", "--repeat", "0"])
    run.wait_line(r"KEY ASSERT")
    run.tty.type(b"`~")  # the terminal's KEY bytes play no part
    if how == "q":
        run.tty.type(b"q")
    else:
        run.signal(signal.SIGTERM)
    assert run.wait_exit() == status
    ev = events(run)
    assert ev[-1] == "quit"
    assert ev[-2].startswith("  RELEASE  ttl_ms=0") and ev[-2].endswith("(quit)")
    assert run.tty.attrs() == run.tty.initial
    assert run.text("stderr") == ""
