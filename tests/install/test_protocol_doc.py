"""docs/TX_INHIBIT.md and the programs agree: every number both hold is read
from the document and compared with what the programs do or say (their
--help, their banner, their datagrams, their hang), or, where only the code
holds it, with the code's constant."""

import glob
import json
import os
import re
import socket
import subprocess

import pytest

from conftest import program_path

RUN_TIMEOUT_S = 30


def doc_text(source_dir):
    with open(os.path.join(source_dir, "docs", "TX_INHIBIT.md"), encoding="utf-8") as f:
        return f.read()


def flat(text):
    """The text with every run of white space as one blank, so that a phrase
    may wrap anywhere in the document."""
    return re.sub(r"\s+", " ", text)


def doc_number(source_dir, pattern):
    found = re.search(pattern, flat(doc_text(source_dir)))
    assert found, "docs/TX_INHIBIT.md no longer says: %s" % pattern
    return found.groups()


@pytest.fixture(scope="module")
def doc(source_dir):
    """The numbers and names the document states, each from its one rule."""
    text = doc_text(source_dir)
    return {
        "keepalive_ms": int(doc_number(source_dir, r"MUST send a KEEPALIVE every (\d+) ms")[0]),
        "ttl": tuple(int(x) for x in doc_number(
            source_dir, r"\(`--ttl-ms`\), (\d+) by default and (\d+)\.\.(\d+)")),
        "payload_bytes": int(doc_number(source_dir, r"MUST NOT be longer than (\d+) bytes")[0]),
        "hang": doc_number(source_dir, r"that is ([\d.]+) dits of the running dit estimate, "
                                       r"rounded to the millisecond and bounded to (\d+)\.\.(\d+) ms"),
        "continuous_ms": int(doc_number(source_dir, r"a first mark of (\d+) ms or more from idle")[0]),
        "fields": re.findall(r"^\| `(\w+)` \| (?:number|string) \|", text, re.MULTILINE),
        "section3": re.search(r"^## 3\. (.+)$", text, re.MULTILINE).group(1).strip(),
    }


def sources(source_dir, *folders):
    for folder in folders:
        for path in glob.glob(os.path.join(source_dir, folder, "*.[hc]*")):
            with open(path, encoding="utf-8") as f:
                yield path, f.read()


class Run:
    """keyline-bench keyed from a script, with no keyboard, into a UDP socket
    of this test: its exit status, its output and the datagrams it sent."""

    def __init__(self, tmp_path, script, *args):
        receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        receiver.bind(("127.0.0.1", 0))
        keys = tmp_path / ("keys-%d" % len(list(tmp_path.iterdir())))
        keys.write_text(script)
        try:
            done = subprocess.run(
                [program_path("keyline-bench"), "--port", str(receiver.getsockname()[1]),
                 "--key-script", str(keys)] + list(args),
                capture_output=True, text=True, timeout=RUN_TIMEOUT_S, stdin=subprocess.DEVNULL)
            receiver.setblocking(False)
            self.datagrams = []
            while True:
                try:
                    self.datagrams.append(receiver.recv(65536))
                except BlockingIOError:
                    break
        finally:
            receiver.close()
        self.status, self.stdout, self.stderr = done.returncode, done.stdout, done.stderr


def test_section_3_is_the_one_the_programs_name(doc):
    help_text = subprocess.run([program_path("keyline-bench"), "--help"], capture_output=True,
                               text=True, timeout=RUN_TIMEOUT_S).stdout
    named = re.search(r"docs/TX_INHIBIT\.md s(\d+)\): (.+?)\.\n", help_text)
    assert named, help_text
    assert (named.group(1), named.group(2)) == ("3", doc["section3"])


def test_datagrams_banner_and_help_match_the_document(doc, tmp_path):
    default_ttl = doc["ttl"][0]
    run = Run(tmp_path, "down 50\n", "--fixed-hang-ms", "0")
    assert run.status == 0, run.stderr
    # The banner names the section and the keepalive period.
    assert "See docs/TX_INHIBIT.md s3 (%s)." % doc["section3"] in run.stdout
    assert "keepalive every %d ms" % doc["keepalive_ms"] in run.stdout
    help_text = subprocess.run([program_path("keyline-bench"), "--help"], capture_output=True,
                               text=True, timeout=RUN_TIMEOUT_S).stdout
    # Qt wraps the help to the terminal, so a phrase may break anywhere.
    assert re.search(r"--ttl-ms <ms> .{0,120}?\(default %d\)" % default_ttl, flat(help_text)), help_text

    # A HOLD and a RELEASE: the fields of the document's table, in its order.
    assert len(run.datagrams) == 2, run.datagrams
    decoded = [json.loads(d.decode("utf-8"), object_pairs_hook=list) for d in run.datagrams]
    for payload in decoded:
        assert [key for key, _ in payload] == doc["fields"]
    hold, release = (dict(p) for p in decoded)
    assert (hold["tx_inhibit"], hold["ttl_ms"], hold["seq"]) == (1, default_ttl, 1)
    assert (release["ttl_ms"], release["seq"]) == (0, 2)


