"""The rooms' arrows run one way. The programs' rooms (app/ with
app/station/, and conform/) wire; the reporters (report/) hang off the
events; everything else decides and includes nothing from either. A reporter
never reaches back into the wiring. And no unit, in any room, includes one
that includes it back, however long the way round."""

import os
import re

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
PROGRAMS = ("app", "conform")
REPORTERS = "report"


def includes(source_dir):
    """Every source file below a room (its subfolders too) -> what it includes."""
    found = {}
    for room in os.listdir(source_dir):
        folder = os.path.join(source_dir, room)
        if not os.path.isdir(folder) or room.startswith((".", "build")) or room == "tests":
            continue
        for here, _, names in os.walk(folder):
            for name in names:
                if name.endswith((".h", ".cpp")):
                    path = os.path.join(here, name)
                    with open(path, encoding="utf-8") as f:
                        found[os.path.relpath(path, source_dir)] = INCLUDE.findall(f.read())
    return found


def room(path):
    return path.split("/")[0]


def wrong_includes(found):
    wrong = []
    for f, incs in found.items():
        if room(f) in PROGRAMS:
            continue
        forbidden = PROGRAMS if room(f) == REPORTERS else PROGRAMS + (REPORTERS,)
        wrong += ["%s -> %s" % (f, inc) for inc in incs if room(inc) in forbidden]
    return wrong


def include_loops(found):
    # A unit is a header with its source: fault_plan.cpp including
    # inhibit_sender.h while inhibit_sender.cpp includes fault_plan.h is a
    # loop, and so is a longer way round through other units.
    uses = {}
    for f, incs in found.items():
        unit = os.path.splitext(f)[0]
        uses.setdefault(unit, set()).update(os.path.splitext(i)[0] for i in incs if i.endswith(".h"))
    loops, state = [], {}

    def visit(unit, path):
        state[unit] = "open"
        for used in sorted(uses.get(unit, ())):
            if used == unit or used not in uses:
                continue
            if state.get(used) == "open":
                loops.append(" -> ".join(path[path.index(used):] + [used]))
            elif used not in state:
                visit(used, path + [used])
        state[unit] = "done"

    for unit in sorted(uses):
        if unit not in state:
            visit(unit, [unit])
    return loops


def test_the_deciding_code_includes_no_reporter_and_no_wiring(source_dir):
    found = includes(source_dir)
    assert any(room(f) == REPORTERS for f in found)
    assert any(f.startswith("app/station/") for f in found)
    assert wrong_includes(found) == []


def test_no_unit_includes_one_that_includes_it_back(source_dir):
    assert include_loops(includes(source_dir)) == []


def test_the_checks_see_what_they_look_for():
    # The two faults this check was written for, and a loop of three, must
    # be seen: a check that cannot fail is no check.
    found = {
        "hold/fault_plan.cpp": ["hold/fault_plan.h", "hold/inhibit_sender.h"],
        "hold/inhibit_sender.cpp": ["hold/inhibit_sender.h", "hold/fault_plan.h"],
        "app/agent_options.cpp": ["app/agent_options.h", "app/cw_options.h"],
        "app/cw_options.cpp": ["app/cw_options.h", "app/agent_options.h"],
        "station/a.h": ["station/b.h"], "station/b.h": ["station/c.h"], "station/c.h": ["station/a.h"],
        "monitor/keying_monitor.cpp": ["report/bench_text.h"],
        "report/run_reports.cpp": ["app/station/station_options.h"],
        "conform/conform_vcd.h": ["report/vcd_writer.h"],
    }
    assert sorted(wrong_includes(found)) == [
        "monitor/keying_monitor.cpp -> report/bench_text.h",
        "report/run_reports.cpp -> app/station/station_options.h"]
    assert sorted(include_loops(found)) == [
        "app/agent_options -> app/cw_options -> app/agent_options",
        "hold/fault_plan -> hold/inhibit_sender -> hold/fault_plan",
        "station/a -> station/b -> station/c -> station/a"]


def test_each_program_s_entry_point_stays_short(source_dir):
    # main builds what the options ask for and wires it; the work is in
    # units with one job each.
    for main in ("app/main.cpp", "app/station/main.cpp"):
        with open(os.path.join(source_dir, main), encoding="utf-8") as f:
            assert len(f.read().splitlines()) < 200, main
