"""The live views of a long run (the run's fold, the console's view) against a journal of a loop without end
(format 2): memory held after 100,000 and 1,000,000 actions, and time per event; `vemo report` of 200,000
such actions for comparison with the full fold. Prints figures."""

import json
import resource
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

ACTIONS = 1_000_000
CHECKPOINTS = (100_000, 1_000_000)
REPORT_ACTIONS = 200_000
MODULES = ("XAxis", "ZAxis")


def events(actions):
    """A run of a loop without end, one action per module per iteration, the ZAxis waiting on the XAxis."""
    yield {"event": "run_started", "t": 0.0, "format": 2, "script": "cycle.vemo", "cell": "cell.yaml",
           "modules": [{"name": m, "actions": None} for m in MODULES], "estimate_s": None}
    yield {"event": "loop_planned", "t": 0.0, "loop": 1, "location": "cycle.vemo:1:8", "count": None,
           "iteration_estimate_s": 0.01, "modules": [{"module": m, "first": 1, "per_iteration": 1} for m in MODULES]}
    for index in (1, 2):
        for module in MODULES:
            yield {"event": "action_planned", "t": 0.0, "module": module, "index": index,
                   "text": f"move @{module} to p", "location": "cycle.vemo:2:5", "kind": "Move", "lane": None,
                   "waits": [["XAxis", index]] if module == "ZAxis" else [], "after": None}
    t = 0.0
    for k in range(1, actions // len(MODULES) + 1):
        yield {"event": "iteration_started", "t": t, "loop": 1, "iteration": k}
        for module in MODULES:
            where = {"module": module, "index": k, "text": f"move @{module} to p", "location": "cycle.vemo:2:5"}
            yield {"event": "action_started", "t": round(t, 6), **where}
            t += 0.001
            yield {"event": "action_ended", "t": round(t, 6), **where, "outcome": "finished"}


def live(make, apply):
    tracemalloc.start()
    view, figures, done = make(), [], 0
    start = time.perf_counter()
    count = 0
    for event in events(ACTIONS):
        apply(view, event)
        count += 1
        if event["event"] == "action_ended":
            done += 1
            if done in CHECKPOINTS:
                figures.append(f"{tracemalloc.get_traced_memory()[0] / 1e6:.1f} MB after {done:,} actions")
    elapsed = time.perf_counter() - start
    tracemalloc.stop()
    return figures, elapsed / count * 1e6


def main() -> None:
    from vemo.run.console.view import RunView
    from vemo.run.fold import RunFold

    # the report first: a child forked from a process that has grown reports the parent's pages as its own
    with tempfile.TemporaryDirectory() as folder:
        run_dir = Path(folder)
        with open(run_dir / "journal.jsonl", "w") as out:
            for event in events(REPORT_ACTIONS):
                out.write(json.dumps(event) + "\n")
            out.write(json.dumps({"event": "run_ended", "t": REPORT_ACTIONS * 0.001, "exit_code": 130,
                                  "outcome": "interrupted"}) + "\n")
        start = time.perf_counter()
        subprocess.run([sys.executable, "-m", "vemo", "report", str(run_dir), "--record", str(run_dir / "r.json")],
                       check=True, stdout=subprocess.DEVNULL)
        elapsed = time.perf_counter() - start
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
        print(f"vemo report --record of {REPORT_ACTIONS:,} actions of a loop without end (the full fold): "
              f"{elapsed:.2f} s, peak memory {peak:.0f} MB")

    for name, make, apply in (("the run's live fold", lambda: RunFold(live=True), RunFold.add),
                              ("the console's view", RunView, RunView.apply)):
        figures, per_event = live(make, apply)
        print(f"{name}: {', '.join(figures)} (traced, with the view); {per_event:.1f} µs per event under tracemalloc")


if __name__ == "__main__":
    main()
