"""Input waits on the handler simulator: time from an input change to the end of the waiting action, and the
time an input wait takes when the input is at its level already; prints figures."""

import statistics
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

import kinra_client  # noqa: E402
from vemo.run.drive import RunContext  # noqa: E402
from vemo.run.simulator import Simulator  # noqa: E402

SETTINGS = ROOT / "examples" / "handler" / "cell.yaml"
MODULE, PIN = 13, 2  # the `mixed` module: inputs that only the simulator's input command changes
REPEATS = 40
QUEUED_SECONDS = 0.15  # how long each wait sits on its condition before the input changes


def main() -> None:
    with Simulator(SETTINGS) as sim:
        client = kinra_client.KinraClient(str(SETTINGS), server_address=sim.address)
        context = RunContext(client)
        to_end, at_level = [], []
        for _ in range(REPEATS):
            sim.set_input(MODULE, PIN, False)
            ended = []
            waiter = threading.Thread(target=lambda: (context.wait_input(MODULE, PIN, True, 10.0, "late"),
                                                      ended.append(time.monotonic())), daemon=True)
            waiter.start()
            time.sleep(QUEUED_SECONDS)
            changed = time.monotonic()  # before the command: the change itself comes a little later
            sim.set_input(MODULE, PIN, True)
            waiter.join(10)
            if not ended:
                raise RuntimeError("the wait did not end")
            to_end.append(ended[0] - changed)
            started = time.monotonic()
            context.wait_input(MODULE, PIN, True, 10.0, "late")
            at_level.append(time.monotonic() - started)
        context.control.ended()

    def figures(samples):
        ms = sorted(1000 * s for s in samples)
        return f"median {statistics.median(ms):.2f} ms, 90th percentile {ms[int(0.9 * len(ms))]:.2f} ms, max {ms[-1]:.2f} ms"

    print(f"input waits on the simulator, {REPEATS} waits (input condition, log requests at the edges):")
    print(f"  input change -> waiting action ended: {figures(to_end)} (target: median under 50 ms)")
    print(f"  input already at its level -> wait ended: {figures(at_level)}")


if __name__ == "__main__":
    main()
