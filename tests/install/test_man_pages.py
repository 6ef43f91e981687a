"""The man pages the build generates: every option of --help is in the page,
the sections are there in order, groff renders them without a warning, and
the hand-written text names only options the programs have."""

import os
import re
import subprocess

import pytest

from conftest import EXPECTED_PROGRAMS, help_options, program_path

SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES", "EXAMPLES",
            "COPYRIGHT", "SEE ALSO"]


def page_path(name):
    path = os.path.join(os.environ["KEYLINE_MAN_DIR"], name + ".1")
    assert os.path.isfile(path), "no man page at %s" % path
    return path


def render(name):
    """The page as plain text: no hyphenation, no bold or underline, long
    lines, so that an option is always one unbroken word."""
    result = subprocess.run(
        ["groff", "-man", "-Tascii", "-rHY=0", "-rLL=200n", "-P-c", "-P-b", "-P-o", "-P-u",
         page_path(name)], capture_output=True, text=True, timeout=30, check=True)
    return result.stdout


def sections(text):
    """{heading: body} of the rendered page, headings in order."""
    found = {}
    current = None
    for line in text.splitlines():
        if re.match(r"[A-Z][A-Z ]+$", line):
            current = line.strip()
            found[current] = ""
        elif current:
            found[current] += line + "\n"
    return found


def named(option, text):
    return re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(option), text) is not None


@pytest.mark.parametrize("name", EXPECTED_PROGRAMS)
def test_every_option_of_help_is_in_the_options_section(name):
    options_text = sections(render(name)).get("OPTIONS", "")
    missing = [o for o in help_options(program_path(name)) if not named(o, options_text)]
    assert not missing, "options of --help missing from the page: %s" % missing


@pytest.mark.parametrize("name", EXPECTED_PROGRAMS)
def test_page_has_its_sections_in_order(name):
    found = sections(render(name))
    assert list(found) == SECTIONS
    assert "MIT licence" in found["COPYRIGHT"]


@pytest.mark.parametrize("name", EXPECTED_PROGRAMS)
def test_page_renders_without_warnings(name):
    result = subprocess.run(["groff", "-ww", "-z", "-man", page_path(name)],
                            capture_output=True, text=True, timeout=30)
    assert (result.returncode, result.stderr) == (0, "")


def test_pages_name_only_options_the_programs_have():
    known = set()
    for name in EXPECTED_PROGRAMS:
        known.update(help_options(program_path(name)))
    for name in EXPECTED_PROGRAMS:
        mentioned = set(re.findall(r"(?<![\w-])--[a-z][\w-]*", render(name)))
        assert not mentioned - known, "%s.1 names options no program has: %s" % (
            name, sorted(mentioned - known))
