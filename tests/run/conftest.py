"""Fixtures of the `vemo run` tests: a loopback address per test and simulators on it."""

import itertools
import os

import pytest

from runsupport import HANDLER_SETTINGS
from vemo.run.simulator import Simulator, ports_free

# The handler ports are fixed: every test gets a loopback address of its own, skipping any whose ports
# another process holds. The second octet keeps concurrent test runs apart, below the embedded simulator's
# range (127.100 and up).
_hosts = itertools.count(1)
_block = 2 + os.getpid() % 90


@pytest.fixture(autouse=True)
def in_own_directory(tmp_path, monkeypatch):
    """Each test runs in a folder of its own, where `vemo run` puts its default run folder runs/."""
    monkeypatch.chdir(tmp_path)


@pytest.fixture
def address():
    for n in _hosts:
        if n > 2_000:
            pytest.fail("no free loopback address left for the run tests")
        candidate = f"127.{_block}.{n // 250}.{n % 250 + 1}"
        if ports_free(candidate):
            return candidate


@pytest.fixture
def simulator(sim_binary, address):
    """Starts a simulator on the test's address with given settings; stops it after the test."""
    started = []

    def start(settings=HANDLER_SETTINGS, time_scale=20.0):
        sim = Simulator(settings, address=address, time_scale=time_scale, binary=sim_binary)
        started.append(sim)
        return sim.start()

    yield start
    for sim in started:
        sim.stop()

