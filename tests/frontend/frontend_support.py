"""Runs the front end in child processes: the runtime fixes its host modules once per process."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"

# Tests of what needs a script with a loop without end compiled (`vemo check`, the language server's checks)
# while the front end does not compile one yet. Strict: once it does, they fail as unexpected passes, and
# this mark is to be dropped from them.
ENDLESS_NOT_COMPILED = pytest.mark.xfail(strict=True, reason="the front end does not compile `loop forever` yet")


def _extension_dir(name):
    spec = importlib.util.find_spec(name)
    return None if spec is None or spec.origin is None else str(Path(spec.origin).parent)


def runtime_has(*names):
    return all(_extension_dir(name) is not None for name in names)


def child_env():
    paths = [str(ROOT)] + sorted({d for d in map(_extension_dir, ("_vemoaction", "_vemomodule", "compiler")) if d})
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def run_python(code, timeout=60):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout,
                          env=child_env(), cwd=ROOT)


def run_vemo(*args, timeout=60):
    return subprocess.run([sys.executable, "-m", "vemo", *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, env=child_env(), cwd=ROOT)
