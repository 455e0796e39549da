"""Executor throughput: sequence mode, cross-module waits, lane mode; prints figures, asserts nothing."""

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
HOST = os.path.join(HERE, "..", "tests", "host")
if "--python-queue" in sys.argv:
    sys.path.insert(0, os.path.join(HOST, "pyqueue"))
sys.path.insert(0, HOST)

from _vemomodule import VemoModule  # noqa: E402
from actions import FastAction  # noqa: E402


class Bench(VemoModule):
    name = "Bench"
    configs = {}

    def setup(self, **configs):
        pass

    def run(self):
        self.execute_sequence()


def timed_run(*modules):
    start = time.perf_counter()
    threads = [m.async_run() for m in modules]
    for t in threads:
        t.join()
    return time.perf_counter() - start


def sequence_mode(count=100_000):
    actions = [FastAction(Bench) for _ in range(count)]
    module = Bench(actions)
    elapsed = timed_run(module)
    probe = [FastAction(Bench) for _ in range(count)]
    start = time.perf_counter()
    for action in probe:
        action.execute()
    execute_only = time.perf_counter() - start
    return count / elapsed, (elapsed - execute_only) / count * 1e6


def cross_module(total=20_000, modules=4):
    per = total // modules
    lists = [[FastAction(Bench) for _ in range(per)] for _ in range(modules)]
    for m in range(modules):
        for i in range(10, per, 10):
            lists[m][i].add_dependencies(lists[(m + 1) % modules][i - 1])
    elapsed = timed_run(*[Bench(seq) for seq in lists])
    return total / elapsed


def lane_mode(count=100_000, lanes=4):
    module = Bench({k: [FastAction(Bench) for _ in range(count // lanes)] for k in range(lanes)})
    module.COMPETE_LOOP_WAIT_TIME_SEC = 0.001
    return count / timed_run(module)


def main():
    if "--python-queue" in sys.argv:
        rate, own = sequence_mode()
        print(f"{rate:.0f} {own:.3f}")
        return
    rate, own = sequence_mode()
    print(f"(a) sequence mode, 100,000 actions: {rate:,.0f} actions/s; executor's own cost {own:.3f} us/action")
    result = subprocess.run([sys.executable, __file__, "--python-queue"], capture_output=True, text=True,
                            check=True)
    py_rate, py_own = map(float, result.stdout.split())
    print(f"    same with a pure-Python host queue: {py_rate:,.0f} actions/s; executor's own cost "
          f"{py_own:.3f} us/action")
    print(f"(b) four modules, 20,000 actions, every tenth waits on another module: {cross_module():,.0f} actions/s")
    print(f"(c) lane mode, four ready lanes, 100,000 actions: {lane_mode():,.0f} actions/s")


if __name__ == "__main__":
    main()
