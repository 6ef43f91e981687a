"""Fixtures for the process tests: the GLib loop, the emulated input devices,
the UDP receiver and the program runs (always killed at teardown)."""

import gc
import os

import pytest

from keyline_harness import Agent, EmulatedInput, GLibLoop, UdpReceiver


@pytest.fixture(scope="session")
def glib_loop():
    loop = GLibLoop()
    yield loop
    loop.stop()


def built_program(variable, name):
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        pytest.fail("%s must name the built %s (got %r)" % (variable, name, path))
    return path


@pytest.fixture(scope="session")
def keyline_bin():
    return built_program("KEYLINE_BIN", "keyline-bench")


@pytest.fixture(scope="session")
def station_bin():
    return built_program("KEYLINE_STATION_BIN", "keyline-station")


@pytest.fixture(autouse=True)
def no_gc_while_running():
    # A collection inside an ioctl handler stalls the program's ticks for
    # tens of ms; collect between tests instead.
    gc.collect()
    gc.disable()
    yield
    gc.enable()
    gc.collect()


@pytest.fixture
def inputs(glib_loop):
    """An empty /dev/input; the test adds what it needs."""
    emulated = EmulatedInput()
    yield emulated
    emulated.close()


@pytest.fixture
def keyboard(inputs):
    """The usual machine: event0 with a grave key, linked from by-path."""
    inputs.add_keyboard()
    return inputs


@pytest.fixture
def receiver():
    udp = UdpReceiver()
    yield udp
    udp.close()


@pytest.fixture
def agent(keyline_bin, inputs, receiver):
    """A factory of program runs over the test's inputs; every run is killed
    at teardown if it is still alive."""
    runs = []

    def make():
        run = Agent(keyline_bin, inputs, receiver)
        runs.append(run)
        return run

    yield make
    for run in runs:
        run.kill()
