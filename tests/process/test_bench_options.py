"""keyline-bench's options that used to be taken silently: each refusal with
its exit status and message, the count of unsent datagrams at quit, the
note while a key script is awaited, and a recording that replays with
--repeat as separate rounds."""

import os
import re
import threading
import time

import pytest

from test_keyless import script_levels

LONG = "x" * 2000  # with the rest of a datagram, past the 2048 bytes a station accepts
PORT = "keyline-bench: --port must be a whole number 0..65535, not \"%s\"\n"
HANG = ("keyline-bench: --fixed-hang-ms must be a whole number of ms -2147483648..2147483647 "
        "(0 or less: release at once), not \"%s\"\n")


@pytest.mark.parametrize("args, message", [
    (["--port", "88372"], PORT % "88372"),
    (["--port", "65536"], PORT % "65536"),
    (["--port", "abc"], PORT % "abc"),
    (["--port", "-1"], PORT % "-1"),
    (["--port", ""], PORT % ""),
    (["--fixed-hang-ms", "abc"], HANG % "abc"),
    (["--fixed-hang-ms", "nan"], HANG % "nan"),
    (["--fixed-hang-ms", "99999999999"], HANG % "99999999999"),
    (["--station", LONG], "keyline-bench: --station and --band make a datagram of up to 2081 bytes; "
     "a station accepts at most 2048 and would refuse every one (the station is 2000 bytes, "
     "the band 3 bytes as sent)\n"),
    (["--band", LONG], "keyline-bench: --station and --band make a datagram of up to 2086 bytes; "
     "a station accepts at most 2048 and would refuse every one (the station is 8 bytes, "
     "the band 2000 bytes as sent)\n"),
    (["--key-text", "E", "--record", "-"], "keyline-bench: --record -: a recording goes to a file, "
     "not to standard output (the run's log); give a file name (./- for a file named -)\n"),
    (["--key-script", "{dir}"], "keyline-bench: --key-script {dir}: Is a directory\n"),
    (["--key-text", "CQ", "TEST", "DE"], "keyline-bench: unexpected arguments: TEST DE (quote a text of "
     "several words, e.g. --key-text \"CQ TEST\")\n"),
    (["--key-text", "E", "--fist", "-1", "--fist", "15"],
     "keyline-bench: --fist given 2 times (\"-1\", \"15\"): give it once\n"),
    (["--key-text", "E", "--vcd", "-"], "keyline-bench: --vcd -: the waveforms go to a file, not to "
     "standard output (the run's log); give a file name (./- for a file named -)\n"),
    (["--key-text", "E", "--record", "{dir}/x", "--vcd", "{dir}/./x"],
     "keyline-bench: --record and --vcd name the same file ({dir}/./x): give each its own\n"),
    (["--key-text", "E", "--fault", "drop=hold:2"],
     "keyline-bench: --fault \"drop=hold:2\": a hold has one HOLD, so only :1 can act\n"),
    (["--key-text", "E", "--fault", "drop=release:2-3"],
     "keyline-bench: --fault \"drop=release:2-3\": a hold has one RELEASE, so only :1 can act\n"),
    (["--key-text", "E", "--also", "127.0.0.1:9", "--also", "127.0.0.1:9"],
     "keyline-bench: --also 127.0.0.1:9 is given twice: every datagram would go there twice\n"),
    (["--key-text", "E", "--also", "127.0.0.1:{port}"], "keyline-bench: --also 127.0.0.1:{port} is the main "
     "destination (--host, --port): every datagram would go there twice\n"),
    (["--key-script", "{up}", "--repeat", "0"], "keyline-bench: --key-script {up}: only \"up\" lines; "
     "with --repeat 0 it would key nothing until quit\n"),
])
def test_refused_at_start_up_with_status_2(agent, inputs, receiver, tmp_path, args, message):
    # No keyboard here: each is refused before one is looked for.
    up = tmp_path / "up.ks"
    up.write_bytes(b"up 60\n")
    names = {"dir": str(tmp_path), "up": str(up), "port": receiver.port}
    args = [a.format(**names) for a in args]
    run = agent().start(args, stdin="devnull", port="--port" not in args)
    assert run.wait_exit() == 2
    assert run.text("stderr") == message.format(**names)
    assert run.text("stdout") == ""
    assert not os.path.exists("-") and not os.path.exists(tmp_path / "x")
    time.sleep(0.1)
    assert receiver.datagrams() == []


