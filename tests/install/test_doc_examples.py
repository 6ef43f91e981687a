"""Every shell example of the README, of the guides in docs/ and of the man
pages' EXAMPLES is run, as the page shows it, so that a page cannot drift
from the programs.

The convention (docs/install.md says it for page writers):

- An example is a ```sh block of a Markdown page, a block of a man page
  between .nf and .fi, or a transcript: a block (fenced or indented) whose
  lines start with "$ " for the commands, the output following each.
- Each page's examples run in order in a fresh folder of their own (a later
  example may use a file an earlier one wrote), with standard input
  /dev/null, the built programs on PATH and as build/release/PROGRAM (their
  man pages in build/release/man/), and a time limit (30 s unless said).
- During every example a keyline-station listens on 127.0.0.1:22372, the
  programs' default port.
- A ```sh block must exit 0; a transcript's command must exit 0, or N when
  "(exit N)" follows it, and every line of its output that is one of the
  programs' own messages ("keyline-bench: ...", with no "...") must be
  printed by it, word for word.
- Marks, in an HTML comment just before the block (in a man page, a line
  .\\" MARK before it):
    not run: REASON    the block cannot run here (a keyboard, sudo, apt, a
                       GUI, a build); it is counted, and must say why
    exit N             the block ends with status N
    stop after N s     the block runs until stopped: Ctrl-C (SIGINT) every
                       N s until it ends, with its status
    no station         nothing listens on 22372 (the block listens there)
    time limit N s     a longer limit
- A block must not leave a process of its own running once it has ended
  (wait for what it starts in the background)."""

import glob
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

from conftest import built_programs

STATION_PORT = 22372
DEFAULT_LIMIT = 30
MESSAGE = re.compile(r"keyline-[a-z]+: ")
MARK = re.compile(r"^(not run: .+|exit \d+|stop after \d+ s|no station|time limit \d+ s|ci-recipe)$")


class Example:
    def __init__(self, page, line, text, marks, transcript):
        self.page, self.line, self.text, self.marks = page, line, text, marks
        self.transcript = transcript

    def mark(self, name):
        for m in self.marks:
            if m.startswith(name):
                return m[len(name):].strip(" :")
        return None

    def where(self):
        return "%s:%d" % (self.page, self.line)


def is_transcript(text):
    return any(line.startswith("$ ") for line in text.splitlines())


def marks_before(lines, i):
    """The marks in HTML comments on the lines just before line i."""
    marks = []
    j = i - 1
    while j >= 0 and (not lines[j].strip() or re.match(r"^<!--.*-->$", lines[j].strip())):
        comment = re.match(r"^<!--\s*(.*?)\s*-->$", lines[j].strip())
        if comment:
            marks.append(comment.group(1))
        j -= 1
    return marks


def markdown_examples(path, name):
    lines = open(path, encoding="utf-8").read().split("\n")
    examples = []
    i = 0
    while i < len(lines):
        fence = re.match(r"^```(\w*)\s*$", lines[i])
        indented = lines[i].startswith("    ") and (i == 0 or not lines[i - 1].strip())
        if fence:
            end = i + 1
            while end < len(lines) and not lines[end].startswith("```"):
                end += 1
            body = "\n".join(lines[i + 1:end]) + "\n"
            shell = fence.group(1) == "sh" or (fence.group(1) == "" and is_transcript(body))
            first, i = i, end + 1
        elif indented:
            end = i
            while end < len(lines) and (lines[end].startswith("    ") or not lines[end].strip()):
                end += 1
            body = "\n".join(l[4:] for l in lines[i:end]).rstrip("\n") + "\n"
            shell = is_transcript(body)
            first, i = i, end
        else:
            i += 1
            continue
        if shell:
            examples.append(Example(name, first + 1, body, marks_before(lines, first), is_transcript(body)))
    return examples


def unroff(line):
    return (line.replace("\\-", "-").replace("\\e", "\\").replace("\\(aq", "'")
            .replace("\\(dq", '"').replace("\\&", ""))


def man_examples(path, name):
    lines = open(path, encoding="utf-8").read().split("\n")
    examples = []
    for i, line in enumerate(lines):
        if line != ".nf":
            continue
        end = lines.index(".fi", i)
        body = "\n".join(unroff(l) for l in lines[i + 1:end]) + "\n"
        marks = []
        j = i - 1
        while j >= 0 and (lines[j] in (".PP", ".RS", "") or lines[j].startswith('.\\"')):
            if lines[j].startswith('.\\"'):
                marks.append(lines[j][3:].strip())
            j -= 1
        examples.append(Example(name, i + 1, body, marks, is_transcript(body)))
    return examples


def pages(source_dir):
    found = [("README.md", os.path.join(source_dir, "README.md"))]
    found += [("docs/" + os.path.basename(p), p)
              for p in sorted(glob.glob(os.path.join(source_dir, "docs", "*.md")))]
    found += [("man/" + os.path.basename(p), p)
              for p in sorted(glob.glob(os.path.join(source_dir, "man", "*.h2m")))]
    return found


def examples_of(name, path):
    return (man_examples if name.endswith(".h2m") else markdown_examples)(path, name)


