"""cmake --install into a scratch DESTDIR and --prefix: the programs, their
man pages and the documentation, each where a Debian tool keeps it, and
nothing else."""

import gzip
import os
import subprocess

from conftest import EXPECTED_PROGRAMS, program_path

PREFIX = "/opt/keyline"


def test_install_lays_out_programs_pages_and_docs(tmp_path, build_dir):
    for name in EXPECTED_PROGRAMS:
        program_path(name)
    destdir = tmp_path / "root"
    subprocess.run(["cmake", "--install", build_dir, "--prefix", PREFIX],
                   env=dict(os.environ, DESTDIR=str(destdir)), capture_output=True, text=True,
                   timeout=120, check=True)

    installed = sorted(os.path.relpath(os.path.join(folder, f), destdir)
                       for folder, _, files in os.walk(destdir) for f in files)
    expected = sorted(["opt/keyline/bin/%s" % n for n in EXPECTED_PROGRAMS]
                      + ["opt/keyline/share/man/man1/%s.1.gz" % n for n in EXPECTED_PROGRAMS]
                      + ["opt/keyline/share/doc/keyline-bench/README.md",
                         "opt/keyline/share/doc/keyline-bench/README.Debian"])
    assert installed == expected

    root = destdir / PREFIX.lstrip("/")
    for name in EXPECTED_PROGRAMS:
        with gzip.open(root / "share/man/man1" / (name + ".1.gz"), "rt") as page:
            with open(os.path.join(os.environ["KEYLINE_MAN_DIR"], name + ".1")) as built:
                assert page.read() == built.read()
        version = subprocess.run([str(root / "bin" / name), "--version"], capture_output=True,
                                 text=True, timeout=30, stdin=subprocess.DEVNULL)
        assert (version.returncode, version.stdout.split()[0]) == (0, name)
