"""Fixtures of the console tests: a hand-written run and its console in a process of its own."""

import pytest

from consolesupport import HandRun
from vemo.run.console.launcher import ConsoleProcess


@pytest.fixture
def hand_run(tmp_path):
    run = HandRun(tmp_path / "run")
    yield run
    run.journal.close()


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """One hand-written run with its console for the tests that only read: (run, URL)."""
    run = HandRun(tmp_path_factory.mktemp("served") / "run")
    process = ConsoleProcess(run.dir, "127.0.0.1", 0)
    yield run, process.start()
    process.close()
    run.journal.close()


@pytest.fixture
def console():
    """Starts `vemo console` on a free loopback port for a run folder; returns its URL."""
    started = []

    def start(run_dir):
        process = ConsoleProcess(run_dir, "127.0.0.1", 0)
        started.append(process)
        return process.start()

    yield start
    for process in started:
        process.close()
