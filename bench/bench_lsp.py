"""Benchmark: how long after an edit `vemo lsp` publishes the diagnostics of a 1,000-line script."""

import argparse
import asyncio
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "tests" / "lsp"))

from bench_frontend import generated_script  # noqa: E402
from lsp_support import editor  # noqa: E402

from vemo.lsp.server import DEBOUNCE  # noqa: E402

# Each edit is in the first declarations, so every declaration after it moves; every other round undoes it.
EDITS = {  # what an edit does to the script -> (old, new)
    "a fault of a name (parse, compile, checks)": ("move @XAxis to place", "move @XAxis to plce"),
    "a syntax error (parse only)": ("move @XAxis to place", "move @XAxis place"),
}


async def measure(script: Path, text: str, old: str, new: str, repeat: int) -> list[float]:
    samples = []
    async with editor() as ed:
        start = time.perf_counter()
        uri = ed.open(script, text)
        await ed.diagnostics(uri)
        print(f"open -> first diagnostics (checker process start, whole parse): "
              f"{(time.perf_counter() - start) * 1000:.0f} ms")
        for round_ in range(repeat):
            edited = text.replace(old, new, 1) if round_ % 2 == 0 else text
            start = time.perf_counter()
            ed.change(uri, edited)
            found = await ed.diagnostics(uri)
            samples.append(time.perf_counter() - start)
            assert bool(found) == (round_ % 2 == 0), found
    return samples


def main():
    options = argparse.ArgumentParser(description=__doc__)
    options.add_argument("--lines", type=int, default=1000)
    options.add_argument("--repeat", type=int, default=10)
    args = options.parse_args()
    text = generated_script(args.lines)
    with tempfile.TemporaryDirectory() as folder:
        shutil.copy(ROOT / "examples" / "cell.yaml", Path(folder) / "cell.yaml")
        script = Path(folder) / "generated.vemo"
        script.write_text(text)
        print(f"script: {text.count(chr(10))} lines; debounce {DEBOUNCE * 1000:.0f} ms (included below)")
        for what, (old, new) in EDITS.items():
            samples = asyncio.run(measure(script, text, old, new, args.repeat))
            print(f"last change -> diagnostics, {what}: median {statistics.median(samples) * 1000:.0f} ms, "
                  f"best {min(samples) * 1000:.0f} ms, worst {max(samples) * 1000:.0f} ms ({len(samples)} edits)")


if __name__ == "__main__":
    main()
