"""The Debian package: scripts/package.sh makes its own Release build and the
.deb, which is unpacked into a scratch root with dpkg-deb -x and run from
there. Slow (a whole Release build); skipped, with the reason, on a machine
without the packaging tools."""

import gzip
import os
import shutil
import subprocess

import pytest

from conftest import EXPECTED_PROGRAMS

TOOLS = ("cmake", "cpack", "dpkg-deb", "dpkg-shlibdeps", "file", "help2man", "gzip")


def deb_field(deb, field):
    return subprocess.run(["dpkg-deb", "-f", deb, field], capture_output=True, text=True,
                          timeout=30, check=True).stdout.strip()


@pytest.fixture(scope="module")
def deb(build_dir, source_dir):
    """The .deb that scripts/package.sh makes, once for this file."""
    missing = [tool for tool in TOOLS if not shutil.which(tool)]
    if missing:
        pytest.skip("cannot package here: %s not found" % ", ".join(missing))

    made = subprocess.run(["bash", os.path.join(source_dir, "scripts/package.sh"),
                           os.path.join(build_dir, "package")],
                          capture_output=True, text=True, timeout=1500,
                          stdin=subprocess.DEVNULL)
    assert made.returncode == 0, made.stderr[-4000:]
    path = made.stdout.strip().splitlines()[-1]
    assert path.endswith(".deb"), made.stdout
    return path


def test_lintian_finds_no_error_or_warning(deb):
    if not shutil.which("lintian"):
        pytest.skip("lintian not found (bash scripts/setup.sh installs it)")
    checked = subprocess.run(["lintian", "--no-cfg", deb], capture_output=True, text=True,
                             timeout=600, stdin=subprocess.DEVNULL)
    findings = [line for line in checked.stdout.splitlines() if line[:2] in ("E:", "W:")]
    assert not findings, checked.stdout + checked.stderr
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_package_installs_and_runs(tmp_path, deb):
    assert deb_field(deb, "Package") == "keyline-bench"
    assert deb_field(deb, "Maintainer").startswith("keyline-bench developers <")
    package_version = deb_field(deb, "Version")
    # Found in the binaries by dpkg-shlibdeps, with the versions they need.
    depends = deb_field(deb, "Depends")
    for library in ("libc6 (>=", "libqt5core5a (>=", "libqt5network5 (>="):
        assert library in depends, depends
    assert "usermod -aG input" in deb_field(deb, "Description")

    root = tmp_path / "root"
    subprocess.run(["dpkg-deb", "-x", deb, str(root)], timeout=60, check=True)
    doc = root / "usr/share/doc/keyline-bench"
    assert (doc / "README.Debian").is_file()
    assert (doc / "docs/TX_INHIBIT.md").is_file()
    # The licence in Debian's machine-readable form, and the changelog of
    # this very version.
    copyright_text = (doc / "copyright").read_text()
    assert copyright_text.startswith(
        "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
    assert "Copyright: 2026 the keyline-bench developers" in copyright_text
    with gzip.open(doc / "changelog.gz", "rt") as changelog:
        assert changelog.readline().startswith("keyline-bench (%s) " % package_version)
    for name in EXPECTED_PROGRAMS:
        assert (root / "usr/share/man/man1" / (name + ".1.gz")).is_file()
        version = subprocess.run([str(root / "usr/bin" / name), "--version"],
                                 capture_output=True, text=True, timeout=30,
                                 stdin=subprocess.DEVNULL)
        # The package's version is the one each program says it is.
        assert (version.returncode, version.stdout.split()) == (0, [name, package_version])
