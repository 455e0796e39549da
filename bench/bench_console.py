"""What the operator console costs: the delay from a journal line to the page's update, the console's CPU
while it follows a busy run, a long run's first message and later updates, a Pause answered during a fast run,
and the run with and without a console and an open page; prints figures."""

import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from vemo.run.console.launcher import ConsoleProcess  # noqa: E402
from vemo.run.journal import Journal  # noqa: E402

MODULES, ACTIONS = 3, 400  # a journal of 2400 action events, as a long run writes
# A long run: 200,000 planned actions over four modules, and how long its live part is followed.
LONG_MODULES, LONG_ACTIONS, LONG_SECONDS = 4, 50_000, 20.0
# How fast the long run's actions end: about what the embedded simulator allows at its highest speed for
# IO switches (measured with `vemo run --speed 1e9`), as events per second.
FAST_EVENTS_PER_SECOND = 2000


def stream(url):
    base, _, query = url.partition("/?")
    return urllib.request.urlopen(f"{base}/events?{query}", timeout=300)


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


def _control_server(folder, journal):
    """The long run's control socket, answered by a run control that journals what it does."""
    from vemo.run.control import RunControl
    from vemo.run.controlsocket import ControlServer

    return ControlServer(folder, RunControl(journal=journal.write)).start()


def _post(url, body):
    base, _, query = url.partition("/?")
    token = query.partition("token=")[2]
    request = urllib.request.Request(f"{base}/api/command", data=json.dumps(body).encode(), method="POST",
                                     headers={"Content-Type": "application/json", "Authorization": f"Bearer {token}"})
    try:
        with urllib.request.urlopen(request, timeout=30) as reply:
            return json.loads(reply.read())
    except urllib.error.HTTPError as error:
        return json.loads(error.read())


def long_run(folder):
    """A journal of 200,000 planned actions: how long an opened page waits for the run, how large the first
    message and each later one is while a fast run goes on, how soon Pause is answered, the console's CPU."""
    folder.mkdir()
    journal = Journal(folder / "journal.jsonl")
    names = [f"M{m}" for m in range(LONG_MODULES)]
    journal.write("run_started", format=1, script="long.vemo",
                  modules=[{"name": n, "actions": LONG_ACTIONS} for n in names], interlocks=[])
    for name in names:
        for index in range(1, LONG_ACTIONS + 1):
            journal.write("action_planned", module=name, index=index, text=f"set @{name} p{index % 7} on",
                          location=f"long.vemo:{index}:1", kind="Set", waits=[], after=None)
    server = _control_server(folder, journal)
    started = time.monotonic()
    console = ConsoleProcess(folder, "127.0.0.1", 0)
    url = console.start()
    reply = stream(url)
    first_size, opened = 0, time.monotonic()
    for raw in reply:  # the first message that shows the whole plan
        if raw.startswith(b"data: "):
            message = json.loads(raw[6:])
            if sum(m.get("total", 0) for m in message.get("modules", [])) == LONG_MODULES * LONG_ACTIONS:
                first_size = len(raw)
                break
    first_after = time.monotonic() - started
    sizes, stop = [], threading.Event()

    def read_updates():
        try:
            for raw in reply:
                if raw.startswith(b"data: "):
                    sizes.append(len(raw))
                if stop.is_set():
                    return
        except (OSError, AttributeError):  # the stream closed under the reader at the end
            return

    reader = threading.Thread(target=read_updates, daemon=True)
    reader.start()
    pid = console._process.pid
    cpu_before, wall_before = cpu_seconds(pid), time.monotonic()
    pause_answer, paused_at = None, wall_before + LONG_SECONDS / 2
    index, step = 0, 1.0 / FAST_EVENTS_PER_SECOND * 2 * LONG_MODULES
    while time.monotonic() - wall_before < LONG_SECONDS and index < LONG_ACTIONS:
        index += 1
        due = wall_before + index * step
        for name in names:
            fields = dict(module=name, index=index, text=f"set @{name} p{index % 7} on", location=f"long.vemo:{index}:1")
            journal.write("action_started", **fields)
            journal.write("action_ended", **fields, outcome="finished")
        if pause_answer is None and time.monotonic() >= paused_at:
            sent = time.monotonic()
            answer = _post(url, {"command": "pause"})
            pause_answer = (time.monotonic() - sent, answer.get("ok"), answer.get("error"))
            _post(url, {"command": "resume"})
        time.sleep(max(0.0, due - time.monotonic()))
    wall = time.monotonic() - wall_before
    cpu = cpu_seconds(pid) - cpu_before
    late_opened = time.monotonic()  # a page opened late into the run, with its actions done so far
    late = stream(url)
    late_size = next(len(raw) for raw in late if raw.startswith(b"data: "))
    late_after = time.monotonic() - late_opened
    late.close()
    journal.write("run_ended", exit_code=0, outcome="finished")
    stop.set()
    reply.close()
    console.close()
    server.close()
    journal.close()
    return first_after, first_size, sizes, pause_answer, cpu, wall, index * LONG_MODULES * 2, late_after, late_size


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
        first_after, first_size, sizes, pause, cpu, wall, events, late_after, late_size = long_run(Path(tmp) / "long")
        print(f"{LONG_MODULES * LONG_ACTIONS} planned actions: console start to the first message that shows them "
              f"{first_after:.2f} s, {first_size / 1e6:.3f} MB")
        print(f"  a page opened after {events // 2} action events: its first message {late_after:.2f} s, "
              f"{late_size / 1e6:.3f} MB")
        sizes.sort()
        if sizes:
            print(f"  {len(sizes)} later updates while {events} events came at {events / wall:.0f}/s: median "
                  f"{statistics.median(sizes) / 1e3:.1f} KB, max {sizes[-1] / 1e3:.1f} KB")
        if pause is not None:
            print(f"  Pause answered in {pause[0] * 1000:.0f} ms (ok {pause[1]}{', ' + str(pause[2]) if pause[2] else ''})")
        print(f"  console CPU following it: {cpu:.2f} s in {wall:.1f} s ({100 * cpu / wall:.0f} % of one core)")
        if os.environ.get("BENCH_CONSOLE_LONG_ONLY"):
            return
        delays, cpu, wall = latency_and_cpu(Path(tmp) / "latency")
        delays.sort()
        print(f"journal line -> page update ({len(delays)} samples, {MODULES * ACTIONS} actions, each update "
              f"carrying what changed): median {statistics.median(delays) * 1000:.0f} ms, "
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
