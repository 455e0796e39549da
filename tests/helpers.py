"""Helpers shared by the test suites."""

import os
import subprocess
import sys
import time

TESTS_DIR = os.path.dirname(__file__)


def wait_until(predicate, timeout=5.0, interval=0.01):
    """Polls `predicate` until it holds; fails the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"condition not reached within {timeout} s")
        time.sleep(interval)


def run_python(code, *, timeout=30, extra_path=(), flags=()):
    """Runs `code` in a fresh interpreter with the test host on its path; returns the completed process."""
    env = dict(os.environ)
    path = [*extra_path, os.path.join(TESTS_DIR, "host"), env.get("PYTHONPATH", "")]
    env["PYTHONPATH"] = os.pathsep.join(p for p in path if p)
    return subprocess.run([sys.executable, *flags, "-c", code], env=env, capture_output=True, text=True,
                          timeout=timeout)
