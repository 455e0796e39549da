"""What the plant bridges cost: the delay from a journal line to its MQTT message at a subscriber (through a
local mosquitto) and to the OPC UA data change at a subscribed client, and the CPU each bridge process takes
while it follows a busy run and while the run is quiet; prints figures."""

import asyncio
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from vemo.run.journal import Journal  # noqa: E402

MODULES, ACTIONS = 3, 100  # 600 action events, paced as a busy run writes them
PACE_SECONDS = 0.01  # between two journal lines
QUIET_SECONDS = 5.0  # how long the bridges are watched on a run that writes nothing
OPCUA_PUBLISHING_MS = 10  # the client's requested publishing interval


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_port(port, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise SystemExit(f"nothing listens on port {port}")


def figures(name, delays):
    delays = sorted(delays)
    ms = [d * 1000 for d in delays]
    print(f"{name:>34}: median {statistics.median(ms):6.1f} ms   p95 {ms[int(0.95 * (len(ms) - 1))]:6.1f} ms   "
          f"max {ms[-1]:6.1f} ms   ({len(ms)} lines)")


async def main(folder):
    import paho.mqtt.client as mqtt
    from asyncua import Client

    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in (str(ROOT), os.environ.get("PYTHONPATH", "")) if p)}
    broker_port, opcua_port = free_port(), free_port()
    (folder / "mosquitto.conf").write_text(f"listener {broker_port} 127.0.0.1\nallow_anonymous true\n")
    mosquitto = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
    broker = subprocess.Popen([mosquitto, "-c", str(folder / "mosquitto.conf")], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    processes = [broker]
    try:
        wait_port(broker_port)
        run_dir = folder / "run"
        run_dir.mkdir()
        journal = Journal(run_dir / "journal.jsonl")
        names = [f"M{m}" for m in range(MODULES)]
        journal.write("run_started", format=1, script="bench.vemo", started=time.strftime("%Y-%m-%dT%H:%M:%S%z"),
                      modules=[{"name": n, "actions": ACTIONS} for n in names])
        for name in names:
            for index in range(1, ACTIONS + 1):
                journal.write("action_planned", module=name, index=index, text=f"move @{name} to p{index}",
                              location=f"bench.vemo:{index}:1", kind="Move", waits=[], after=None)
        lines = 1 + MODULES * ACTIONS
        subscribed = threading.Event()
        arrived = {}
        subscriber = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
        subscriber.on_connect = lambda client, *_: client.subscribe("vemo/+/runs/+/events", qos=1)
        subscriber.on_message = lambda c, u, message: arrived.setdefault(json.loads(message.payload)["line"],
                                                                          time.monotonic())
        subscriber.on_subscribe = lambda *_: subscribed.set()
        subscriber.connect("127.0.0.1", broker_port)
        subscriber.loop_start()
        if not subscribed.wait(10):
            raise SystemExit("the subscriber was not subscribed")
        publisher = subprocess.Popen([sys.executable, "-m", "vemo", "mqtt", str(run_dir), "--broker",
                                      f"127.0.0.1:{broker_port}"], env=env, stdout=subprocess.DEVNULL)
        server = subprocess.Popen([sys.executable, "-m", "vemo", "opcua", str(run_dir), "--listen",
                                   f"127.0.0.1:{opcua_port}"], env=env, stdout=subprocess.PIPE)
        processes += [publisher, server]
        server.stdout.readline()

        while len(arrived) < lines:  # the plan has gone through: the publisher is caught up
            await asyncio.sleep(0.05)

        alone = {p.pid: cpu_seconds(p.pid) for p in (publisher, server)}
        await asyncio.sleep(QUIET_SECONDS)
        alone = {pid: cpu_seconds(pid) - before for pid, before in alone.items()}
        changes = {}

        class Handler:
            def datachange_notification(self, node, value, data):
                changes.setdefault(value, time.monotonic())

        client = Client(f"opc.tcp://127.0.0.1:{opcua_port}/vemo")
        async with client:
            ns = await client.get_namespace_index("urn:vemo")
            done = await client.nodes.objects.get_child([f"{ns}:Modules", f"{ns}:M0", f"{ns}:Done"])
            subscription = await client.create_subscription(OPCUA_PUBLISHING_MS, Handler())
            await subscription.subscribe_data_change(done)
            await asyncio.sleep(0.5)

            quiet = {p.pid: cpu_seconds(p.pid) for p in (publisher, server)}
            await asyncio.sleep(QUIET_SECONDS)
            quiet = {pid: cpu_seconds(pid) - before for pid, before in quiet.items()}

            written, done_written = {}, {}
            busy = {p.pid: cpu_seconds(p.pid) for p in (publisher, server)}
            started = time.monotonic()
            for index in range(1, ACTIONS + 1):
                for name in names:
                    fields = dict(module=name, index=index, text=f"move @{name} to p{index}",
                                  location=f"bench.vemo:{index}:1")
                    journal.write("action_started", **fields)
                    lines += 1
                    written[lines] = time.monotonic()
                    await asyncio.sleep(PACE_SECONDS)
                    journal.write("action_ended", **fields, outcome="finished")
                    lines += 1
                    written[lines] = time.monotonic()
                    if name == "M0":
                        done_written[index] = written[lines]
                    await asyncio.sleep(PACE_SECONDS)
            journal.write("run_ended", exit_code=0, outcome="finished")
            lines += 1
            written[lines] = time.monotonic()
            wall = time.monotonic() - started
            deadline = time.monotonic() + 20
            while (len(arrived) < lines or len(changes) < ACTIONS) and time.monotonic() < deadline:
                await asyncio.sleep(0.05)
            busy = {pid: cpu_seconds(pid) - before for pid, before in busy.items()}
        subscriber.loop_stop()
        journal.close()

        print(f"a run writing {len(written)} lines, one every {PACE_SECONDS * 1000:g} ms "
              f"({len(written) / wall:.0f} lines/s):")
        figures("journal line -> MQTT message", [arrived[n] - t for n, t in written.items() if n in arrived])
        figures(f"journal line -> OPC UA change ({OPCUA_PUBLISHING_MS} ms)",
                [changes[i] - t for i, t in done_written.items() if i in changes])
        lost = len(written) - sum(n in arrived for n in written)
        print(f"{'MQTT messages missing':>34}: {lost}")
        for label, process in (("MQTT publisher", publisher), ("OPC UA server", server)):
            print(f"{label + ' CPU':>34}: {100 * busy[process.pid] / wall:5.1f} % of a core while the run writes; "
                  f"quiet run: {100 * alone[process.pid] / QUIET_SECONDS:4.1f} % without a client, "
                  f"{100 * quiet[process.pid] / QUIET_SECONDS:4.1f} % with the OPC UA client subscribed")
    finally:
        for process in reversed(processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()


if __name__ == "__main__":
    import logging

    logging.getLogger("asyncua").setLevel(logging.ERROR)
    with tempfile.TemporaryDirectory() as folder:
        asyncio.run(main(Path(folder)))
