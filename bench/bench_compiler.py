"""Compile time of whole programs driven through the semantic actions as a parser would; prints figures."""

import contextlib
import gc
import io
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "host"))

from compiler import VemoSemantics  # noqa: E402


class Node(dict):
    def __getattr__(self, name):
        return self.get(name)


def compile_program(blocks_per_module):
    """Declares helper blocks of 10 moves, then a main async block of two chains of `blocks_per_module`
    blocks: each X block holds 5 moves and a reference to a helper, each Y block 5 moves and a wait on
    the X block of the same position. 20 actions of main per position."""
    s = VemoSemantics()

    def moves(module, prefix, count):
        return [s.move(Node(mod=s.module(module), ident=s.identifier(f"{prefix}{i}"))) for i in range(count)]

    helpers = max(1, blocks_per_module // 10)
    for h in range(helpers):
        s.declaration(Node(ident=s.identifier(f"h{h}"), action=s.block(Node(primary=moves("@XAxis", "h", 10)))))

    x_chain = y_chain = None
    for k in reversed(range(blocks_per_module)):  # a parser reduces the innermost following block first
        x_primary = moves("@XAxis", "x", 5) + [s.identifier(f"h{k % helpers}")]
        x_chain = s.block(Node(ident=s.identifier(f"xb{k}"), primary=x_primary, others=x_chain))
        y_chain = s.block(Node(ident=s.identifier(f"yb{k}"), primary=moves("@YAxis", "y", 5), wait="wait",
                               dependency=s.identifier(f"xb{k}"), others=y_chain))
    main = s.asyncblock(Node(asyncleft=y_chain, asyncright=x_chain))
    s.declaration(Node(ident=s.identifier("main"), action=s.actionclause(Node(primary=main))))
    program = s.action(Node())
    return sum(len(block.evaluate()) for block in program.async_block_map.values())


def compile_cycles(cycles):
    """Declares `cycles` async blocks of five actions (three X moves; two Y moves waiting on the X block)
    and a main block chaining one reference to each, the shape of a script of repeated work cycles."""
    s = VemoSemantics()

    def moves(module, prefix, count):
        return [s.move(Node(mod=s.module(module), ident=s.identifier(f"{prefix}{i}"))) for i in range(count)]

    for c in range(cycles):
        x = s.block(Node(ident=s.identifier("xs"), primary=moves("@XAxis", "x", 3)))
        y = s.block(Node(primary=moves("@YAxis", "y", 2), wait="wait", dependency=s.identifier("xs")))
        s.declaration(Node(ident=s.identifier(f"cycle{c}"), action=s.asyncblock(Node(asyncleft=x, asyncright=y))))
    chain = None
    for c in reversed(range(cycles)):
        chain = s.block(Node(primary=s.identifier(f"cycle{c}"), others=chain))
    s.declaration(Node(ident=s.identifier("main"), action=chain))
    program = s.action(Node())
    return sum(len(block.evaluate()) for block in program.async_block_map.values())


def measure(program, size, collector, repeats=3):
    """Best of `repeats` compilations, with Python's cyclic garbage collector on or paused."""
    best = None
    for _ in range(repeats):
        gc.collect()
        if not collector:
            gc.disable()
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                start = time.perf_counter()
                actions = program(size)
                elapsed = time.perf_counter() - start
        finally:
            gc.enable()
        best = (elapsed, actions) if best is None or elapsed < best[0] else best
    return best


def main():
    for title, program, sizes in (
            ("helper declarations + async main of two chained modules, waits and references", compile_program,
             (125, 500, 2000)),
            ("declared async cycles of 5 actions, main chaining a reference to each", compile_cycles,
             (500, 2000, 8000))):
        report(title, program, sizes)


def report(title, program, sizes):
    print(f"program: {title}")
    base = {}
    for size in sizes:
        row = ""
        for collector in (True, False):
            elapsed, actions = measure(program, size, collector)
            base.setdefault(collector, elapsed)
            row += (f"  {actions:6d} actions of main {elapsed * 1e3:8.1f} ms {elapsed / actions * 1e6:5.2f} us/action"
                    f" x{elapsed / base[collector]:5.1f}" + ("  | collector paused:" if collector else ""))
        print(row)


if __name__ == "__main__":
    main()
