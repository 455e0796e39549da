"""Puts the test doubles of the host modules (`actions`, `modules`) on the import path first; fixtures
shared by the suites."""

import os
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
