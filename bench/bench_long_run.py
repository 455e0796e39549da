"""A cell that runs for a week: `vemo check` of pick_place's cycle looped a million times, `vemo run` of it at
--speed 1000 (first action, memory after 100,000 and 1,000,000 actions, journal bytes per action), and a
`loop forever` run stopped after some minutes, its output held or taken, with its report; prints figures.

    python bench/bench_long_run.py [--actions N] [--forever-minutes M] [--only PART]
"""

import argparse
import contextlib
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


def peak_of(command: list[str]) -> tuple[subprocess.CompletedProcess, float, float]:
    """The command's result, seconds and peak memory (MB, its RSS polled every 50 ms)."""
    start, peak = time.perf_counter(), 0.0
    with tempfile.TemporaryFile("w+") as out:
        process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, text=True)
        while process.poll() is None:
            peak = max(peak, rss_mb(process.pid))
            time.sleep(0.05)
        out.seek(0)
        result = subprocess.CompletedProcess(command, process.returncode, out.read())
    return result, time.perf_counter() - start, peak


def bench_forever(folder: Path, minutes: float, held: bool) -> None:
    """With `held`, the run's output goes to a pipe read only once the run has ended, as a terminal held
    with Ctrl-S takes it; else to a file."""
    folder = folder / ("held" if held else "file")
    folder.mkdir()
    path = script(folder, "loop forever")
    run_dir = folder / "run"
    output = subprocess.PIPE if held else open(folder / "forever.out", "w+")
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
    journal = run_dir / "journal.jsonl"
    while b'"event": "run_ended"' not in journal.read_bytes()[-300:] and time.monotonic() < stop + 60:
        time.sleep(0.05)
    ended = time.monotonic() - stop
    shown = process.stdout.read().count(b"\n") if held else None
    process.wait(timeout=60)
    if not held:
        output.close()
    counter.poll()
    print(f"loop forever for {minutes:g} min at --speed 1000, output {'held' if held else 'to a file'}: "
          f"{counter.ended:,} actions, memory at most {peak:.0f} MB; stopped with vemo ctl stop: run_ended "
          f"{ended:.2f} s later, exit {process.returncode}" + (f"; {shown:,} lines shown" if held else ""))
    if held:
        return
    for outputs in ((), ("--record", folder / "record.json")):
        report, seconds, peak = peak_of(vemo("report", run_dir, *outputs))
        lines = report.stdout.strip().splitlines()
        print(f"  vemo report{' --record' if outputs else ''}: exit {report.returncode} in {seconds:.1f} s, memory at "
              f"most {peak:.0f} MB; last line: {lines[-1] if lines else ''}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--actions", type=int, default=1_000_000, help="actions of the counted run")
    parser.add_argument("--forever-minutes", type=float, default=10.0, help="how long the loop forever runs")
    parser.add_argument("--only", choices=("check", "duration", "run", "forever"), help="one part of the bench")
    parser.add_argument("--keep", type=Path, help="a new folder to keep the runs in (else they go at the end)")
    args = parser.parse_args()
    signal.signal(signal.SIGINT, signal.default_int_handler)
    with contextlib.ExitStack() as stack:
        if args.keep is not None:
            args.keep.mkdir(parents=True)
            folder = args.keep
        else:
            folder = Path(stack.enter_context(tempfile.TemporaryDirectory()))
        parts = {"check": lambda: bench_check(folder / "check"),
                 "duration": lambda: bench_duration(folder / "duration"),
                 "run": lambda: bench_run(folder / "run", args.actions),
                 "forever": lambda: [bench_forever(folder / "forever", args.forever_minutes, held)
                                     for held in (True, False)]}
        for part, bench in parts.items():
            if args.only in (None, part):
                (folder / part).mkdir()
                bench()


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    main()
