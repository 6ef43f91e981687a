"""keyline-bench's outputs against recorded ones: the text log, --json, the
VCD, the recording and the decoded lines of fixed key scripts and texts, a
run with faults and a seed, and keyboard runs (press, latch, quit, unplug).
Times, ports and paths are masked, and so are the figures that follow the
machine's timing (the hang, the dit, the speed, the keepalives of a keyed
text and where they fall, every figure of a keyboard run); what is left,
every line's words, fields and order, must match byte for byte.

KEYLINE_GOLDEN_RECORD=1 writes the files in golden/ instead of comparing."""

import difflib
import os
import re
import time

import pytest

from keyline_harness import KEY_GRAVE, KEY_LEFTSHIFT

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden")
RECORD = os.environ.get("KEYLINE_GOLDEN_RECORD") == "1"

ALWAYS = [
    (re.compile(r"\d{4}-\d\d-\d\dT[\d:.]+Z"), "DATE"),         # before the clock's own mask
    (re.compile(r"(?i)(command line: )\S*/keyline-bench"), r"\1keyline-bench"),  # the build's folder
    (re.compile(r"\d\d:\d\d:\d\d\.\d\d\d"), "HH:MM:SS.mmm"),
    (re.compile(r'"t_ms":\d+'), '"t_ms":T'),
    (re.compile(r"127\.0\.0\.1:\d+"), "127.0.0.1:PORT"),
    (re.compile(r"--port \d+"), "--port PORT"),
    (re.compile(r"^#\d+$"), "#T"),                       # VCD times
    (re.compile(r"^(\$date|# at) .*"), r"\1 DATE"),       # VCD and record headers
    (re.compile(r"^\s+\d{4}-\d\d-\d\d.*$"), "  DATE"),
]
TIMING = [
    (re.compile(r"hang=\d+"), "hang=N"),
    (re.compile(r'"hang_ms":\d+'), '"hang_ms":N'),
    (re.compile(r"dit~\d+"), "dit~N"),
    (re.compile(r'"dit_ms":\d+'), '"dit_ms":N'),
    (re.compile(r"~\d+ WPM|\(\d+ WPM\)"), "N WPM"),
    (re.compile(r'"wpm":\d+'), '"wpm":N'),
    (re.compile(r"^(down|up) \d+$"), r"\1 N"),           # the recording's durations
]
COUNTS = [(re.compile(r"(ka=|seq=|\"ka\":|\"seq\":)\d+"), r"\1N")]
DIGITS = [(re.compile(r"\d+"), "N")]
FAULTS = []  # a run with faults: two continuous marks whose keepalives are exact


def masked(text, tmp, masks):
    out = []
    for line in text.replace(str(tmp), "TMP").splitlines():
        for pattern, replacement in ALWAYS + masks:
            line = pattern.sub(replacement, line)
        # Where the hold's length follows the machine's timing, so does the
        # number of keepalives and where they fall: their lines and marks go.
        timed = masks is not FAULTS
        if timed and ("  KEEPALIVE  " in line or '"event":"keepalive"' in line or
                      re.match(r"^[01N]%$", line) or (line == "#T" and out and out[-1] == "#T")):
            continue
        out.append(line)
    return "\n".join(out) + "\n"


