"""Fixtures for the tests of what is installed: the programs this build
defines, their options as their own --help lists them, and the build and
source folders."""

import os
import re
import subprocess

import pytest

# Every program the project installs; a build that lacks one fails here.
EXPECTED_PROGRAMS = ("keyline-bench", "keyline-station", "keyline-conform")


def built_programs():
    """{name: path} of the programs of this build (KEYLINE_PROGRAMS)."""
    pairs = [p for p in os.environ.get("KEYLINE_PROGRAMS", "").split(",") if p]
    return dict(pair.split("=", 1) for pair in pairs)


def help_options(program_path):
    """Every option name (-x and --long) in the options list of --help."""
    result = subprocess.run([program_path, "--help"], capture_output=True, text=True,
                            timeout=30, stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr
    options = []
    for line in result.stdout.splitlines():
        # Qt lists each option as two spaces, its names, then its text.
        if not re.match(r"  -", line):
            continue
        names = re.split(r"\s{2,}", line.strip())[0]
        options += re.findall(r"(?<![\w-])--?[A-Za-z0-9][\w-]*", names)
    assert options, "no option found in the --help of %s" % program_path
    return options


def program_path(name):
    path = built_programs().get(name)
    if not path:
        pytest.fail("%s is not built here" % name)
    return path


@pytest.fixture(scope="session")
def build_dir():
    return os.environ["KEYLINE_BUILD_DIR"]


@pytest.fixture(scope="session")
def source_dir():
    return os.environ["KEYLINE_SOURCE_DIR"]
