"""How well keyline-bench --decode reads CW keying, through the real program.

A corpus of random texts (letters, digits, punctuation and prosigns) drawn
from a fixed seed is keyed under each condition (exact, jitter, a heavy fist,
weight, Farnsworth spacing, slow and fast speeds, speed steps) as key
scripts; each transmission is a fresh run of
`keyline-bench --key-script FILE --decode`, its hold logic included, and the
DECODED lines of the run are read back. Characters right are counted over an
alignment of what was keyed with what was read; the lower bound is Wilson's
at 95 %. Beside each condition: sigrok-cli's `morse` decoder on the same
timing (a VCD of the same edges, its time unit set to the true dit).

Used by bench/run_bench.sh (about 500 characters a condition) and by the
process test (about 50). Transmissions run side by side, a bounded number at
once: they sleep between edges, so many share a core.
"""

import argparse
import concurrent.futures
import math
import os
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile

SEED = 29
TARGET_PERCENT = 99.0

CODES = {
    "A": ".-", "B": "-...", "C": "-.-.", "D": "-..", "E": ".", "F": "..-.", "G": "--.", "H": "....",
    "I": "..", "J": ".---", "K": "-.-", "L": ".-..", "M": "--", "N": "-.", "O": "---", "P": ".--.",
    "Q": "--.-", "R": ".-.", "S": "...", "T": "-", "U": "..-", "V": "...-", "W": ".--", "X": "-..-",
    "Y": "-.--", "Z": "--..", "0": "-----", "1": ".----", "2": "..---", "3": "...--", "4": "....-",
    "5": ".....", "6": "-....", "7": "--...", "8": "---..", "9": "----.", ".": ".-.-.-", ",": "--..--",
    "?": "..--..", "/": "-..-.", "-": "-....-", "'": ".----.", '"': ".-..-.", ")": "-.--.-",
    ":": "---...", ";": "-.-.-.", "@": ".--.-.", "!": "-.-.--",
    # Prosigns; "+", "=" and "(" share their codes and read as these.
    "<AR>": ".-.-.", "<BT>": "-...-", "<KN>": "-.--.", "<SK>": "...-.-", "<AS>": ".-...",
}
LETTERS = [c for c in CODES if c.isalpha() and len(c) == 1]
OTHERS = [c for c in CODES if c not in LETTERS]

# name, what it varies; keying() below reads the keys.
CONDITIONS = [
    ("exact", {}),
    ("jitter 10 %", {"jitter": 0.10}),
    ("jitter 20 %", {"jitter": 0.20}),
    ("jitter 30 %", {"jitter": 0.30}),
    ("heavy fist", {"fist": True}),
    ("weight 30", {"weight": 30}),
    ("weight 40", {"weight": 40}),
    ("weight 60", {"weight": 60}),
    ("weight 70", {"weight": 70}),
    ("Farnsworth 25/15", {"wpm": 25, "farnsworth": 15}),
    ("Farnsworth 18/12", {"wpm": 18, "farnsworth": 12}),
    ("Farnsworth 20/10", {"wpm": 20, "farnsworth": 10}),
    ("5 WPM", {"wpm": 5}),
    ("6 WPM", {"wpm": 6}),
    ("8 WPM", {"wpm": 8}),
    ("40 WPM", {"wpm": 40}),
    ("60 WPM", {"wpm": 60}),
    ("step x0.5", {"step": 0.5}),
    ("step x2", {"step": 2.0}),
]


def random_text(rng, characters):
    """Words of 1..6 characters, about `characters` of them; letters most."""
    words, count = [], 0
    while count < characters:
        word = []
        for _ in range(rng.randint(1, 6)):
            word.append(rng.choice(LETTERS) if rng.random() < 0.75 else rng.choice(OTHERS))
        words.append(word)
        count += len(word)
    return words


def farnsworth_unit(wpm, farnsworth):
    """The ARRL spacing unit in dits of the characters' speed."""
    c, s = float(wpm), float(farnsworth)
    return (60 * c - 37.2 * s) / (s * c) / (1.2 / c) / 19.0