def check(name, text):
    path = os.path.join(GOLDEN, name)
    if RECORD:
        os.makedirs(GOLDEN, exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return
    with open(path) as f:
        golden = f.read()
    assert text == golden, "%s differs:\n%s" % (name, "\n".join(difflib.unified_diff(
        golden.splitlines(), text.splitlines(), "golden", "now", lineterm="", n=1)))


def outputs(run, tmp, masks, files=()):
    text = "## stdout\n" + "\n".join(run.lines()) + "\n## stderr\n" + "\n".join(run.lines("stderr"))
    for f in files:
        with open(os.path.join(tmp, f)) as handle:
            text += "\n## %s\n%s" % (f, handle.read())
    return masked(text, tmp, masks)


KEYLESS = [
    ("text_cq", ["--key-text", "CQ", "--wpm", "12", "--seed", "5", "--decode", "--record", "r.key", "--vcd", "w.vcd"],
     TIMING + COUNTS, ["r.key", "w.vcd"]),
    ("json_cq", ["--json", "--key-text", "CQ", "--wpm", "12", "--seed", "5", "--decode"], TIMING + COUNTS, []),
    ("script_fist", ["--key-script", "dits.key", "--verbose-keepalive", "--decode", "--repeat", "2"],
     TIMING + COUNTS, []),
    ("faults_text", ["--key-script", "two.key", "--seed", "7", "--verbose-keepalive", "--vcd", "w.vcd",
                     "--fault", "loss=20:keepalive", "--fault", "duplicate=30", "--fault",
                     "reorder=30:keepalive", "--fault", "corrupt=10:hold", "--fault", "delay=5"],
     FAULTS, ["w.vcd"]),
    ("faults_json", ["--json", "--key-script", "two.key", "--seed", "7", "--verbose-keepalive",
                     "--fault", "loss=20:keepalive", "--fault", "duplicate=30", "--fault",
                     "reorder=30:keepalive", "--fault", "corrupt=10:hold", "--fault", "delay=5"],
     FAULTS, []),
    # The decoded line after a RELEASE comes after that RELEASE's fault lines.
    ("decode_release_faults_text", ["--key-script", "two_words.key", "--seed", "4", "--decode", "--fault", "duplicate=100:release"],
     TIMING + COUNTS, []),
    ("decode_release_faults_json", ["--json", "--key-script", "two_words.key", "--seed", "4", "--decode", "--fault",
                                    "drop=release"], TIMING + COUNTS, []),
]


@pytest.mark.parametrize("name,args,masks,files", KEYLESS, ids=[k[0] for k in KEYLESS])
def test_a_keyless_run_writes_what_it_always_wrote(agent, tmp_path, monkeypatch, name, args, masks,
                                                    files):
    (tmp_path / "dits.key").write_text("down 60\nup 60\ndown 180\nup 60\ndown 60\nup 400\n")
    (tmp_path / "two.key").write_text("down 1100\nup 1500\ndown 1100\nup 50\n")
    (tmp_path / "two_words.key").write_text("down 60\nup 60\ndown 180\nup 2000\ndown 60\nup 400\n")
    monkeypatch.chdir(tmp_path)
    run = agent().start(args, stdin="devnull")
    assert run.wait_exit(20) == 0, run.text("stderr")
    check(name + ".txt", outputs(run, tmp_path, masks, files))


def press(run, kbd, byte=b"`", keys=(KEY_GRAVE,), held=0.3):
    kbd.down(*keys)
    run.tty.type(byte)
    time.sleep(held)
    kbd.up(*keys)


def keyed_press(run, kbd):
    press(run, kbd)
    run.wait_line("KEY OPEN")
    run.wait_line("RELEASE")


def keyed_latch(run, kbd):
    press(run, kbd, b"~", (KEY_LEFTSHIFT, KEY_GRAVE), held=0.1)
    run.wait_line("KEY ASSERT")
    time.sleep(0.6)  # the latched mark is continuous (over 500 ms) whatever the load
    press(run, kbd, held=0.1)
    run.wait_line("KEY OPEN")


def keyed_quit(run, kbd):
    kbd.down(KEY_GRAVE)
    run.tty.type(b"`")
    run.wait_line('KEY ASSERT|"key_assert"')
    time.sleep(0.25)


def keyed_unplug(run, kbd):
    kbd.unplug()
    run.wait_line("keyboard lost", stream="stderr")
    kbd.set_keys(())
    kbd.plug()
    run.wait_line("keyboard found", stream="stderr", timeout=5.0)
    kbd.down(KEY_GRAVE, records=True)
    run.tty.type(b"`")
    run.wait_line("KEY ASSERT")
    kbd.up(KEY_GRAVE, records=True)
    run.wait_line("RELEASE")


def keyed_unplug_json(run, kbd):
    kbd.unplug()
    run.wait_line('"keyboard_lost"')
    kbd.set_keys(())
    kbd.plug()
    run.wait_line('"keyboard_found"', timeout=5.0)
    kbd.down(KEY_GRAVE, records=True)
    run.tty.type(b"`")
    run.wait_line('"key_assert"')
    kbd.up(KEY_GRAVE, records=True)
    run.wait_line('"release"')


KEYBOARD = [
    ("kbd_press", ["--fixed-hang-ms", "0", "--record", "r.key"], keyed_press, ["r.key"]),
    ("kbd_latch", ["--vcd", "w.vcd"], keyed_latch, ["w.vcd"]),
    ("kbd_quit", ["--json"], keyed_quit, []),
    ("kbd_unplug", ["--fixed-hang-ms", "0"], keyed_unplug, []),
    ("kbd_unplug_json", ["--json", "--fixed-hang-ms", "0"], keyed_unplug_json, []),
]


@pytest.mark.parametrize("name,args,keying,files", KEYBOARD, ids=[k[0] for k in KEYBOARD])
def test_a_keyboard_run_writes_what_it_always_wrote(agent, keyboard, tmp_path, monkeypatch, name,
                                                    args, keying, files):
    monkeypatch.chdir(tmp_path)
    run = agent().start(args)
    run.wait_line(r"^\{\"event\":\"start\"|^  See docs")
    keying(run, keyboard)
    time.sleep(0.1)
    assert run.quit() == 0
    keyboard.up(KEY_GRAVE)
    check(name + ".txt", outputs(run, tmp_path, DIGITS, files))
