"""keyline-station --timeline and --junit: the picture and the report of a
real run with holds, a lapse, a seq problem and malformed datagrams, from a
sender whose station name is hostile markup. The picture must be valid XML
that renders (rsvg-convert always, Chromium where installed); the report
must read with a JUnit library and agree with the summary."""

import json
import shutil
import signal
import subprocess
import time
import xml.etree.ElementTree as ET

import pytest
from junitparser import Failure, JUnitXml, Skipped

from keyline_harness import Agent
from png_pixels import png_pixels
from test_station import Sender, _NoDevices

SVG = "{http://www.w3.org/2000/svg}"
# Markup, an entity, quotes and terminal escapes; keyline-station shows the
# control characters as \u00XX, and the rest must stay text.
HOSTILE = "<script>&amp;\"\x1b\x07"
HOSTILE_SHOWN = "<script>&amp;\"\\u001b\\u0007"
LAPSE_RED = (0xd6, 0x27, 0x28)


def station_run(station_bin, tmp_path, extra=()):
    files = {"svg": str(tmp_path / "run.svg"), "xml": str(tmp_path / "run.xml")}
    run = Agent(station_bin, _NoDevices(), None).start(
        ["--port", "0", "--json", "--timeline", files["svg"], "--junit", files["xml"]] + list(extra),
        stdin="devnull", port=False)
    port = int(json.loads(run.wait_line(r"listening", timeout=10))["port"])
    return run, port, files


def keep_alive(sender, seconds, ttl=600):
    for _ in range(int(seconds / 0.2)):
        sender.send(ttl)
        time.sleep(0.2)


@pytest.fixture(scope="module")
def finished_run(station_bin, tmp_path_factory):
    """Two streams: a hostile name with two held-and-released holds and two
    malformed datagrams; a plain one with a lapse, a resumed hold and a seq
    problem. Ended by SIGTERM, as a run usually is."""
    tmp = tmp_path_factory.mktemp("timeline")
    run, port, files = station_run(station_bin, tmp)
    hostile, plain = Sender(port, HOSTILE), Sender(port, "G4XYZ", "432")
    names = hostile.name, plain.name
    try:
        plain.send(600)
        keep_alive(hostile, 0.6)
        hostile.send(0)
        time.sleep(0.9)            # plain's hold lapses
        plain.send(600)            # held again
        plain.send(600)
        plain.send(600, seq=2)     # backwards (a late seq 1 would be a restart)
        hostile.raw(b"{not json")
        hostile.raw(b"\xff\xfe <svg onload=alert(1)>")
        keep_alive(hostile, 0.4)
        hostile.send(0)
        plain.send(0)
        time.sleep(0.2)
        run.signal(signal.SIGTERM)
        status = run.wait_exit()
        summary = json.loads(run.lines()[-1])
    finally:
        hostile.close()
        plain.close()
        run.kill()
    assert status == 1 and summary["event"] == "summary"
    return (files, summary) + names


def test_both_files_are_well_formed_xml(finished_run):
    files = finished_run[0]
    subprocess.run(["xmllint", "--noout", files["svg"], files["xml"]], check=True)


def test_timeline_is_self_contained_and_shows_the_hostile_name_as_text(finished_run):
    files, _, hostile_from, plain_from = finished_run
    data = open(files["svg"], "rb").read()
    root = ET.fromstring(data)
    tags = {element.tag for element in root.iter()}
    assert not tags & {SVG + "script", SVG + "a", SVG + "image", SVG + "foreignObject"}, tags
    assert b"href" not in data and b"url(" not in data and b"@import" not in data
    texts = [element.text for element in root.iter(SVG + "text")]
    assert HOSTILE_SHOWN in texts and hostile_from in texts and plain_from in texts, texts
    assert any(t and t.startswith("lapse: ") and " ms silent (ttl 600)" in t for t in texts), texts


def test_timeline_renders_with_rsvg(finished_run, tmp_path):
    png = tmp_path / "run.png"
    subprocess.run(["rsvg-convert", "-o", str(png), finished_run[0]["svg"]], check=True)
    assert_drawn(png.read_bytes())