SOURCE_DIR = os.environ.get("KEYLINE_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
PAGES = pages(SOURCE_DIR)


def commands(transcript):
    """[(command, shown output lines)] of a transcript."""
    found = []
    for line in transcript.splitlines():
        if line.startswith("$ "):
            found.append([line[2:], []])
        elif found and found[-1][0].endswith("\\") and not found[-1][1]:
            found[-1][0] += "\n" + line
        elif found:
            found[-1][1].append(line)
    return found


def expected_status(example, shown):
    for line in shown:
        m = re.match(r"^\(exit (\d+)\)$", line.strip())
        if m:
            return int(m.group(1))
    return int(example.mark("exit") or 0)


class Folder:
    """The folder a page's examples run in: build/release holds the built
    programs and their man pages."""

    def __init__(self, build_dir):
        self.top = tempfile.mkdtemp(prefix="doc-examples-")
        self.path = os.path.join(self.top, "page")  # the examples' own folder, nothing else in it
        release = os.path.join(self.path, "build", "release")
        os.makedirs(release)
        for name, program in built_programs().items():
            os.symlink(program, os.path.join(release, name))
        man = os.environ.get("KEYLINE_MAN_DIR")
        if man and os.path.isdir(man):
            os.symlink(man, os.path.join(release, "man"))
        self.env = dict(os.environ, PATH=release + os.pathsep + os.environ["PATH"], LC_ALL="C.UTF-8")
        self.out = os.path.join(self.top, "example-output")

    def close(self):
        shutil.rmtree(self.top, ignore_errors=True)


def group_alive(pid, within):
    """Whether a process of the group is still there after within seconds."""
    deadline = time.monotonic() + within
    while True:
        try:
            os.killpg(pid, 0)
        except ProcessLookupError:
            return False
        if time.monotonic() >= deadline:
            return True
        time.sleep(0.1)


def end_group(pid):
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(pid, sig)
        except ProcessLookupError:
            return
        time.sleep(0.3)


def run(folder, script, example):
    """(status, output, left) of script run as the example says: status None
    when it did not end in time, left when it ended but left a process of
    its own running."""
    limit = int((example.mark("time limit") or str(DEFAULT_LIMIT)).split()[0])
    stop = example.mark("stop after")
    with open(folder.out, "wb") as out:
        proc = subprocess.Popen(["bash", "-c", script], cwd=folder.path, env=folder.env,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True)
        try:
            deadline = time.monotonic() + limit
            every = int(stop.split()[0]) if stop else limit
            status = None
            while status is None and time.monotonic() < deadline:
                try:
                    status = proc.wait(timeout=max(0.0, min(every, deadline - time.monotonic())))
                except subprocess.TimeoutExpired:
                    if stop:
                        os.killpg(proc.pid, signal.SIGINT)  # Ctrl-C, to the whole line
            left = status is not None and group_alive(proc.pid, 2)
        finally:
            end_group(proc.pid)
            proc.wait()
    with open(folder.out, encoding="utf-8", errors="replace") as f:
        return status, f.read(), left


class Station:
    """The keyline-station on the default port that examples key into."""

    def __init__(self, folder):
        self.log = open(os.path.join(folder.top, "station-output"), "wb")
        self.proc = subprocess.Popen(["keyline-station", "--port", str(STATION_PORT)],
                                     env=folder.env, cwd=folder.path, stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.proc.poll() is None:
            with open(self.log.name, "rb") as f:
                if b"LISTENING" in f.read():
                    return
            time.sleep(0.05)
        self.stop()
        with open(self.log.name, encoding="utf-8", errors="replace") as f:
            pytest.fail("the examples' station could not listen on %d: %s" % (STATION_PORT, f.read()))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


def check(folder, example):
    """What is wrong with the example as it runs, or None."""
    station = None if example.mark("no station") is not None else Station(folder)
    try:
        if not example.transcript:
            status, output, left = run(folder, example.text, example)
            want = int(example.mark("exit") or 0)
            if status != want:
                return "exit status %s, not %d; its output:\n%s" % (status, want, output[-3000:])
            return "it left a process running (wait for what it starts)" if left else None
        for command, shown in commands(example.text):
            status, output, left = run(folder, command, example)
            want = expected_status(example, shown)
            if status != want:
                return "`%s`: exit status %s, not %d; its output:\n%s" % (command, status, want,
                                                                        output[-3000:])
            if left:
                return "`%s` left a process running" % command
            printed = output.splitlines()
            for line in shown:
                if MESSAGE.match(line) and "..." not in line and line not in printed:
                    return "`%s` no longer prints:\n%s\nbut:\n%s" % (command, line, output[-3000:])
        return None
    finally:
        if station:
            station.stop()


@pytest.mark.parametrize("name,path", PAGES, ids=[n for n, _ in PAGES])
def test_every_example_of_the_page_runs(name, path, build_dir, capsys):
    examples = examples_of(name, path)
    bad_marks = ["%s: <!-- %s -->" % (e.where(), m) for e in examples for m in e.marks
                 if not MARK.match(m)]
    assert not bad_marks, "marks this test does not know:\n" + "\n".join(bad_marks)
    folder = Folder(build_dir)
    failures, skipped = [], []
    try:
        for example in examples:
            reason = example.mark("not run")
            if reason is not None:
                skipped.append("%s (%s)" % (example.where(), reason))
                continue
            problem = check(folder, example)
            if problem:
                failures.append("%s:\n%s" % (example.where(), problem))
    finally:
        folder.close()
    with capsys.disabled():  # the count belongs in the test's log, passed or not
        print("\n%s: %d examples run, %d not run%s" % (name, len(examples) - len(skipped), len(skipped),
                                                     "".join("\n  not run: " + s for s in skipped)))
    assert not failures, "examples that do not run as shown:\n\n" + "\n\n".join(failures)


def test_every_page_with_an_example_is_seen():
    # A page whose examples this test could not find is a fault of the test.
    total = sum(len(examples_of(n, p)) for n, p in PAGES)
    assert any(n == "README.md" for n, _ in PAGES) and any(n.startswith("man/") for n, _ in PAGES)
    assert total >= 20, "only %d examples found" % total
