"""Fixtures of the `vemo run` tests: a loopback address per test and simulators on it."""

import itertools

import pytest

from runsupport import HANDLER_SETTINGS
from vemo.run.simulator import Simulator, ports_free

# The handler ports are fixed: every test gets an address 127.0.0.N of its own, skipping any whose ports
# another process holds.
_hosts = itertools.count(200)


@pytest.fixture(autouse=True)
def in_own_directory(tmp_path, monkeypatch):
    """Each test runs in a folder of its own, where `vemo run` puts its default run folder runs/."""
    monkeypatch.chdir(tmp_path)


@pytest.fixture
def address():
    for n in _hosts:
        if n > 254:
            pytest.fail("no free 127.0.0.N address left for the run tests")
        candidate = f"127.0.0.{n}"
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