def test_timeline_renders_in_chromium(finished_run, tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("Chromium is not installed (Debian: chromium); rsvg-convert checked the picture")
    png = tmp_path / "shot.png"
    subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--window-size=1280,520", "--screenshot=%s" % png,
                    "file://" + finished_run[0]["svg"]],
                   check=True, timeout=120, capture_output=True)
    assert_drawn(png.read_bytes())


def assert_drawn(png_bytes):
    """Not blank: much of the picture is drawn, and the lapse shows as a red
    mark across its lane (a column of red at least 40 pixels tall)."""
    width, height, pixels = png_pixels(png_bytes)
    inked = sum(1 for p in pixels if p != (255, 255, 255))
    assert inked > width * height // 50, "only %d of %d pixels drawn" % (inked, width * height)
    red_in_column = [0] * width
    for i, p in enumerate(pixels):
        if abs(p[0] - LAPSE_RED[0]) + abs(p[1] - LAPSE_RED[1]) + abs(p[2] - LAPSE_RED[2]) < 30:
            red_in_column[i % width] += 1
    assert max(red_in_column) >= 40, "no lapse mark in the picture"


def test_junit_report_reads_and_matches_the_summary(finished_run):
    files, summary, hostile_from, plain_from = finished_run
    report = JUnitXml.fromfile(files["xml"])
    suites = {suite.name: suite for suite in report}
    # Named by station and band, with no time or port: the same in every run.
    assert set(suites) == {"%s, 144" % HOSTILE_SHOWN, "G4XYZ, 432"}
    assert {p.value for s in suites.values() for p in s.properties() if p.name == "from"} == {hostile_from, plain_from}

    holds, failures = 0, {"lapse": [], "seq": [], "malformed": []}
    for suite in report:
        cases = list(suite)
        # The counts and the time on each suite are those of its cases.
        assert suite.tests == len(cases)
        assert suite.failures == sum(1 for c in cases if any(isinstance(r, Failure) for r in c.result))
        assert suite.skipped == sum(1 for c in cases if any(isinstance(r, Skipped) for r in c.result))
        assert abs(suite.time - sum(c.time for c in cases)) < 0.0015 * len(cases)
        for case in cases:
            holds += case.name.startswith("hold ")
            for result in case.result:
                failures[result.type].append(result.message)
    assert holds == summary["holds"] == 4
    assert len(failures["lapse"]) == summary["lapses"] == 1
    assert failures["lapse"][0].endswith("ms of silence with ttl_ms 600")
    assert failures["seq"] == ["seq problems: %d" % summary["seq_problems"]] == ["seq problems: 1"]
    assert failures["malformed"] == ["malformed datagrams: %d" % summary["malformed"]] == ["malformed datagrams: 2"]


@pytest.mark.parametrize("how", ["SIGINT", "SIGHUP", "--holds"])
def test_files_are_written_however_the_run_ends(station_bin, tmp_path, how):
    run, port, files = station_run(station_bin, tmp_path, ["--holds", "1"] if how == "--holds" else [])
    sender = Sender(port)
    try:
        sender.send(600)
        time.sleep(0.2)
        sender.send(0)
        if how != "--holds":
            run.wait_line(r'"event":"release"')
            run.signal(getattr(signal, how))
        assert run.wait_exit() == 0
    finally:
        sender.close()
        run.kill()
    suite, = JUnitXml.fromfile(files["xml"])
    assert [case.name for case in suite] == ["hold 1", "seq problems", "malformed datagrams"]
    assert suite.failures == 0
    ET.parse(files["svg"])


@pytest.mark.parametrize("option", ["--timeline", "--junit"])
def test_a_file_that_cannot_be_written_refuses_the_run(station_bin, option):
    run = Agent(station_bin, _NoDevices(), None).start(
        ["--port", "0", option, "/nonexistent-dir/report"], stdin="devnull", port=False)
    try:
        assert run.wait_exit() == 2
        assert run.text() == ""
        assert run.text("stderr").startswith("keyline-station: %s /nonexistent-dir/report: cannot be created" % option)
    finally:
        run.kill()
