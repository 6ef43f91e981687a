"""CW keying read back: --decode prints what was keyed, whatever the speed,
prosigns and a human fist; --farnsworth stretches exactly the letter and word
gaps; the CW options' refusals.

Texts and counts are exact; times are loose, since the machine is shared."""

import re
import time

import pytest

from keyline_harness import KEY_GRAVE

STAMPED = re.compile(r"^\d\d:\d\d:\d\d\.\d\d\d(  .*)$")


def events(run):
    """The lines after the banner, stamps stripped."""
    lines = run.lines()
    out = []
    for text in lines[lines.index("") + 1:]:
        m = STAMPED.match(text)
        out.append(m.group(1) if m else text)
    return out


def decoded(run):
    """(text, wpm) of each DECODED line, each checked to follow its RELEASE."""
    ev = events(run)
    out = []
    for i, line in enumerate(ev):
        m = re.fullmatch(r"  DECODED  (.*)  \((\d+) WPM\)", line)
        if m:
            assert ev[i - 1].startswith("  RELEASE  "), ev
            out.append((m.group(1), int(m.group(2))))
    return out


@pytest.mark.parametrize("text, args, reads, wpm", [
    ("CQ TEST", ["--wpm", "12"], "CQ TEST", 12),
    ("TEST DE PARIS 73", ["--wpm", "25"], "TEST DE PARIS 73", 25),
    ("QRS? 5NN TU", ["--wpm", "40"], "QRS? 5NN TU", 40),
    ("CQ <AR> <SK> CAF\u00c9 <KN>", ["--wpm", "20"], "CQ <AR> <SK> CAF\u00c9 <KN>", 20),
    ("CQ CQ DE DL1ABC K", ["--wpm", "20", "--fist", "15", "--seed", "7"], "CQ CQ DE DL1ABC K", 20),
])
def test_decode_reads_the_keyed_text(agent, inputs, receiver, text, args, reads, wpm):
    run = agent().start(["--key-text", text, "--decode"] + args, stdin="devnull")
    assert run.wait_exit(timeout=30) == 0
    assert run.text("stderr") == ""
    got = decoded(run)
    assert len(got) == 1, run.lines()
    assert got[0][0] == reads
    assert abs(got[0][1] - wpm) <= max(2, wpm // 10), got  # edges may come late on a loaded machine
    assert events(run)[-1] == "quit"


def test_a_fist_is_named_in_the_banner_and_the_recording(agent, inputs, receiver, tmp_path):
    # That a seed repeats its draws exactly is a unit test's: here edges may come late.
    path = tmp_path / "fist.txt"
    run = agent().start(["--key-text", "PARIS PARIS", "--wpm", "20", "--fist", "20", "--seed", "42",
                         "--farnsworth", "15", "--record", str(path)], stdin="devnull")
    assert run.wait_exit(timeout=30) == 0
    banner = run.lines()[:run.lines().index("")]
    assert "  KEY = Morse text at 20 WPM, Farnsworth 15 WPM, fist 20 %, once (no keyboard); " \
        "quits when done. q/Esc from this terminal." in banner
    assert banner.count("  seed=42  (--seed 42 replays the random draws)") == 1
    with open(path) as f:
        lines = f.read().splitlines()
    assert lines[2] == "# keying: Morse text at 20 WPM, Farnsworth 15 WPM, fist 20 % (seed 42)"
    # PARIS PARIS: 28 marks and the 27 gaps between them, then the closing gap.
    durations = [int(line.split()[1]) for line in lines[3:]]
    assert len(durations) == 56 and lines[-1].startswith("up "), lines
    # Not the exact keying: PARIS opens with four dits of 60 ms and three gaps of 60 ms.
    assert len(set(durations[:7])) > 2, durations


def test_farnsworth_stretches_the_letter_and_word_gaps_only(agent, inputs, receiver, tmp_path):
    # 20 WPM characters at 15 WPM overall: the ARRL's spacing unit is
    # (60*20 - 37.2*15) / (15*20) s / 19 = 112.63 ms; letter gaps 3 units,
    # word gaps 7.
    path = tmp_path / "farnsworth.txt"
    run = agent().start(["--key-text", "TEST C", "--wpm", "20", "--farnsworth", "15", "--decode",
                         "--record", str(path)], stdin="devnull")
    assert run.wait_exit(timeout=30) == 0
    # A word gap may outlast the hang: then each word has its own line.
    assert " ".join(text for text, _ in decoded(run)) == "TEST C"
    levels = []
    with open(path) as f:
        for line in f:
            if not line.startswith("#"):
                level, ms = line.split()
                levels.append(int(ms))
    want = [180, 338, 60, 338, 60, 60, 60, 60, 60, 338, 180, 788, 180, 60, 60, 60, 180, 60, 60]
    # The recording ends with the closing gap after the last mark.
    assert len(levels) == len(want) + 1, levels
    # The schedule is exact to the ms; a loaded machine may stamp an edge late.
    assert all(abs(got - ms) <= 8 for got, ms in zip(levels, want)), levels
    assert sum(abs(got - ms) <= 1 for got, ms in zip(levels, want)) >= len(want) // 2, levels


@pytest.mark.parametrize("args, message", [
    (["--key-text", "CQ <AR"], "keyline-bench: --key-text: unclosed \"<\" (character 4): a prosign is written <AR>"),
    (["--key-text", "CQ <> K"], "keyline-bench: --key-text: empty prosign \"<>\" (character 4)"),
    (["--key-text", "E", "--farnsworth", "25"],
     "keyline-bench: --farnsworth 25 is above --wpm 20: Farnsworth spacing only slows the overall speed"),
    (["--key-text", "E", "--farnsworth", "4"], "keyline-bench: --farnsworth must be a whole number 5..60, not \"4\""),
    (["--key-text", "E", "--fist", "31"], "keyline-bench: --fist must be a whole number 0..30, not \"31\""),
    (["--key-text", "E", "--weight", "x"], "keyline-bench: --weight must be a whole number 30..70, not \"x\""),
    (["--fist", "10", "--decode"], "keyline-bench: --fist goes with --key-text"),
])
def test_refusals(agent, inputs, receiver, args, message):
    run = agent().start(args, stdin="devnull")
    assert run.wait_exit() == 2
    assert run.text("stderr") == message + "\n"
    assert run.text("stdout") == ""


def test_decode_reads_a_script_and_a_keyboard(agent, keyboard, receiver, tmp_path):
    # K (-.-) at 10 WPM from a script, then by hand at the grave key.
    script = tmp_path / "k.key"
    script.write_text("down 360\nup 120\ndown 120\nup 120\ndown 360\n")
    run = agent().start(["--key-script", str(script), "--decode"], stdin="devnull")
    assert run.wait_exit(timeout=30) == 0
    (text, wpm), = decoded(run)
    assert text == "K" and 9 <= wpm <= 11, (text, wpm)

    hand = agent().start(["--global-keys", "--decode"])
    hand.wait_banner()
    for held, gap in ((0.36, 0.12), (0.12, 0.12), (0.36, 0.0)):
        keyboard.down(KEY_GRAVE)
        time.sleep(held)
        keyboard.up(KEY_GRAVE)
        time.sleep(gap)
    hand.wait_line(r"DECODED", timeout=10)
    assert hand.quit() == 0
    (text, wpm), = decoded(hand)
    assert text == "K" and 7 <= wpm <= 12, (text, wpm)  # a hand, and a 5 ms poll, on a shared machine
