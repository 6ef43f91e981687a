"""The rooms' arrows run one way: the deciding code (monitor/, hold/,
input/, morse/, common/) includes nothing from the reporters (report/) or
the wiring (app/), and below app/ no unit includes one that includes it
back."""

import os
import re

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
DECIDING = ("monitor", "hold", "input", "morse", "common")


def includes(source_dir):
    found = {}
    for room in os.listdir(source_dir):
        folder = os.path.join(source_dir, room)
        if not os.path.isdir(folder) or room.startswith((".", "build")) or room == "tests":
            continue
        for name in os.listdir(folder):
            if name.endswith((".h", ".cpp")):
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    found["%s/%s" % (room, name)] = INCLUDE.findall(f.read())
    return found


def test_the_deciding_code_includes_no_reporter_and_no_wiring(source_dir):
    found = includes(source_dir)
    assert any(f.startswith("report/") for f in found)
    wrong = ["%s -> %s" % (f, inc) for f, incs in found.items() if f.split("/")[0] in DECIDING
             for inc in incs if inc.startswith(("report/", "app/"))]
    assert wrong == []


def test_no_unit_includes_one_that_includes_it_back(source_dir):
    # A unit is a header with its source: fault_plan.cpp including
    # inhibit_sender.h while inhibit_sender.cpp includes fault_plan.h is a loop.
    uses = {}
    for f, incs in includes(source_dir).items():
        if f.split("/")[0] not in DECIDING + ("report",):
            continue
        unit = os.path.splitext(f)[0]
        uses.setdefault(unit, set()).update(os.path.splitext(i)[0] for i in incs if i.endswith(".h"))
    loops = ["%s <-> %s" % (a, b) for a, used in uses.items() for b in used
             if a < b and a in uses.get(b, ())]
    assert loops == []
