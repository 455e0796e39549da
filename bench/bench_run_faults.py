"""`vemo run` when its handler dies or hangs: time from the fault to handler_lost in the journal and to the exit; prints
figures."""

import json
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from vemo.run.simulator import Simulator, free_loopback_address  # noqa: E402

SCRIPT = ROOT / "examples" / "pick_place.vemo"
SETTINGS = ROOT / "examples" / "handler" / "cell.yaml"
REPEATS = 10


def events(path):
    """The whole lines of a journal that is still being written."""
    try:
        lines = path.read_bytes().split(b"\n")[:-1]
    except FileNotFoundError:
        return []
    return [json.loads(line) for line in lines if line.strip()]


def poll(condition, timeout=30.0, step=0.005):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = condition()
        if found:
            return found
        time.sleep(step)
    raise RuntimeError("timed out")


def one_loss(fault, folder):
    """fault: "embedded" (the embedded simulator killed), "server" (a handler server killed) or "frozen"
    (a handler server stopped with SIGSTOP: alive but silent)."""
    embedded = fault == "embedded"
    run_dir = folder / f"run-{time.monotonic_ns()}"
    server = None
    if embedded:
        where = ["--sim-address", free_loopback_address()]
    else:
        server = Simulator(SETTINGS, address=free_loopback_address()).start()
        where = ["--server", server.address]
    process = subprocess.Popen([sys.executable, "-m", "vemo", "run", str(SCRIPT), *where, "--run-dir", str(run_dir)],
                               cwd=folder, env=dict(os.environ, PYTHONPATH=str(ROOT)), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    journal = run_dir / "journal.jsonl"
    try:
        seen = poll(lambda: (lambda e: e if sum(x["event"] == "action_started" for x in e) >= 3 else None)(events(journal)))
        time.sleep(random.uniform(0, 0.5))  # anywhere in the watch's probe cycle
        killed = time.monotonic()
        os.kill(seen[0]["simulator_pid"] if embedded else server.process.pid,
                signal.SIGSTOP if fault == "frozen" else signal.SIGKILL)
        poll(lambda: any(e["event"] == "handler_lost" for e in events(journal)), step=0.002)
        noticed = time.monotonic() - killed
        process.wait(30)
        ended = time.monotonic() - killed
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(10)
        if server is not None:
            os.kill(server.process.pid, signal.SIGCONT)
            server.stop()
    return noticed, ended, process.returncode


def main():
    with tempfile.TemporaryDirectory() as folder:
        for fault in ("embedded", "server", "frozen"):
            results = [one_loss(fault, Path(folder)) for _ in range(REPEATS)]
            noticed = [r[0] for r in results]
            ended = [r[1] for r in results]
            print(f"{fault:<9} fault -> handler_lost: median {statistics.median(noticed):.2f} s, max "
                  f"{max(noticed):.2f} s; fault -> exit: median "
                  f"{statistics.median(ended):.2f} s, max {max(ended):.2f} s; exit codes {sorted({r[2] for r in results})} "
                  f"({REPEATS} runs)")


if __name__ == "__main__":
    main()
