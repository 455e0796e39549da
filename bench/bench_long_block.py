"""Benchmark: `vemo check`'s work on one long block against the same number of actions made by a loop.

Each case runs in its own process (peak memory is per process): parse, compile and analyse, with the time
of each stage and the process's peak resident memory. `--generated-parser` also times the generated
parser alone on the long block, the parser every script went through before the direct one.
"""

import argparse
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

CHILD = """
import resource, sys, time
sys.path.insert(0, {root!r})
from vemo.cell.model import load_cell
from vemo.cell.host import RUNTIME_NAMES, install
from vemo.lang.checks import check_script
compiler = install(load_cell({cell!r}, RUNTIME_NAMES))
text = sys.stdin.read()
start = time.perf_counter()
result = check_script(text, "bench.vemo", compiler, max_actions=10_000_000)
seconds = time.perf_counter() - start
assert result.ok, [d.report() for d in result.diagnostics]
actions = sum(len(plan.actions()) for plan in result.compiled.plans)
print(f"{{actions}} {{seconds:.2f}} {{resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024}}")
"""

GENERATED_PARSER = """
import resource, sys, time
sys.path.insert(0, {root!r})
from vemo.lang import grammar
text = sys.stdin.read()
start = time.perf_counter()
grammar.parse(text)
print(f"0 {{time.perf_counter() - start:.2f}} {{resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024}}")
"""


def long_block(actions):
    moves = ("move @XAxis to pick", "move @XAxis to place")
    return "main = {\n" + "\n".join(f"    {moves[i % 2]}" for i in range(actions)) + "\n}\n"


def looped(actions):
    return f"main = loop {actions // 2} times {{ move @XAxis to pick  move @XAxis to place }}\n"


def measure(code, text):
    child = code.format(root=str(ROOT), cell=str(ROOT / "examples" / "cell.yaml"))
    result = subprocess.run([sys.executable, "-c", child], input=text, capture_output=True, text=True,
                            timeout=1800, check=True)
    actions, seconds, megabytes = result.stdout.split()
    return int(actions), float(seconds), int(megabytes)


def main():
    options = argparse.ArgumentParser(description=__doc__)
    options.add_argument("--actions", type=int, nargs="+", default=[20_000, 50_000, 200_000])
    options.add_argument("--generated-parser", action="store_true",
                         help="also time the generated parser alone on each long block (slow)")
    args = options.parse_args()
    print(f"{'case':<28} {'actions':>8} {'seconds':>8} {'µs/action':>10} {'peak MB':>8}")
    for count in args.actions:
        cases = [("one block", CHILD, long_block(count)), ("loop", CHILD, looped(count))]
        if args.generated_parser:
            cases.append(("one block, generated parser", GENERATED_PARSER, long_block(count)))
        for name, code, text in cases:
            actions, seconds, megabytes = measure(code, text)
            print(f"{name:<28} {actions or count:>8} {seconds:>8.2f} {seconds / count * 1e6:>10.1f} {megabytes:>8}",
                  flush=True)


if __name__ == "__main__":
    main()
