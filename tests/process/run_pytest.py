"""Runs pytest on the given test files and leaves with pytest's exit status.

Meant to run under umockdev-wrapper (re-executes itself under it if not).
The wrapped interpreter may crash while tearing down at exit, so the process
leaves with os._exit as soon as pytest is done, after flushing its output."""

import gc
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def under_umockdev():
    return "umockdev-preload" in os.environ.get("LD_PRELOAD", "")


def main():
    if not under_umockdev():
        wrapper = shutil.which("umockdev-wrapper")
        if not wrapper:
            sys.stderr.write("run_pytest.py: umockdev-wrapper not found\n")
            return 2
        os.execv(wrapper, [wrapper, sys.executable, os.path.abspath(__file__)] + sys.argv[1:])

    # Keep the source tree clean: no bytecode, no pytest cache.
    sys.dont_write_bytecode = True
    sys.path.insert(0, HERE)
    gc.disable()  # conftest collects between tests

    import pytest

    args = sys.argv[1:] or [HERE]
    status = pytest.main(["-p", "no:cacheprovider", "-v", "-rs", "--rootdir", HERE] + args)
    sys.stdout.flush()
    sys.stderr.flush()
    return int(status)


if __name__ == "__main__":
    os._exit(main())
