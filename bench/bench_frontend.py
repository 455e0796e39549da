"""Benchmark: parse (and, when the runtime's compiler is present, compile) a generated 1,000-line script."""

import argparse
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from vemo.lang.parser import Script, parse  # noqa: E402

UNIT = """\
approach_{k} = {{ move @XAxis to park  move @XAxis to pick }}
cycle_{k} = async
    x_pick_{k}: {{ approach_{k} }}
    then x_place_{k}: wait z_lift_{k} {{ move @XAxis to place }}
and
    z_down_{k}: wait x_pick_{k} {{ move @ZAxis to down }}
    then z_lift_{k}: wait grip_{k} {{ move @ZAxis to up }}
    then z_drop_{k}: wait x_place_{k} {{ move @ZAxis to down }}
    then z_back_{k}: wait release_{k} {{ move @ZAxis to up }}
and
    grip_{k}: wait z_down_{k} {{ set @Gripper vacuum on }}
    then release_{k}: wait z_drop_{k} {{
        set @Gripper vacuum off
        call @Gripper.dwell(100, "settle")
    }}
"""


def generated_script(lines=1000):
    """Pick-and-place cycles, each declared once, and a main block that chains them all."""
    unit_lines = UNIT.count("\n") + 1
    units = max(1, (lines - 1) // unit_lines)
    body = "".join(UNIT.format(k=k) for k in range(units))
    chain = "\n    then ".join(f"{{ cycle_{k} }}" for k in range(units))
    return body + f"main = {chain}\n"


def timed(function, repeat):
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples), min(samples)


def main():
    options = argparse.ArgumentParser(description=__doc__)
    options.add_argument("--lines", type=int, default=1000)
    options.add_argument("--repeat", type=int, default=5)
    args = options.parse_args()
    text = generated_script(args.lines)
    line_count = text.count("\n")
    start = time.perf_counter()
    import vemo.lang._vemo_parser  # noqa: F401
    print(f"parser import (once per process): {time.perf_counter() - start:.3f} s")
    median, best = timed(lambda: parse(Script(text, "generated.vemo")), args.repeat)
    print(f"parse {line_count} lines: median {median * 1000:.1f} ms, best {best * 1000:.1f} ms")
    try:
        from vemo.cell.model import load_cell
        from vemo.cell.host import RUNTIME_NAMES, install
        compiler = install(load_cell(ROOT / "examples" / "cell.yaml", RUNTIME_NAMES))
    except ImportError as error:
        print(f"compile: not measured, the runtime is incomplete ({error})")
        return
    from vemo.lang.frontend import compile_script
    compiled = []
    median, best = timed(lambda: compiled.append(compile_script(text, "generated.vemo", compiler)), args.repeat)
    actions = sum(len(plan.actions()) for plan in compiled[-1].plans)
    print(f"parse + compile {line_count} lines ({actions} actions): median {median * 1000:.1f} ms, "
          f"best {best * 1000:.1f} ms")
    from vemo.lang.analysis import analyse
    median, best = timed(lambda: analyse(compiled[-1]), args.repeat)
    print(f"checks + estimate of {actions} actions: median {median * 1000:.1f} ms, best {best * 1000:.1f} ms")


if __name__ == "__main__":
    main()
