"""Interlocks on the handler simulator: time from an input change to interlock_tripped in the journal and
to the axes stopped, and the CPU a run uses while it is held; prints figures."""

import statistics
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

import kinra_client  # noqa: E402
from vemo.cell.model import load_cell  # noqa: E402
from vemo.run.control import RunControl  # noqa: E402
from vemo.run.drive import RunContext  # noqa: E402
from vemo.run.interlocks import InterlockWatch  # noqa: E402
from vemo.run.simulator import Simulator  # noqa: E402

CELL = load_cell(ROOT / "examples" / "door_cell.yaml")
SETTINGS = ROOT / "examples" / "handler" / "cell.yaml"
REPEATS = 20
DOOR_MODULE, DOOR_PIN = 13, 0


def wait_until(condition, timeout=10.0, step=0.001):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out")
        time.sleep(step)


def main() -> None:
    with Simulator(SETTINGS) as sim:
        client = kinra_client.KinraClient(str(SETTINGS), server_address=sim.address)
        tripped_at, stopped_at = [], []

        def journal(event, **fields):
            if event == "interlock_tripped":
                tripped_at.append(time.monotonic())

        def stop_axis(axis):
            client.motor_stop(axis)
            stopped_at.append(time.monotonic())

        control = RunControl(journal=journal, stop_axis=stop_axis, interlocks=CELL.interlocks)
        context = RunContext(client, control=control)
        watch = InterlockWatch(client, CELL, control).start()
        try:
            to_trip, to_stop, held_cpu = measure(sim, client, control, context, tripped_at, stopped_at)
        finally:
            watch.close()
            control.ended()

    def figures(samples):
        ms = sorted(1000 * s for s in samples)
        return f"median {statistics.median(ms):.1f} ms, max {ms[-1]:.1f} ms"

    print(f"interlock on the simulator, {REPEATS} trips during a move, input read every 20 ms:")
    print(f"  input change -> interlock_tripped journaled: {figures(to_trip)}")
    print(f"  input change -> stop of the axis accepted by the handler: {figures(to_stop)}")
    print(f"  CPU of the run while held, interlock watch reading: {100 * held_cpu:.2f} % of a core")


def measure(sim, client, control, context, tripped_at, stopped_at):
    """Trips the door during a move, REPEATS times; the delays and the CPU share while held."""
    to_trip, to_stop = [], []
    target = 480.0
    for _ in range(REPEATS):
        tripped_at.clear()
        stopped_at.clear()
        mover = threading.Thread(target=context.move_axes, args=([(1, target)],), daemon=True)
        mover.start()
        wait_until(lambda: control.moving_axes())
        time.sleep(0.3)
        changed = time.monotonic()
        sim.set_input(DOOR_MODULE, DOOR_PIN, True)
        wait_until(lambda: stopped_at)
        to_trip.append(tripped_at[0] - changed)
        to_stop.append(stopped_at[0] - changed)
        wait_until(lambda: control.state == "paused")
        position = client.motor_monitor(1)
        time.sleep(0.1)
        assert client.motor_monitor(1) == position, f"the axis kept moving: {position}, {client.motor_monitor(1)}"
        sim.set_input(DOOR_MODULE, DOOR_PIN, False)
        wait_until(lambda: not control.tripped())
        control.resume()
        mover.join(20)
        target = 0.0 if target else 480.0
    control.pause()  # held, with the interlock watch reading on
    cpu = time.process_time()
    time.sleep(3.0)
    held_cpu = (time.process_time() - cpu) / 3.0
    return to_trip, to_stop, held_cpu


if __name__ == "__main__":
    main()