def keying(words, cond, rng):
    """The runs [(down, ms)] of a transmission, the true dit in ms (before a
    step) and the character index of the step (or None)."""
    wpm = cond.get("wpm") or rng.randint(12, 35)
    if "step" in cond:
        wpm = rng.randint(16, 40) if cond["step"] < 1 else rng.randint(10, 28)
    dit = 1200.0 / wpm
    weight = (cond.get("weight", 50) - 50) / 50.0
    jitter = cond.get("jitter", 0.0)
    dah = 3.0
    letter_gap, word_gap = 3.0, 7.0
    if cond.get("fist"):
        # A heavy fist: heavy marks, long dahs, short letter gaps, ±20 % on
        # every span, and a speed that wanders a tenth from word to word.
        weight, dah, letter_gap, word_gap, jitter = 0.3, 3.5, 2.6, 6.0, 0.20
    if "farnsworth" in cond:
        unit = farnsworth_unit(wpm, cond["farnsworth"])
        letter_gap, word_gap = 3.0 * unit, 7.0 * unit
    n_chars = sum(len(w) for w in words)
    step_at = rng.randint(n_chars // 3, 2 * n_chars // 3) if "step" in cond else None
    runs, index, scale = [], 0, dit

    def span(down, dits):
        length = dits * scale * (1.0 + jitter * (2.0 * rng.random() - 1.0))
        runs.append((down, length))

    for w, word in enumerate(words):
        if cond.get("fist"):
            scale = dit * (1.0 + 0.1 * (2.0 * rng.random() - 1.0))
        for c, char in enumerate(word):
            if index == step_at:
                scale = dit / cond["step"]
            if c > 0:
                span(False, letter_gap - weight)
            elif w > 0:
                span(False, word_gap - weight)
            for e, element in enumerate(CODES[char]):
                if e > 0:
                    span(False, 1.0 - weight)
                span(True, (1.0 if element == "." else dah) + weight)
            index += 1
    return runs, dit, step_at


def key_script(runs):
    """Whole ms, the rounding carried so no time drifts; at least 10 ms."""
    lines, t, at = [], 0.0, 0
    for down, ms in runs:
        t += ms
        length = max(10, int(round(t)) - at)
        at += length
        lines.append("%s %d" % ("down" if down else "up", length))
    return "\n".join(lines) + "\n"


def vcd(runs):
    """The same edges as a one-wire VCD at 1 ms."""
    out = ["$timescale 1 ms $end", "$scope module key $end", "$var wire 1 k key $end",
           "$upscope $end", "$enddefinitions $end", "#0", "0k"]
    t, at = 0.0, 0
    for down, ms in runs:
        out.append("#%d" % (1000 + at))
        out.append("%dk" % (1 if down else 0))
        t += ms
        at += max(10, int(round(t)) - at)
    out.append("#%d" % (1000 + at))
    out.append("0k")
    out.append("#%d" % (1000 + at + 5000))
    out.append("0k")
    return "\n".join(out) + "\n"


# --- reading back --------------------------------------------------------------

DECODED_RE = re.compile(r"^\S+  DECODED  (.*)  \((\d+|\?) WPM\)$")
CONTINUED = "\u2026"


def tokens(text):
    """Characters of a text: a prosign is one, a blank between words one."""
    out, i = [], 0
    while i < len(text):
        if text[i] == "<" and ">" in text[i:]:
            j = text.index(">", i)
            out.append(text[i:j + 1])
            i = j + 1
            continue
        out.append(text[i])
        i += 1
    return out


def joined_lines(lines):
    """The text of a run's DECODED lines, one after another: a line that goes
    on with the previous line's word joins it, any other starts a word."""
    text = ""
    for line in lines:
        if line.startswith(CONTINUED):
            text += line[len(CONTINUED):]
        else:
            text += (" " if text else "") + line
    return text


def alignment_counts(keyed, read):
    """(characters right, blanks right) of keyed in read: a least-cost
    alignment, substitutions and deletions cost one."""
    n, m = len(keyed), len(read)
    cost = [[0] * (m + 1) for _ in range(n + 1)]
    for i in range(n + 1):
        cost[i][0] = i
    for j in range(m + 1):
        cost[0][j] = j
    for i in range(1, n + 1):
        for j in range(1, m + 1):
            cost[i][j] = min(cost[i - 1][j] + 1, cost[i][j - 1] + 1,
                             cost[i - 1][j - 1] + (0 if keyed[i - 1] == read[j - 1] else 1))
    i, j, chars, blanks = n, m, 0, 0
    while i > 0 and j > 0:
        same = keyed[i - 1] == read[j - 1]
        if cost[i][j] == cost[i - 1][j - 1] + (0 if same else 1):
            if same:
                chars += keyed[i - 1] != " "
                blanks += keyed[i - 1] == " "
            i, j = i - 1, j - 1
        elif cost[i][j] == cost[i - 1][j] + 1:
            i -= 1
        else:
            j -= 1
    return chars, blanks


# How sigrok-cli's morse decoder writes what it does not write as we do.
SIGROK_NAMES = [("EOW", "<SK>"), ("WAIT", "<AS>"), ("\u201c \u201d", '"'), ("\u2019", "'"),
                ("-.-.--", "!"), ("-.-.-.", ";"), ("+", "<AR>"), ("=", "<BT>"), ("(", "<KN>")]


def sigrok_text(path, dit_ms):
    """sigrok-cli's words for a VCD, in our spelling."""
    r = subprocess.run([shutil.which("sigrok-cli"), "-I", "vcd", "-i", path,
                        "-P", "morse:timeunit=%.6f" % (dit_ms / 1000.0), "-A", "morse=word"],
                       capture_output=True, text=True, timeout=120)
    words = []
    for line in r.stdout.splitlines():
        if line.startswith("morse-1: "):
            word = line[len("morse-1: "):]
            for theirs, ours in SIGROK_NAMES:
                word = word.replace(theirs, ours)
            words.append(word.upper())
    return " ".join(words)


# --- a run ---------------------------------------------------------------------

def spans_off(script, record, dit_ms):
    """Spans the program saw more than a quarter dit (at least 5 ms) off the
    script's, out of the script's: a busy machine's doing, not the decoder's."""
    def lengths(path):
        out = []
        with open(path) as f:
            for line in f:
                if line.startswith(("down ", "up ")):
                    out.append(int(line.split()[1]))
        return out
    want = lengths(script)
    try:
        seen = lengths(record)
    except OSError:
        return len(want), len(want)
    if len(seen) == len(want) + 1:
        seen.pop()  # the closing gap, timed by the run's end
    tolerance = max(5.0, dit_ms / 4.0)
    off = sum(1 for a, b in zip(want, seen) if abs(a - b) > tolerance) + abs(len(want) - len(seen))
    return off, len(want)


def run_transmission(program, script, port, timeout, record=None):
    extra = ["--record", record] if record else []
    r = subprocess.run([program, "--key-script", script, "--decode", "--port", str(port)] + extra,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    lines = []
    for line in r.stdout.decode("utf-8", "replace").splitlines():
        m = DECODED_RE.match(line)
        if m:
            lines.append(m.group(1))
    return r.returncode, lines, r.stderr.decode("utf-8", "replace")


def wilson_low(right, total, z=1.96):
    if total == 0:
        return 0.0
    p = right / total
    d = 1 + z * z / total
    centre = p + z * z / (2 * total)
    spread = z * math.sqrt(p * (1 - p) / total + z * z / (4 * total * total))
    return 100.0 * (centre - spread) / d


def plan(characters, per_transmission, seed=SEED):
    """[(condition name, index, words, runs, dit, step)] for every condition."""
    out = []
    for c, (name, cond) in enumerate(CONDITIONS):
        rng = random.Random(seed * 1000 + c)
        count = 0
        i = 0
        while count < characters:
            words = random_text(rng, min(per_transmission, characters - count))
            runs, dit, step = keying(words, cond, rng)
            out.append((name, i, words, runs, dit, step))
            count += sum(len(w) for w in words)
            i += 1
    return out


def replayed(replay, paths):
    """{path: DECODED texts} of bench/decoder-replay over key scripts: the
    monitor and the decoder on a fake clock, no process and no load."""
    r = subprocess.run([replay] + paths, capture_output=True, timeout=600)
    out, path = {}, None
    for line in r.stdout.decode("utf-8", "replace").splitlines():
        if line.startswith("== "):
            path = line[3:]
            out[path] = []
            continue
        m = DECODED_RE.match(line)
        if m and path is not None:
            out[path].append(m.group(1))
    sys.stderr.write(r.stderr.decode("utf-8", "replace"))
    return r.returncode, out


def measure(program, characters, per_transmission, jobs, show=False, peer=True, replay=None, seed=SEED):
    """{condition: figures} over the plan, the program and sigrok side by side.
    With `replay` (bench/decoder-replay), the monitor and decoder read the
    scripts on a fake clock in place of the program."""
    work = plan(characters, per_transmission, seed)
    tmp = tempfile.mkdtemp(prefix="decoder-accuracy-")
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("127.0.0.1", 0))
    port = sink.getsockname()[1]
    peer = peer and shutil.which("sigrok-cli") is not None

    def one(k):
        name, i, words, runs, dit, step = work[k]
        base = os.path.join(tmp, "t%d" % k)
        with open(base + ".key", "w") as f:
            f.write(key_script(runs))
        seconds = sum(ms for _, ms in runs) / 1000.0
        status, lines, err = run_transmission(program, base + ".key", port, timeout=seconds * 3 + 30,
                                              record=base + ".seen")
        off = spans_off(base + ".key", base + ".seen", dit)
        sig = None
        if peer:
            with open(base + ".vcd", "w") as f:
                f.write(vcd(runs))
            sig = sigrok_text(base + ".vcd", dit)
        return k, status, lines, err, sig, off

    results = {}
    if replay:
        paths = []
        for k in range(len(work)):
            paths.append(os.path.join(tmp, "t%d.key" % k))
            with open(paths[-1], "w") as f:
                f.write(key_script(work[k][3]))
        status, texts = replayed(replay, paths)
        for k, path in enumerate(paths):
            results[k] = (status, texts.get(path, []), "", None, (0, len(work[k][3])))
        peer = False
        shutil.rmtree(tmp, ignore_errors=True)
    try:
        # The longest transmissions first, so the slow ones do not trail.
        order = sorted(range(len(work)), key=lambda k: -sum(ms for _, ms in work[k][3]))
        with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
            for k, status, lines, err, sig, off in pool.map(one, [] if replay else order):
                results[k] = (status, lines, err, sig, off)
    finally:
        sink.close()
        shutil.rmtree(tmp, ignore_errors=True)

    table = {}
    for k, (name, i, words, runs, dit, step) in enumerate(work):
        status, lines, err, sig, off = results[k]
        keyed = tokens(" ".join("".join(w) for w in words))
        read = tokens(joined_lines(lines))
        chars, blanks = alignment_counts(keyed, read)
        # A blank read where none was keyed is a word boundary wrong too.
        extra_blanks = max(0, read.count(" ") - blanks)
        n_chars = sum(1 for t in keyed if t != " ")
        n_blanks = len(keyed) - n_chars
        row = table.setdefault(name, {"chars": 0, "right": 0, "blanks": 0, "blanks_right": 0,
                                      "peer_right": 0, "worst_lost": 0, "failed": 0, "spans": 0, "off": 0})
        row["off"] += off[0]
        row["spans"] += off[1]
        # Judged: the transmissions the program saw as keyed (a span or two
        # off at most), where a misreading is the decoder's own.
        if off[0] <= max(1, off[1] // 50):
            row["judged"] = row.get("judged", 0) + n_chars
            row["judged_right"] = row.get("judged_right", 0) + chars
            row["worst_judged"] = max(row.get("worst_judged", 0), n_chars - chars)
        row["chars"] += n_chars
        row["right"] += chars
        row["blanks"] += n_blanks + extra_blanks
        row["blanks_right"] += blanks
        row["worst_lost"] = max(row["worst_lost"], n_chars - chars)
        row["failed"] += status != 0
        if sig is not None:
            row["peer_right"] += alignment_counts(keyed, tokens(sig))[0]
        if show and (chars < n_chars or blanks < n_blanks or extra_blanks or status != 0):
            print("%s #%d: keyed %s\n    read  %s%s\n    spans off %d of %d" % (
                name, i, "".join(keyed), " | ".join(lines),
                "" if status == 0 else "  (exit %d: %s)" % (status, err), off[0], off[1]), file=sys.stderr)
    return table, peer


def print_table(table, peer):
    """The table; targets are judged on the transmissions the program saw as
    keyed, so that MISSED is the decoder's doing. Returns the rows missed."""
    print("%-18s %6s %9s %9s %9s %9s %9s %8s  %s" % ("condition", "chars", "--decode", "low 95%", "judged",
                                                      "blanks", "sigrok", "off", "target"))
    missed = 0
    for name, _ in CONDITIONS:
        r = table[name]
        percent = 100.0 * r["right"] / r["chars"]
        judged = r.get("judged", 0)
        judged_percent = 100.0 * r.get("judged_right", 0) / judged if judged else 0.0
        low = wilson_low(r.get("judged_right", 0), judged)
        blanks = 100.0 * r["blanks_right"] / r["blanks"] if r["blanks"] else 100.0
        note = ">= %.0f %%" % TARGET_PERCENT
        ok = judged_percent >= TARGET_PERCENT and r["failed"] == 0
        if name.startswith("step"):
            worst = r.get("worst_judged", 0)
            note += ", <= 1 lost a step (worst %d%s)" % (
                worst, "" if r["worst_lost"] == worst else ", %d with spans off" % r["worst_lost"])
            ok = ok and worst <= 1
        if name.startswith("Farnsworth"):
            note += ", blanks all right"
            ok = ok and r["blanks_right"] == r["blanks"]
        missed += not ok
        sig = "%8.1f%%" % (100.0 * r["peer_right"] / r["chars"]) if peer else "%9s" % "-"
        print("%-18s %6d %8.2f%% %8.2f%% %8.2f%% %8.2f%% %s %7.1f%%  %s: %s"
              % (name, r["chars"], percent, low, judged_percent, blanks, sig,
                 100.0 * r["off"] / max(1, r["spans"]), note, "met" if ok else "MISSED"))
    return missed


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--program", help="keyline-bench (needed unless --replay)")
    p.add_argument("--characters", type=int, default=500, help="characters a condition")
    p.add_argument("--per-transmission", type=int, default=30)
    p.add_argument("--jobs", type=int, default=24, help="transmissions at once")
    p.add_argument("--seed", type=int, default=SEED, help="the corpus's seed")
    p.add_argument("--show", action="store_true", help="print every transmission not read right")
    p.add_argument("--replay", metavar="DECODER_REPLAY",
                   help="read the scripts with bench/decoder-replay (monitor and decoder on a fake clock)")
    a = p.parse_args()
    if not a.program and not a.replay:
        p.error("--program or --replay is needed")
    table, peer = measure(a.program, a.characters, a.per_transmission, a.jobs, show=a.show, replay=a.replay,
                          seed=a.seed)
    print("decoder accuracy: keyline-bench --key-script FILE --decode, %d characters a condition, seed %d"
          % (a.characters, a.seed))
    missed = print_table(table, peer)
    print("targets missed: %s" % (missed or "none"))
    print("(judged: over the transmissions the program saw as keyed, at most one span in 50 off; low 95 %:\n"
          " Wilson's bound on it; off: spans the program saw more than a quarter dit, at least 5 ms, from\n"
          " the script's, the machine's load, which sigrok-cli, reading the script's own edges, never sees)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
