"""Mutation check behind `make mutate`: mutmut mutates the listed modules one small fault at a time and runs
the tests that cover each fault; prints the score and every mutant that survived, with its change."""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# What a mutant's exit code means, as mutmut records it; anything else counts as not detected.
DETECTED = {"killed", "timeout", "segfault", "caught by type check"}
# mutmut stops a mutant's tests after this many times their clean run time (plus a constant): a fault that
# makes a loop endless is detected without holding the run.
TIMEOUT_MULTIPLIER = 10
# What the tests read besides the package and themselves (scripts, cells, the documents some tests compare).
ALSO_COPY = ["examples", "docs"]


def parse_targets(entries: list[str]) -> tuple[list[str], list[str]]:
    """`module:test,test` entries as the modules to mutate and the tests that cover them, in order."""
    modules, tests = [], []
    for entry in entries:
        module, sep, covering = entry.partition(":")
        if not sep or not module.endswith(".py") or not covering:
            raise SystemExit(f"mutate: expected MODULE.py:TEST[,TEST...], got {entry!r}")
        modules.append(module)
        tests.extend(t for t in covering.split(",") if t not in tests)
    for path in modules + tests:
        if not (ROOT / path.split("::")[0]).exists():
            raise SystemExit(f"mutate: {path} does not exist")
    return modules, tests


def prepare(work: Path, modules: list[str], tests: list[str]) -> None:
    """A fresh copy of the package and the tests with the project's pytest settings and mutmut's table, so
    that every run scores the tests as they are now and the source tree stays clean."""
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    ignore = shutil.ignore_patterns("__pycache__", "*.pyc")
    shutil.copytree(ROOT / "vemo", work / "vemo", ignore=ignore)
    for folder in ["tests", *ALSO_COPY]:
        shutil.copytree(ROOT / folder, work / folder, ignore=ignore)
    table = {"source_paths": ["vemo"], "only_mutate": modules, "also_copy": ALSO_COPY,
             "pytest_add_cli_args_test_selection": tests,
             "pytest_add_cli_args": ["-p", "no:cacheprovider"], "timeout_multiplier": float(TIMEOUT_MULTIPLIER)}
    project = (ROOT / "pyproject.toml").read_text()
    if "[tool.mutmut]" in project:
        raise SystemExit("mutate: pyproject.toml has a [tool.mutmut] table; the Makefile's MUTATE is the one list")
    # JSON strings, lists and numbers are valid TOML values.
    lines = ["", "[tool.mutmut]", *(f"{key} = {json.dumps(value)}" for key, value in table.items())]
    (work / "pyproject.toml").write_text(project + "\n".join(lines) + "\n")


def results(work: Path, modules: list[str]) -> dict[str, str]:
    """Each mutant's status by name, from the files mutmut leaves beside the mutated modules."""
    from mutmut.stats import status_by_exit_code

    found = {}
    for module in modules:
        meta = work / "mutants" / f"{module}.meta"
        if not meta.exists():
            raise SystemExit(f"mutate: mutmut left no results for {module} (see {work / 'mutmut.log'})")
        for name, code in json.loads(meta.read_text())["exit_code_by_key"].items():
            found[name] = status_by_exit_code[code]
    return found


def changed_lines(work: Path, name: str, module: str) -> list[str]:
    """The lines a mutant changes, as a diff's - and + lines."""
    here = os.getcwd()
    os.chdir(work)  # mutmut reads its table and the mutants from the current directory
    try:
        from mutmut.mutation.diff_apply import get_diff_for_mutant
        diff = get_diff_for_mutant(name, path=module)
    finally:
        os.chdir(here)
    return [line for line in diff.splitlines()[2:] if line[:1] in "-+"]


def main(argv: list[str] | None = None) -> int:
    options = argparse.ArgumentParser(description=__doc__)
    options.add_argument("targets", nargs="+", help="MODULE.py:TEST[,TEST...], paths from the repository root")
    options.add_argument("--work", type=Path, default=ROOT / "build" / "mutate")
    options.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    options.add_argument("--fail-under", type=float, default=0.0, help="fail when the score (%%) is below this")
    args = options.parse_args(argv)
    modules, tests = parse_targets(args.targets)
    work = args.work.resolve()
    prepare(work, modules, tests)
    started = time.monotonic()
    log = work / "mutmut.log"
    with log.open("w") as out:
        done = subprocess.run([sys.executable, "-m", "mutmut", "run", "--max-children", str(args.jobs)],
                              cwd=work, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    seconds = time.monotonic() - started
    if done.returncode != 0:
        print(log.read_text()[-4000:])
        print(f"mutate: mutmut failed (exit {done.returncode}); its output is in {log}")
        return 1
    found = results(work, modules)
    by_module = {module: {} for module in modules}
    for name, status in found.items():
        module = next(m for m in modules if name.startswith(m[:-3].replace("/", ".") + "."))
        by_module[module][name] = status
    for module, statuses in by_module.items():
        detected = sum(status in DETECTED for status in statuses.values())
        print(f"{module}: {detected} / {len(statuses)} detected")
        for name, status in sorted(statuses.items()):
            if status not in DETECTED:
                print(f"  {status}: {name}")
                for line in changed_lines(work, name, module):
                    print(f"      {line}")
    detected = sum(status in DETECTED for status in found.values())
    score = 100.0 * detected / len(found) if found else 100.0
    print(f"mutation score: {detected} / {len(found)} mutants killed ({score:.1f} %) in {seconds:.0f} s")
    if score < args.fail_under:
        print(f"mutate: the score is below {args.fail_under:g} %")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
