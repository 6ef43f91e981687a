"""The Debian package: scripts/package.sh makes its own Release build and the
.deb, which is unpacked into a scratch root with dpkg-deb -x and run from
there. Slow (a whole Release build); skipped, with the reason, on a machine
without the packaging tools."""

import os
import shutil
import subprocess

import pytest

from conftest import EXPECTED_PROGRAMS

TOOLS = ("cmake", "cpack", "dpkg-deb", "dpkg-shlibdeps", "file", "help2man", "gzip")


def deb_field(deb, field):
    return subprocess.run(["dpkg-deb", "-f", deb, field], capture_output=True, text=True,
                          timeout=30, check=True).stdout.strip()


def test_package_installs_and_runs(tmp_path, build_dir, source_dir):
    missing = [tool for tool in TOOLS if not shutil.which(tool)]
    if missing:
        pytest.skip("cannot package here: %s not found" % ", ".join(missing))

    made = subprocess.run(["bash", os.path.join(source_dir, "scripts/package.sh"),
                           os.path.join(build_dir, "package")],
                          capture_output=True, text=True, timeout=1700,
                          stdin=subprocess.DEVNULL)
    assert made.returncode == 0, made.stderr[-4000:]
    deb = made.stdout.strip().splitlines()[-1]
    assert deb.endswith(".deb"), made.stdout

    assert deb_field(deb, "Package") == "keyline-bench"
    package_version = deb_field(deb, "Version")
    # Found in the binaries by dpkg-shlibdeps, with the versions they need.
    depends = deb_field(deb, "Depends")
    for library in ("libc6 (>=", "libqt5core5a (>=", "libqt5network5 (>="):
        assert library in depends, depends
    assert "usermod -aG input" in deb_field(deb, "Description")

    root = tmp_path / "root"
    subprocess.run(["dpkg-deb", "-x", deb, str(root)], timeout=60, check=True)
    assert (root / "usr/share/doc/keyline-bench/README.Debian").is_file()
    for name in EXPECTED_PROGRAMS:
        assert (root / "usr/share/man/man1" / (name + ".1.gz")).is_file()
        version = subprocess.run([str(root / "usr/bin" / name), "--version"],
                                 capture_output=True, text=True, timeout=30,
                                 stdin=subprocess.DEVNULL)
        # The package's version is the one each program says it is.
        assert (version.returncode, version.stdout.split()) == (0, [name, package_version])