def test_unsent_datagrams_are_counted_at_quit(agent, inputs):
    # Port 0 as typed is accepted, and the kernel refuses every send.
    run = agent().start(["--port", "0", "--key-text", "EE"], stdin="devnull", port=False)
    assert run.wait_exit(timeout=15) == 0
    sent = [line for line in run.lines() if "ttl_ms=" in line]
    err = run.lines("stderr")
    assert len(sent) >= 2 and err[:-1] == ["send failed: Unable to send a message"] * len(err[:-1])
    # Every datagram, keepalives too (not logged), failed: seq counts them all.
    assert err[-1] == "keyline-bench: %d of %d datagrams could not be sent" % (len(err) - 1, len(err) - 1)
    assert run.lines()[-1] == "quit"


def test_a_good_run_says_nothing_of_unsent_datagrams(agent, inputs, receiver):
    run = agent().start(["--key-text", "E"], stdin="devnull")
    assert run.wait_exit(timeout=15) == 0
    assert run.text("stderr") == ""


def test_waiting_for_a_script_is_said_once(agent, inputs, receiver, tmp_path):
    fifo = str(tmp_path / "script.fifo")
    os.mkfifo(fifo)
    started = time.monotonic()
    run = agent().start(["--key-script", fifo], stdin="devnull")
    note = "keyline-bench: --key-script %s: waiting for the script (nothing to read yet)" % fifo
    run.wait_line("^" + re.escape(note) + "$", timeout=10, stream="stderr")
    said_after = time.monotonic() - started
    assert said_after >= 0.9, said_after
    time.sleep(1.5)  # longer than the note's delay: it is not said again
    assert run.lines("stderr") == [note]
    assert run.lines() == []  # no banner before the script is read

    def write_script():
        with open(fifo, "wb") as f:
            f.write(b"down 60\nup 60\n")
    writer = threading.Thread(target=write_script)
    writer.start()
    assert run.wait_exit(timeout=15) == 0
    writer.join(5)
    assert run.lines("stderr") == [note]
    assert run.lines()[-1] == "quit"


def test_a_recorded_text_replays_as_three_rounds_words_apart(agent, inputs, receiver, tmp_path):
    recorded = str(tmp_path / "paris.ks")
    run = agent().start(["--key-text", "PARIS", "--record", recorded], stdin="devnull")
    assert run.wait_exit(timeout=15) == 0
    once = script_levels(recorded)
    # 14 marks, the gaps between them, and the closing gap: the hang ran out
    # (630 ms at 20 WPM), at least one word gap (420 ms).
    assert [level for level, _ in once] == ["down", "up"] * 14, once
    assert once[-1][1] >= 630 - 10, once

    replayed = str(tmp_path / "again.ks")
    again = agent().start(["--key-script", recorded, "--repeat", "3", "--record", replayed],
                          stdin="devnull")
    assert again.wait_exit(timeout=30) == 0
    assert again.text("stderr") == ""
    thrice = script_levels(replayed)
    assert [level for level, _ in thrice] == ["down", "up"] * 42, thrice
    # Each round keys the same marks and gaps (a loaded machine may make an
    # edge a little late); the rounds stay words apart, never run together.
    for r in range(3):
        round_levels = thrice[28 * r:28 * r + 27]
        for (_, ms), (_, expected) in zip(round_levels, once[:-1]):
            assert abs(ms - expected) <= 15, (r, round_levels, once)
        if r < 2:
            assert thrice[28 * r + 27][1] >= 420, thrice


def test_slow_text_says_in_the_banner_that_a_dah_from_idle_is_released(agent, inputs, receiver):
    run = agent().start(["--key-text", "TE", "--wpm", "7"], stdin="devnull")
    assert run.wait_exit(timeout=15) == 0
    lines = run.lines()
    banner = lines[:lines.index("")]
    assert ("  Slow keying: at 7 WPM a dah lasts 514 ms, and from idle a mark of 500 ms or more is "
            "continuous keying: a dah that starts the keying is released as it ends, and the marks "
            "after it take a new hold. From 8 WPM up this does not happen.") in banner
    assert not [line for line in banner if "grave" in line or "Held (`)" in line], banner
    # As said: the T is released as it ends, and the E takes a second hold.
    holds = [line for line in lines if "  HOLD  " in line]
    assert len(holds) == 2, lines
