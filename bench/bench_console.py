"""What the operator console costs: the delay from a journal line to the page's update, the console's CPU
while it follows a busy run, and the run with and without a console and an open page; prints figures."""

import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from vemo.run.console.launcher import ConsoleProcess  # noqa: E402
from vemo.run.journal import Journal  # noqa: E402

MODULES, ACTIONS = 3, 400  # a journal of 2400 action events, as a long run writes


def stream(url):
    base, _, query = url.partition("/?")
    return urllib.request.urlopen(f"{base}/events?{query}", timeout=30)


def snapshots(reply):
    for raw in reply:
        if raw.startswith(b"data: "):
            yield json.loads(raw[6:])


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def latency_and_cpu(folder):
    folder.mkdir()
    journal = Journal(folder / "journal.jsonl")
    names = [f"M{m}" for m in range(MODULES)]
    journal.write("run_started", format=1, script="bench.vemo", modules=[{"name": n, "actions": ACTIONS} for n in names])
    for name in names:
        for index in range(1, ACTIONS + 1):
            journal.write("action_planned", module=name, index=index, text=f"move @{name} to p{index}",
                          location=f"bench.vemo:{index}:1", kind="Move", waits=[], after=None)
    console = ConsoleProcess(folder, "127.0.0.1", 0)
    url = console.start()
    reply = stream(url)
    updates = snapshots(reply)
    delays = []
    cpu_before, wall_before = cpu_seconds(console._process.pid), time.monotonic()
    for index in range(1, ACTIONS + 1):
        for name in names:
            fields = dict(module=name, index=index, text=f"move @{name} to p{index}", location=f"bench.vemo:{index}:1")
            journal.write("action_started", **fields)
            time.sleep(0.002)
            journal.write("action_ended", **fields, outcome="finished")
        if index % 8 == 0:  # one timed update in eight: the wait for it paces the run like real motions
            written = time.monotonic()
            for snapshot in updates:
                if snapshot["modules"] and snapshot["modules"][-1]["done"] == index:
                    delays.append(time.monotonic() - written)
                    break
    wall = time.monotonic() - wall_before
    cpu = cpu_seconds(console._process.pid) - cpu_before
    journal.write("run_ended", exit_code=0, outcome="finished")
    reply.close()
    console.close()
    journal.close()
    return delays, cpu, wall


def demo_run(folder, with_console):
    """The demo at speed 4: the run's own time, the command's wall time and the CPU of the whole process
    tree (run, simulator, console)."""
    command = [sys.executable, "-m", "vemo", "run", "examples/pick_place.vemo", "--speed", "4", "--plain",
               "--run-dir", str(folder)]
    if with_console:
        command += ["--console", "127.0.0.1:0"]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    run = subprocess.Popen(command, cwd=ROOT, stdout=subprocess.PIPE, text=True)
    page = []
    for line in run.stdout:
        if line.startswith("console: "):
            reply = stream(line.split(" ", 1)[1].strip())
            threading.Thread(target=lambda: page.extend(snapshots(reply)), daemon=True).start()
    run.wait(120)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    events = [json.loads(line) for line in (folder / "journal.jsonl").read_text().splitlines()]
    times = [e["t"] for e in events if e["event"] in ("action_started", "action_ended")]
    finished_in = f"{max(times) - min(times):.2f}"
    return wall, finished_in, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime), len(page)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        delays, cpu, wall = latency_and_cpu(Path(tmp) / "latency")
        delays.sort()
        print(f"journal line -> page update ({len(delays)} samples, {MODULES * ACTIONS} actions, chart redrawn "
              f"from the whole journal on each update): median {statistics.median(delays) * 1000:.0f} ms, "
              f"p95 {delays[int(len(delays) * 0.95)] * 1000:.0f} ms, max {delays[-1] * 1000:.0f} ms")
        print(f"console CPU while following {2 * MODULES * ACTIONS / wall:.0f} events/s: "
              f"{cpu:.2f} s in {wall:.1f} s ({100 * cpu / wall:.0f} % of one core)")
        for with_console in (False, True, False, True):
            wall, finished_in, cpu, updates = demo_run(Path(tmp) / f"demo-{with_console}-{time.monotonic_ns()}", with_console)
            label = "with console and a page open" if with_console else "without console            "
            print(f"make demo {label}: first action start to last end {finished_in} s, {wall:.2f} s wall, {cpu:.2f} s CPU (run + simulator + console)"
                  + (f", {updates} updates pushed" if with_console else ""))


if __name__ == "__main__":
    main()
