"""cmake --install into a scratch DESTDIR and --prefix: the programs, their
man pages and the documentation, each where a Debian tool keeps it, and
nothing else."""

import gzip
import os
import subprocess

from conftest import EXPECTED_PROGRAMS, program_path

PREFIX = "/opt/keyline"


def shipped_docs(source_dir):
    """The guides under docs/ that the install ships beside the README."""
    docs = os.path.join(source_dir, "docs")
    return sorted(os.path.relpath(os.path.join(folder, f), docs)
                  for folder, _, files in os.walk(docs) for f in files
                  if f.endswith((".md", ".svg", ".png")))


def test_install_lays_out_programs_pages_and_docs(tmp_path, build_dir, source_dir):
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
                      + ["opt/keyline/share/doc/keyline-bench/" + f
                         for f in ("README.md", "README.Debian", "copyright", "changelog.gz")]
                      + ["opt/keyline/share/doc/keyline-bench/docs/" + f
                         for f in shipped_docs(source_dir)])
    assert installed == expected

    root = destdir / PREFIX.lstrip("/")
    for name in EXPECTED_PROGRAMS:
        with gzip.open(root / "share/man/man1" / (name + ".1.gz"), "rt") as page:
            with open(os.path.join(os.environ["KEYLINE_MAN_DIR"], name + ".1")) as built:
                assert page.read() == built.read()
        version = subprocess.run([str(root / "bin" / name), "--version"], capture_output=True,
                                 text=True, timeout=30, stdin=subprocess.DEVNULL)
        assert (version.returncode, version.stdout.split()[0]) == (0, name)
