"""Helpers of the `vemo run` tests: paths, and `vemo run` in a child process."""

import json
import os
import subprocess
import sys
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
    return subprocess.run(vemo_command(*args), env=child_env(), capture_output=True, text=True, timeout=timeout,
                          cwd=ROOT)


def load_record(path):
    return json.loads(Path(path).read_text())
