"""scripts/demo.sh with the programs of this build: keyline-station on a free
port, keyline-bench keying CQ TEST into it with no keyboard and no terminal,
both programs' lines interleaved with their names, the station's summary
last and zero problems (exit status 0)."""

import os
import subprocess

from conftest import program_path

BENCH = "bench   | "
STATION = "station | "


def test_demo_runs_to_the_station_summary(source_dir):
    env = dict(os.environ, KEYLINE_BENCH_BIN=program_path("keyline-bench"),
               KEYLINE_STATION_BIN=program_path("keyline-station"))
    result = subprocess.run(["bash", os.path.join(source_dir, "scripts/demo.sh")], env=env,
                            capture_output=True, text=True, timeout=90,
                            stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stdout + result.stderr

    lines = result.stdout.splitlines()
    assert all(line.startswith((BENCH, STATION)) for line in lines), lines
    bench = [line[len(BENCH):] for line in lines if line.startswith(BENCH)]
    station = [line[len(STATION):].lower() for line in lines if line.startswith(STATION)]

    # keyline-bench keyed the text and quit by itself after its last RELEASE.
    assert any("HOLD" in line for line in bench), bench
    assert "RELEASE" in bench[-2] and bench[-1] == "quit", bench
    # The station saw the holds end, and its summary comes last.
    assert any("hold" in line for line in station), station
    assert any("release" in line for line in station), station
    assert lines[-1].startswith(STATION), lines[-3:]
