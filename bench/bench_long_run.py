"""A cell that runs for a week: `vemo check` of pick_place's cycle looped a million times, `vemo run` of it at
--speed 1000 (first action, memory after 100,000 and 1,000,000 actions, journal bytes per action), and a
`loop forever` run stopped after some minutes, with its report; prints figures.

    python bench/bench_long_run.py [--actions N] [--forever-minutes M]
"""

import argparse
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
ACTIONS_PER_ROUND = 12  # pick_place's cycle: 3 XAxis, 4 ZAxis, 5 Gripper actions
MARKS = (100_000, 1_000_000)


def vemo(*words):
    return [sys.executable, "-m", "vemo", *map(str, words)]


def script(folder: Path, loop: str) -> Path:
    shutil.copy(EXAMPLES / "cell.yaml", folder / "cell.yaml")
    shutil.copytree(EXAMPLES / "handler", folder / "handler")
    path = folder / "pick_place.vemo"
    path.write_text((EXAMPLES / "pick_place.vemo").read_text().replace("loop 3 times", loop))
    return path


def rss_mb(pid: int) -> float:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


class JournalCounter:
    """Counts the executed actions (action_ended lines) of a growing journal, reading only what is new."""

    def __init__(self, path: Path) -> None:
        self.path, self.offset, self.ended, self.first_start, self._rest = path, 0, 0, None, b""

    def poll(self) -> None:
        try:
            with open(self.path, "rb") as journal:
                journal.seek(self.offset)
                data = journal.read(1 << 24)
        except FileNotFoundError:
            return
        self.offset += len(data)
        data = self._rest + data
        cut = data.rfind(b"\n") + 1
        whole, self._rest = data[:cut], data[cut:]
        self.ended += whole.count(b'"event": "action_ended"')
        if self.first_start is None and b'"event": "action_started"' in whole:
            self.first_start = time.monotonic()


def bench_check(folder: Path) -> None:
    path = script(folder, "loop 1000000 times")
    start = time.perf_counter()
    result = subprocess.run(vemo("check", path), capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
    assert result.returncode == 0, result.stderr
    print(f"vemo check, pick_place looped 1,000,000 times (12,000,000 actions): {elapsed:.2f} s, "
          f"peak memory {peak:.0f} MB (target: 2 s, 200 MB)")


def bench_run(folder: Path, actions: int) -> None:
    rounds = -(-actions // ACTIONS_PER_ROUND)
    path = script(folder, f"loop {rounds} times")
    run_dir = folder / "run"
    launched = time.monotonic()
    process = subprocess.Popen(vemo("run", path, "--speed", 1000, "--plain", "--run-dir", run_dir),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    counter = JournalCounter(run_dir / "journal.jsonl")
    marks, size_at = list(m for m in MARKS if m <= actions), {}
    while process.poll() is None:
        time.sleep(0.5)
        counter.poll()
        while marks and counter.ended >= marks[0]:
            mark = marks.pop(0)
            size_at[mark] = counter.offset
            print(f"vemo run at --speed 1000: {counter.ended:,} actions done after {time.monotonic() - launched:.0f} s,"
                  f" memory {rss_mb(process.pid):.0f} MB (target: under 300 MB)", flush=True)
    counter.poll()
    stderr = process.stderr.read().decode()
    assert process.returncode == 0, stderr
    print(f"  first action {counter.first_start - launched:.2f} s after the command (target: 2 s)")
    size = (run_dir / "journal.jsonl").stat().st_size
    first = min(size_at) if size_at else 0
    grown = (size - size_at[first]) / (counter.ended - first) if size_at else size / counter.ended
    print(f"  journal: {size / 1e6:.1f} MB for {counter.ended:,} actions; it grows by {grown:.0f} bytes per executed "
          f"action (target: 350)")


def run_seconds(path: Path, folder: Path, speed: int) -> float:
    """The run's duration as its summary tells it."""
    result = subprocess.run(vemo("run", path, "--speed", speed, "--plain", "--run-dir", folder / f"run{time.time_ns()}"),
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return float(result.stdout.strip().splitlines()[-1].split(" in ")[-1].split()[0])


def bench_duration(folder: Path, rounds: int = 40, speed: int = 100, repeats: int = 5) -> None:
    """A loop made as the run goes against its rounds written out in the script (built in full)."""
    made = script(folder, f"loop {rounds} times")
    written = folder / "written.vemo"
    written.write_text(made.read_text().replace(f"main = loop {rounds} times {{ cycle }}",
                                                "main = " + " then ".join(["{ cycle }"] * rounds)))
    lazy, full = [], []
    for _ in range(repeats):  # one after the other, so that the machine's load falls on both alike
        lazy.append(run_seconds(made, folder, speed))
        full.append(run_seconds(written, folder, speed))
    lazy.sort()
    full.sort()
    print(f"duration of {rounds} rounds at --speed {speed}, median of {repeats}: loop made as the run goes "
          f"{lazy[repeats // 2]:.3f} s, rounds written out {full[repeats // 2]:.3f} s "
          f"({(lazy[repeats // 2] / full[repeats // 2] - 1) * 100:+.2f} %; target: within 1 %)")


def bench_forever(folder: Path, minutes: float) -> None:
    path = script(folder, "loop forever")
    run_dir = folder / "forever"
    # The run's output goes to a file: a pipe nobody reads would hold the run's printing, and with it the
    # main thread that folds the events for the views.
    output = open(folder / "forever.out", "w+")
    process = subprocess.Popen(vemo("run", path, "--speed", 1000, "--plain", "--run-dir", run_dir),
                               stdout=output, stderr=subprocess.STDOUT)
    counter = JournalCounter(run_dir / "journal.jsonl")
    deadline, peak = time.monotonic() + minutes * 60, 0.0
    while time.monotonic() < deadline and process.poll() is None:
        time.sleep(1.0)
        counter.poll()
        peak = max(peak, rss_mb(process.pid))
    stop = time.monotonic()
    subprocess.run(vemo("ctl", run_dir, "stop"), check=True, capture_output=True)
    process.wait(timeout=60)
    output.close()
    ended = time.monotonic() - stop
    counter.poll()
    complete = b'"event": "run_ended"' in (run_dir / "journal.jsonl").read_bytes()[-300:]
    print(f"loop forever for {minutes:g} min at --speed 1000: {counter.ended:,} actions, memory at most {peak:.0f} MB; "
          f"stopped with vemo ctl stop: exit {process.returncode} {ended:.2f} s later, the journal ends with "
          f"run_ended: {complete}")
    start = time.perf_counter()
    report = subprocess.run(vemo("report", run_dir), capture_output=True, text=True)
    print(f"  vemo report: exit {report.returncode} in {time.perf_counter() - start:.1f} s; "
          f"last line: {report.stdout.strip().splitlines()[-1] if report.stdout.strip() else report.stderr[-200:]}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--actions", type=int, default=1_000_000, help="actions of the counted run")
    parser.add_argument("--forever-minutes", type=float, default=10.0, help="how long the loop forever runs")
    args = parser.parse_args()
    signal.signal(signal.SIGINT, signal.default_int_handler)
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        for part in ("check", "duration", "run", "forever"):
            (folder / part).mkdir()
        bench_check(folder / "check")
        bench_duration(folder / "duration")
        bench_run(folder / "run", args.actions)
        bench_forever(folder / "forever", args.forever_minutes)


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    main()
