"""Puts the test doubles of the host modules (`actions`, `modules`) on the import path first; fixtures
shared by the suites."""

import os
import signal
import sys

import pytest

HOST_DIR = os.path.join(os.path.dirname(__file__), "host")
if HOST_DIR not in sys.path:
    sys.path.insert(0, HOST_DIR)


@pytest.fixture(scope="session")
def sim_binary():
    """The handler simulator program, found as `vemo run` finds it."""
    from vemo.run.simulator import SimulatorError, find_binary

    try:
        return find_binary()
    except SimulatorError as error:
        pytest.fail(str(error))


@pytest.fixture
def ctrl_c():
    """Ctrl-C for one test, also when the suite runs with SIGINT ignored (a background job, nohup, some CI
    runners): Python's default handler in this process, so SIGINT raises KeyboardInterrupt, and SIGINT at
    its default in every process the test starts, since a caught signal reverts to its default across exec
    where an ignored one stays ignored. Ask for it before any fixture that starts a process."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.fixture
def hangup():
    """SIGHUP at its default in every process the test starts, also when the suite runs with it ignored
    (nohup): a handler of its own in this process, which does nothing (as nohup would have it), since a
    caught signal reverts to its default across exec where an ignored one stays ignored. Ask for it before
    any fixture that starts a process."""
    previous = signal.signal(signal.SIGHUP, lambda signum, frame: None)
    yield
    signal.signal(signal.SIGHUP, previous)
