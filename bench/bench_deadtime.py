"""Dead time per action of `vemo run` on the embedded simulator, against the raw ZeroMQ floor; prints figures.

(a) 400 IO switches on one module and (b) 100 moves handed back and forth between two axes, each move
waiting for the other axis's previous one, both run by `vemo run` (the command's own code, in this
process) on the embedded simulator at --speed 1000 with travels so short that the simulated motion lasts
microseconds. (c) The floor, measured in the same run: a request and its reply over REQ/ROUTER plus the
completion published for it, 216-byte records, between this process and a pyzmq server process.

Dead time per action: the time from the first action's start to the last one's end, less the simulated
motion time, divided by the number of actions. A move sends three requests (the motion, its end, the
position check), so its dead time is set against three floors. The simulator's own CPU time per request
is read from /proc while each case runs, beside this process's (the client side's) CPU time per request.
"""

import argparse
import io
import json
import math
import os
import struct
import subprocess
import sys
import tempfile
import textwrap
import time
from contextlib import redirect_stderr, redirect_stdout
from pathlib import Path

import zmq

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

from vemo.cli import main as vemo_main  # noqa: E402
from vemo.run import drive as drive_module  # noqa: E402
from vemo.run import simulator as simulator_module  # noqa: E402

HANDLER_SETTINGS = HERE.parent / "examples" / "handler" / "cell.yaml"
SPEED = 1000.0
SWITCHES = 400
MOVES = 100
# Axis motion of the bench cell: 1 mm at 1,000 mm/s and 100,000 mm/s² takes 6.3 ms, 6.3 µs at SPEED.
TRAVEL, AXIS_SPEED, AXIS_ACCELERATION = 1.0, 1000.0, 100000.0

CELL = f"""\
cell: deadtime
handler_settings: {HANDLER_SETTINGS}
modules:
  XAxis:
    kind: axis
    handler_id: 1
    home: 0
    positions: {{a: 0, b: {TRAVEL}}}
    motion: {{speed: {AXIS_SPEED}, acceleration: {AXIS_ACCELERATION}}}
  ZAxis:
    kind: axis
    handler_id: 2
    home: 0
    positions: {{a: 0, b: {TRAVEL}}}
    motion: {{speed: {AXIS_SPEED}, acceleration: {AXIS_ACCELERATION}}}
  Valves:
    kind: io
    handler_id: 11
    points: {{v: 3}}
"""

FLOOR_SERVER = textwrap.dedent("""\
    import sys, zmq
    address = sys.argv[1]
    context = zmq.Context()
    requests = context.socket(zmq.ROUTER); requests.bind(f"tcp://{address}:5002")
    publisher = context.socket(zmq.XPUB); publisher.bind(f"tcp://{address}:5001")
    poller = zmq.Poller(); poller.register(requests, zmq.POLLIN); poller.register(publisher, zmq.POLLIN)
    print("ready", flush=True)
    while True:
        events = dict(poller.poll())
        if publisher in events:
            publisher.recv()
            continue
        frames = requests.recv_multipart()
        if frames[-1] == b"stop":
            break
        requests.send_multipart(frames)
        publisher.send_multipart([frames[-1][32:68].rstrip(b"\\0"), frames[-1]])
""")


