"""Helpers of the `vemo run` tests: paths, and `vemo run` in a child process."""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
HANDLER_SETTINGS = EXAMPLES / "handler" / "cell.yaml"


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (env.get("PYTHONPATH", ""), str(ROOT)) if p)
    return env


def vemo_command(*args):
    return [sys.executable, "-m", "vemo", *map(str, args)]


def run_vemo(*args, timeout=60):
    """`vemo ARGS` in the current directory (each run test has its own, where runs/ lands)."""
    return subprocess.run(vemo_command(*args), env=child_env(), capture_output=True, text=True, timeout=timeout)


def load_record(path):
    return json.loads(Path(path).read_text())


def start_vemo(*args):
    """`vemo ARGS` in the background, its output collected on pipes."""
    return subprocess.Popen(vemo_command(*args), env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


def journal_events(run_dir):
    from vemo.run.journal import read_journal

    return read_journal(Path(run_dir) / "journal.jsonl")[0]


def wait_for_journal(run_dir, done, timeout=30.0):
    """The run's events once `done(events)` holds, reading its journal as it grows (every 50 ms)."""
    from vemo.run.journal import JournalError

    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            events = journal_events(run_dir)
        except JournalError:  # not there yet, or still empty
            events = []
        if events and done(events):
            return events
        time.sleep(0.05)
    raise AssertionError(f"the journal in {run_dir} did not get there within {timeout} s")


def started(events, module=None):
    return [e for e in events if e["event"] == "action_started" and module in (None, e["module"])]


def stop_process(process):
    if process.poll() is None:
        process.kill()
        process.wait(10)


def fake_handler_server(address, **options):
    """The handler tests' fake server (answers what it is told to, publishes what it is told to)."""
    sys.path.insert(0, str(ROOT / "tests" / "handler"))
    try:
        from kinra_fake_server import FakeHandlerServer
    finally:
        sys.path.remove(str(ROOT / "tests" / "handler"))
    return FakeHandlerServer(address, **options)
