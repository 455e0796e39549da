"""Block resolution and evaluation: references to standard, async and compete declarations; prints figures."""

import contextlib
import gc
import io
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "host"))

from _vemoprimitives import VemoId  # noqa: E402
from actions import Move  # noqa: E402
from blocks import AsyncBlock, CompeteBlock, StandardBlock  # noqa: E402
from modules import Gripper, Tray, XAxis, YAxis  # noqa: E402

MODULES = (XAxis, YAxis, Gripper, Tray)


def moves(count, module=XAxis, prefix="p"):
    return [Move(module, position=f"{prefix}{i}", speed=100) for i in range(count)]


def standard(elements, identifier=None):
    block = StandardBlock(identifier)
    block.add(elements)
    return block


def chained(blocks):
    for block, following in zip(blocks, blocks[1:]):
        block.next_block = following
    return blocks[0]


def declared_references(scale):
    """(a) 200 declared blocks of 20 actions, each referenced once from a main chain."""
    count = 200 * scale
    table = {f"d{i}": standard(moves(20), f"d{i}") for i in range(count)}
    main = chained([standard([VemoId(f"d{i}")]) for i in range(count)])

    def work():
        main.resolve_global(table)
        main.resolve_local(main.get_local_variables_map())
        return len(main.evaluate())

    return work


def repeated_body(scale):
    """(b) a main block holding 200 copies of one 50-action block."""
    table = {"body": standard(moves(50), "body")}
    main = standard([VemoId("body") for _ in range(200 * scale)])

    def work():
        main.resolve_global(table)
        return len(main.evaluate())

    return work


def async_program(scale):
    """(c) 4 modules of 20 chained blocks of 10 actions; each module's blocks wait on the previous module's."""
    length = 20 * scale
    per_module = []
    for m, module in enumerate(MODULES):
        blocks = [standard(moves(10, module, f"m{m}b{k}a"), f"m{m}b{k}") for k in range(length)]
        if m:
            for k, block in enumerate(blocks):
                block.first().add_dependencies(VemoId(f"m{m - 1}b{k}"))
        per_module.append(chained(blocks))
    declared = AsyncBlock(per_module)
    main = standard([VemoId("par")])

    def work():
        declared.resolve_parallel()
        main.resolve_global({"par": declared})
        return sum(len(block.evaluate()) for block in main.tmp_async_block.async_block_map.values())

    return work


def compete_program(scale):
    """(d) a compete block of 4 competitors of 50 actions, declared and referenced."""
    declared = CompeteBlock.create_from_action_lists([moves(50 * scale, prefix=f"c{c}a") for c in range(4)])
    declared.module_name = "XAxis"
    main = standard([VemoId("race")])

    def work():
        declared.resolve_within_competition()
        main.resolve_global({"race": declared})
        return sum(len(actions) for actions in main.tmp_compete_block.evaluate().values())

    return work


def measure(case, scale, collector, repeats=3):
    """Best of `repeats` fresh runs, with Python's cyclic garbage collector on or paused during the work:
    (seconds, resulting actions)."""
    best = None
    for _ in range(repeats):
        work = case(scale)
        gc.collect()  # the garbage of earlier runs is not this run's to collect
        if not collector:
            gc.disable()
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                start = time.perf_counter()
                actions = work()
                elapsed = time.perf_counter() - start
        finally:
            gc.enable()
        best = (elapsed, actions) if best is None or elapsed < best[0] else best
    return best


def constructor_cost(count=20_000):
    """µs per host action built the way a copy builds it (module and settings as keywords)."""
    params = {"position": "p", "speed": 100}
    start = time.perf_counter()
    for _ in range(count):
        Move(XAxis, **params)
    return (time.perf_counter() - start) / count * 1e6


def main():
    cases = [("(a) 200 declared blocks x 20 actions, referenced once", declared_references),
             ("(b) 200 references to one 50-action block", repeated_body),
             ("(c) async: 4 modules x 20 chained blocks x 10 actions", async_program),
             ("(d) compete: 4 competitors x 50 actions", compete_program)]
    print(f"host constructor and setup alone: {constructor_cost():.2f} us/action")
    print("                              garbage collector on          | collector paused")
    for title, case in cases:
        print(title)
        base = {}
        for scale in (1, 4, 16):
            row = f"  x{scale:<2}"
            for collector in (True, False):
                elapsed, actions = measure(case, scale, collector)
                base.setdefault(collector, elapsed)
                row += (f" {actions:7d} actions {elapsed * 1e3:8.2f} ms {elapsed / actions * 1e6:5.2f} us/action"
                        f" x{elapsed / base[collector]:5.1f} |")
            print(row.rstrip(" |"))


if __name__ == "__main__":
    main()
