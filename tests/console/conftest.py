"""Fixtures of the console tests: a hand-written run and its console in a process of its own."""

import pytest

from consolesupport import HandRun
from vemo.run.sideprocess import SideProcess, listen_text


def console_process(run_dir):
    """`vemo console` for a run folder on a free loopback port, as `vemo run --console` starts it."""
    return SideProcess("console", run_dir, ["--listen", listen_text("127.0.0.1", 0)], wait_exit=True,
                       what="the console")


@pytest.fixture
def hand_run(tmp_path):
    run = HandRun(tmp_path / "run")
    yield run
    run.journal.close()


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """One hand-written run with its console for the tests that only read: (run, URL)."""
    run = HandRun(tmp_path_factory.mktemp("served") / "run")
    process = console_process(run.dir)
    yield run, process.start()["url"]
    process.close()
    run.journal.close()


@pytest.fixture
def console():
    """Starts `vemo console` on a free loopback port for a run folder; returns its URL."""
    started = []

    def start(run_dir):
        process = console_process(run_dir)
        started.append(process)
        return process.start()["url"]

    yield start
    for process in started:
        process.close()
