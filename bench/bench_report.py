"""Reading a large journal: `read_journal` and `vemo report` (time and peak memory) on a 50,000-action run;
prints figures."""

import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ACTIONS = 50_000


def write_journal(path: Path) -> None:
    """A finished run of ACTIONS dwells on one module, as `vemo run` journals it: planned, started, ended."""
    action = {"module": "XAxis", "text": "call @XAxis.dwell(0)", "location": "job.vemo:1:10"}
    with open(path, "w") as out:
        out.write(json.dumps({"event": "run_started", "t": 0, "format": 1, "script": "job.vemo", "cell": "cell.yaml",
                              "modules": [{"name": "XAxis", "actions": ACTIONS}]}) + "\n")
        for i in range(1, ACTIONS + 1):
            out.write(json.dumps({"event": "action_planned", "t": 0.1, "index": i, **action, "kind": "Dwell",
                                  "lane": None, "waits": [], "after": ["XAxis", i - 1] if i > 1 else None}) + "\n")
        for i in range(1, ACTIONS + 1):
            t = round(1 + i * 1e-4, 6)
            out.write(json.dumps({"event": "action_started", "t": t, "index": i, **action}) + "\n")
            out.write(json.dumps({"event": "action_ended", "t": t, "index": i, **action, "outcome": "finished"}) + "\n")
        out.write(json.dumps({"event": "run_ended", "t": 7, "exit_code": 0, "outcome": "finished"}) + "\n")


def main() -> None:
    from vemo.run.journal import read_journal

    with tempfile.TemporaryDirectory() as folder:
        run_dir = Path(folder)
        journal = run_dir / "journal.jsonl"
        write_journal(journal)
        size = journal.stat().st_size / 1e6
        best = float("inf")
        for _ in range(3):
            start = time.perf_counter()
            events, _ = read_journal(journal)
            best = min(best, time.perf_counter() - start)
        print(f"read_journal: {len(events):,} events, {size:.1f} MB: {best:.2f} s "
              f"({best / len(events) * 1e6:.1f} µs per line, every field checked)")
        del events
        start = time.perf_counter()
        subprocess.run([sys.executable, "-m", "vemo", "report", str(run_dir), "--timeline",
                        str(run_dir / "timeline.html")], check=True, stdout=subprocess.DEVNULL)
        elapsed = time.perf_counter() - start
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
        print(f"vemo report --timeline: {elapsed:.2f} s, peak memory {peak:.0f} MB "
              f"(the events are folded as read, not kept); page {os.path.getsize(run_dir / 'timeline.html') / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