def test_ttl_range_is_the_documented_one(doc, tmp_path):
    _, low, high = doc["ttl"]
    for ttl, status in ((low - 1, 2), (low, 0), (high, 0), (high + 1, 2)):
        run = Run(tmp_path, "down 20\n", "--fixed-hang-ms", "0", "--ttl-ms", str(ttl))
        assert run.status == status, (ttl, run.stderr)


def test_hang_follows_the_documented_rule(doc, tmp_path):
    factor, low, high = float(doc["hang"][0]), int(doc["hang"][1]), int(doc["hang"][2])
    long_mark = doc["continuous_ms"]
    marks = (int(low / factor / 2), int((low + high) / 2 / factor), int(high / factor) + 40,
             long_mark - 20, long_mark + 20)
    for mark in marks:
        run = Run(tmp_path, "down %d\n" % mark)
        assert run.status == 0, run.stderr
        opened = re.search(r"KEY OPEN\s+hang=(\d+)", run.stdout)
        assert opened, run.stdout
        hang = int(opened.group(1))
        if mark >= long_mark:
            assert hang == 0 and "continuous" in run.stdout, run.stdout
            continue
        # The mark as the monitor timed it seeds the dit estimate.
        dit = int(re.search(r"dit~(\d+) ms", run.stdout).group(1))
        expected = min(max(factor * dit, low), high)
        assert abs(hang - expected) <= factor * 0.5 + 1, (mark, dit, hang, expected)
        assert low <= hang <= high


def test_payload_limit_is_the_one_the_code_uses(doc, source_dir):
    # Wherever it lives, the limit is a constant whose name says PAYLOAD.
    limits = {}
    for path, text in sources(source_dir, "common", "station", "hold", "app"):
        for name, value in re.findall(r"\b(\w*PAYLOAD\w*)\s*=\s*(\d+)\b", text):
            limits[name] = int(value)
    assert limits, "no payload limit found in the sources"
    assert set(limits.values()) == {doc["payload_bytes"]}, limits


def test_keepalive_and_hang_constants_match(doc, source_dir):
    code = "\n".join(text for _, text in sources(source_dir, "hold", "monitor", "common"))
    keepalive = re.findall(r"\bKEEPALIVE\w*_MS\s*=\s*(\d+)", code)
    assert keepalive and set(map(int, keepalive)) == {doc["keepalive_ms"]}
    factor, low, high = doc["hang"]
    assert re.search(r"\bMIN_HANG\w*\s*=\s*%s\b" % low, code)
    assert re.search(r"\bMAX_HANG\w*\s*=\s*%s\b" % high, code)
    assert re.search(r"\b%s\s*\*\s*\w*dit" % re.escape(factor), code)
    assert re.search(r"\bLONG_MARK\w*\s*=\s*%d\b" % doc["continuous_ms"], code)


def test_conformance_table_is_the_programs_own(source_dir):
    """Section 6's table of scenarios names each scenario keyline-conform
    plays, in its order, with the section of the rule it checks."""
    documented = re.findall(r"^\| `([a-z-]+)` \| [^|]+ \| (\d\.\d): ", doc_text(source_dir), re.MULTILINE)
    listed = subprocess.run([program_path("keyline-conform"), "--list"], capture_output=True, text=True,
                            timeout=RUN_TIMEOUT_S, stdin=subprocess.DEVNULL, check=True).stdout
    played = re.findall(r"^([a-z-]+) +(\d\.\d) +[\d.]+ s ", listed, re.MULTILINE)
    assert documented == played
    # The whole run fits the promised budget.
    whole = float(re.search(r"^whole run: ([\d.]+) s", listed, re.MULTILINE).group(1))
    assert whole <= 90
