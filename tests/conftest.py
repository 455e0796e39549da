"""Puts the test doubles of the host modules (`actions`, `modules`) on the import path first; fixtures
shared by the suites."""

import os
import signal
import sys

import pytest

HOST_DIR = os.path.join(os.path.dirname(__file__), "host")
if HOST_DIR not in sys.path:
    sys.path.insert(0, HOST_DIR)

# Processes the tests start (`vemo run`, a pytest of its own) inherit PYTHONPATH, many from a test's own
# folder: a relative entry (`make asan` gives build/asan/python:.) would name nothing there, and the child
# would import an installed copy instead of this tree and its build. The entries are made absolute here,
# before any test moves.
if os.environ.get("PYTHONPATH"):
    os.environ["PYTHONPATH"] = os.pathsep.join(os.path.abspath(entry) if entry else entry
                                               for entry in os.environ["PYTHONPATH"].split(os.pathsep))


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
