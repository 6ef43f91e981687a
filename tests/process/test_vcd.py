"""--vcd in both programs, read back by sigrok-cli (what PulseView uses):
the file reads to its end, the Morse decoder on the bench's KEY wire decodes
the keyed text, every datagram is a pulse of its own, the station's wires
follow its events, an existing file is never overwritten and a killed run
keeps all but its last second; senders beyond the slots are counted. GTKWave's
loader, where installed, reads every change."""

import json
import re
import shutil
import signal
import socket
import subprocess
import time

import pytest

from keyline_harness import Agent
from test_station import Station, _NoDevices

SIGROK = shutil.which("sigrok-cli")
needs_sigrok = pytest.mark.skipif(SIGROK is None, reason="sigrok-cli is not installed (scripts/setup.sh installs it)")


def sigrok(path, *args):
    r = subprocess.run([SIGROK, "-i", str(path), "-I", "vcd"] + list(args),
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0 and "rror" not in r.stderr, r.stderr
    return r.stdout


def sigrok_wires(path):
    """Every wire's (time us, level) changes, as sigrok-cli read them (its
    VCD output; Debian 12's mislabels the data of a -C selection)."""
    ids, wires = {}, {}
    for line in sigrok(path, "-O", "vcd").splitlines():
        m = re.match(r"^\$var wire 1 (\S+) (\S+) \$end$", line)
        if m:
            ids[m.group(1)] = m.group(2)
            wires[m.group(2)] = []
        elif line.startswith("#"):
            stamp, *changes = line.split(" ")
            for c in changes:
                wires[ids[c[1:]]].append((int(stamp[1:]), int(c[0])))
    return wires


def rises(changes):
    return sum(1 for i, (_, v) in enumerate(changes) if v == 1 and (i == 0 or changes[i - 1][1] == 0))


def last_stamp(path):
    stamps = [int(l[1:]) for l in open(path).read().splitlines() if l.startswith("#")]
    return stamps[-1]


@needs_sigrok
@pytest.mark.parametrize("wpm", [13, 25])
def test_bench_waveform_decodes_to_the_keyed_text(agent, receiver, tmp_path, wpm):
    path = tmp_path / "bench.vcd"
    run = agent().start(["--key-text", "CQ TEST", "--wpm", str(wpm), "--vcd", str(path)], stdin="devnull")
    assert run.wait_exit(timeout=30) == 0
    assert run.text("stderr") == ""

    header = open(path).read().split("$enddefinitions")[0]
    assert "--key-text 'CQ TEST' --wpm %d --vcd" % wpm in header

    words = sigrok(path, "-P", "morse:data=key:timeunit=%g" % (1.2 / wpm), "-A", "morse=word")
    assert [l.split(": ", 1)[1] for l in words.splitlines()] == ["cq", "test"]

    # Every datagram the receiver got is one pulse on its kind's wire; the
    # hold wire is up from the HOLD to the RELEASE.
    grams = receiver.wait_count(1, 1)
    wires = sigrok_wires(path)
    assert rises(wires["sent_hold"]) == 1
    assert rises(wires["sent_keepalive"]) == len(grams) - 2 > 0
    assert rises(wires["sent_release"]) == 1
    hold = wires["hold"]
    assert [v for _, v in hold] == [0, 1, 0]
    assert hold[1][0] == wires["sent_hold"][1][0]
    assert hold[2][0] == wires["sent_release"][1][0]


@needs_sigrok
def test_station_waveform_has_a_slot_per_sender_with_its_events(station_bin, tmp_path):
    path = tmp_path / "station.vcd"
    station = Station(station_bin, ["--vcd", str(path), "--holds", "2"])
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.bind(("127.0.0.1", 0))
    other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    other.bind(("127.0.0.1", 0))

    def gram(seq, ttl, sock=sender):
        body = {"tx_inhibit": 1, "ttl_ms": ttl, "station": "A$end B", "band": "144", "seq": seq}
        sock.sendto(json.dumps(body).encode(), ("127.0.0.1", station.port))
        time.sleep(0.05)

    gram(1, 300, other)  # the second slot's sender, heard first: s0
    gram(2, 0, other)
    gram(1, 300)
    gram(2, 300)
    gram(2, 300)  # a duplicate
    sender.sendto(b"not json", ("127.0.0.1", station.port))
    # Silence: the hold lapses, which is the hold that ends the run.
    assert station.run.wait_exit(timeout=10) == 1
    sender.close()
    other.close()

    header = open(path).read().split("$enddefinitions")[0]
    notes = re.findall(r"^  (s\d+): 127\.0\.0\.1:(\d+)(.*?) *$", header, re.M)
    assert [n[0] for n in notes] == ["s0", "s1"]
    assert 'station "A\\x24end B" band "144"' in notes[1][2]

    wires = sigrok_wires(path)
    assert rises(wires["s0_arrival"]) == 2
    assert [v for _, v in wires["s0_hold"]] == [0, 1, 0]
    assert rises(wires["s1_arrival"]) == 3
    assert rises(wires["s1_seq"]) == 1
    assert rises(wires["s1_malformed"]) == 1
    assert rises(wires["s1_lapse"]) == 1
    hold, lapse = wires["s1_hold"], wires["s1_lapse"]
    assert [v for _, v in hold] == [0, 1, 0] and hold[2][0] == lapse[1][0]
    # The lapse comes a ttl after the last arrival, not before.
    assert hold[2][0] - hold[1][0] >= 300000 + 50000 - 10000


@pytest.mark.parametrize("program", ["bench", "station"])
def test_an_existing_file_is_never_overwritten(agent, station_bin, tmp_path, program):
    path = tmp_path / "exists.vcd"
    path.write_text("precious\n")
    if program == "bench":
        run = agent().start(["--key-text", "E", "--vcd", str(path)], stdin="devnull")
    else:
        run = Agent(station_bin, _NoDevices(), None).start(
            ["--port", "0", "--vcd", str(path)], stdin="devnull", port=False)
    assert run.wait_exit(timeout=10) == 2
    assert "--vcd %s: exists already" % path in run.text("stderr")
    assert path.read_text() == "precious\n"


def test_a_killed_run_keeps_all_but_its_last_second(agent, receiver, tmp_path):
    path = tmp_path / "killed.vcd"
    run = agent().start(["--key-text", "E", "--repeat", "0", "--vcd", str(path)], stdin="devnull")
    run.wait_line(r"KEY ASSERT", timeout=10)
    started = time.monotonic()
    time.sleep(3)
    run.signal(signal.SIGKILL)
    ran_us = (time.monotonic() - started) * 1e6
    run.wait_exit(timeout=10)
    assert last_stamp(path) >= ran_us - 1.5e6


@pytest.mark.skipif(shutil.which("vcd2fst") is None or shutil.which("fst2vcd") is None,
                    reason="GTKWave's vcd2fst and fst2vcd are not installed (Debian: gtkwave)")
def test_gtkwave_reads_every_change_despite_a_hostile_argument(agent, tmp_path):
    path, fst = tmp_path / "hostile.vcd", tmp_path / "hostile.fst"
    run = agent().start(["--key-text", "EE", "--station", "$end $enddefinitions",
                         "--vcd", str(path)], stdin="devnull")
    assert run.wait_exit(timeout=20) == 0
    subprocess.run(["vcd2fst", str(path), str(fst)], check=True, capture_output=True, timeout=60)
    back = subprocess.run(["fst2vcd", str(fst)], check=True, capture_output=True, text=True,
                          timeout=60).stdout

    def changes(text):
        body = text.split("$enddefinitions", 1)[1].splitlines()
        return [l for l in body if l[:1] in ("0", "1", "#")]

    ours = changes(path.read_text())
    assert len(changes(back)) == len(ours) > 20
    assert changes(back)[-1] == ours[-1]


@needs_sigrok
def test_senders_beyond_the_slots_are_counted_not_drawn(station_bin, tmp_path):
    path = tmp_path / "many.vcd"
    station = Station(station_bin, ["--vcd", str(path), "--duration", "1.5"])
    socks = []
    for i in range(18):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        body = {"tx_inhibit": 1, "ttl_ms": 0, "station": "S%d" % i, "band": "2", "seq": 1}
        s.sendto(json.dumps(body).encode(), ("127.0.0.1", station.port))
        socks.append(s)
        time.sleep(0.01)
    assert station.run.wait_exit(timeout=10) == 0
    for s in socks:
        s.close()

    header = open(path).read().split("$enddefinitions")[0]
    assert re.findall(r'^  s(\d+): .* station "S(\d+)"', header, re.M) == [(str(i), str(i)) for i in range(16)]
    assert "Senders beyond s15, not drawn: 2" in header
    assert "Senders beyond s15, not drawn: 2" in station.run.text("stderr")
    wires = sigrok_wires(path)
    assert all(rises(wires["s%d_arrival" % i]) == 1 for i in range(16))