def cpu_seconds(pid):
    """CPU time of a process so far, in nanoseconds' resolution (its threads' time on a CPU, from /proc)."""
    total = 0
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            total += int((task / "schedstat").read_text().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    return total / 1e9


def floor(count=2000):
    """Seconds per raw exchange: request, reply, and the completion published for it."""
    address = simulator_module.free_loopback_address()
    server = subprocess.Popen([sys.executable, "-c", FLOOR_SERVER, address], stdout=subprocess.PIPE, text=True)
    try:
        server.stdout.readline()
        context = zmq.Context()
        sub = context.socket(zmq.SUB)
        sub.connect(f"tcp://{address}:5001")
        sub.setsockopt(zmq.SUBSCRIBE, b"F-")
        req = context.socket(zmq.REQ)
        req.connect(f"tcp://{address}:5002")
        layout = struct.Struct("iiiiiiii36s36s36s36s36si")

        def exchange(k):
            req.send(layout.pack(0, 150, *[-1] * 6, f"F-{k}".encode(), b"", b"", b"", b"", -1))
            req.recv()
            sub.recv_multipart()

        time.sleep(0.3)  # subscription in place
        for k in range(200):
            exchange(k)
        best = math.inf
        for _ in range(3):
            begin = time.perf_counter()
            for k in range(count):
                exchange(k)
            best = min(best, (time.perf_counter() - begin) / count)
        req.send(b"stop")
        context.destroy(linger=0)
        return best
    finally:
        server.wait(5)


def io_script():
    return "main = {\n" + "\n".join(f"    set @Valves v {'on' if k % 2 == 0 else 'off'}" for k in range(SWITCHES)) + "\n}\n"


def handed_moves_script():
    """Moves alternate between the axes: each waits for the other axis's previous move."""
    x_steps, z_steps = [], []
    for k in range(MOVES):
        place = "b" if (k // 2) % 2 == 0 else "a"
        wait = f"wait m{k - 1} " if k else ""
        (x_steps if k % 2 == 0 else z_steps).append(f"m{k}: {wait}{{ move @{'XAxis' if k % 2 == 0 else 'ZAxis'} to {place} }}")
    return "main = async\n    " + "\n    then ".join(x_steps) + "\nand\n    " + "\n    then ".join(z_steps) + "\n"


def motion_seconds(distance, speed, acceleration):
    """Duration of the simulator's trapezoidal profile."""
    ramp = speed / acceleration
    if acceleration * ramp * ramp >= distance:
        return 2 * math.sqrt(distance / acceleration)
    return distance / speed + ramp


class ActionSpan:
    """CPU time of this process and of the embedded simulator from the first action's start to the end of
    the run (the simulator's stop), taken by wrapping the run's action execution and the simulator
    launcher; sampling at every action would add its own cost to the dead time."""

    def __init__(self):
        self.simulator_pid = None
        self.first = self.last = None  # (host CPU, simulator CPU)
        self._start, self._stop = simulator_module.Simulator.start, simulator_module.Simulator.stop
        self._execute = drive_module.RunContext.execute

    def sample(self):
        return cpu_seconds(os.getpid()), cpu_seconds(self.simulator_pid)

    def __enter__(self):
        span = self

        def start(sim):
            result = span._start(sim)
            span.simulator_pid = sim.process.pid
            return result

        def stop(sim):
            if sim.running:
                span.last = span.sample()
            return span._stop(sim)

        def execute(context, action):
            if span.first is None:
                span.first = span.sample()
            return span._execute(context, action)

        simulator_module.Simulator.start, simulator_module.Simulator.stop = start, stop
        drive_module.RunContext.execute = execute
        return self

    def __exit__(self, *exc):
        simulator_module.Simulator.start, simulator_module.Simulator.stop = self._start, self._stop
        drive_module.RunContext.execute = self._execute

    def cpu(self):
        """(host CPU seconds, simulator CPU seconds) over the actions."""
        return self.last[0] - self.first[0], self.last[1] - self.first[1]


def run_case(folder, name, script, actions, requests, simulated):
    script_path = folder / f"{name}.vemo"
    script_path.write_text(script)
    record = folder / f"{name}.json"
    with ActionSpan() as span, redirect_stdout(io.StringIO()) as out, redirect_stderr(io.StringIO()) as err:
        code = vemo_main(["run", str(script_path), "--cell", str(folder / "cell.yaml"), "--speed", str(SPEED),
                          "--plain", "--record", str(record)])
    host_cpu, simulator_cpu = span.cpu()
    if code != 0:
        raise SystemExit(f"{name}: vemo run failed ({code}):\n{out.getvalue()}{err.getvalue()}")
    records = json.loads(record.read_text())
    assert len(records) == actions and all(r["outcome"] == "finished" for r in records)
    elapsed = max(r["end"] for r in records) - min(r["start"] for r in records)
    return {"dead": (elapsed - simulated) / actions, "sim_cpu": simulator_cpu / requests,
            "host_cpu": host_cpu / requests}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="runs of each case; the best is reported")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        (folder / "cell.yaml").write_text(CELL)
        move_time = motion_seconds(TRAVEL, AXIS_SPEED, AXIS_ACCELERATION) / SPEED
        cases = {
            "(a) IO switch": ("io", io_script(), SWITCHES, SWITCHES, 0.0, 1),
            "(b) handed move": ("moves", handed_moves_script(), MOVES, 3 * MOVES, MOVES * move_time, 3),
        }
        results = {label: [] for label in cases}
        floors = []
        for _ in range(options.repeat):
            floors.append(floor())
            for label, (name, script, actions, requests, simulated, _) in cases.items():
                results[label].append(run_case(folder, name, script, actions, requests, simulated))
        raw = min(floors)
        print(f"(c) floor: REQ/ROUTER exchange + published completion, 216-byte records: "
              f"{raw * 1e6:.0f} µs (best of {len(floors)}; all: {', '.join(f'{f * 1e6:.0f}' for f in floors)})")
        for label, (_, _, actions, requests, _, floors_per_action) in cases.items():
            best = min(results[label], key=lambda r: r["dead"])
            runs = ", ".join(f"{r['dead'] * 1e6:.0f}" for r in results[label])
            per_request = best["dead"] * actions / requests
            print(f"{label}: dead time {best['dead'] * 1e6:.0f} µs/action (runs: {runs}); "
                  f"{best['dead'] / (floors_per_action * raw):.2f}x {'the floor' if floors_per_action == 1 else 'three floors'}; "
                  f"simulator CPU {best['sim_cpu'] * 1e6:.0f} µs/request, {best['sim_cpu'] / per_request:.2f} of the "
                  f"client's dead time per request ({per_request * 1e6:.0f} µs); host process CPU "
                  f"{best['host_cpu'] * 1e6:.0f} µs/request")


if __name__ == "__main__":
    main()
