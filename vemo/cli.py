"""The `vemo` command line: `vemo check SCRIPT` compiles a script and lists what each module will run."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Sequence

from vemo.cell import CellError, load_cell
from vemo.host import RUNTIME_NAMES, HostError, install
from vemo.parser import ScriptError


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vemo", description="Vemo workcell scripts.")
    commands = parser.add_subparsers(dest="command", required=True)
    check = commands.add_parser("check", help="compile a script and list each module's actions",
                                description="Compiles SCRIPT, lists per module the actions with their waits, "
                                            "checks for waits that can never be met and estimates the run time.")
    check.add_argument("script", help="the script file (.vemo)")
    check.add_argument("--cell", help="the cell description (YAML); default: cell.yaml beside the script")
    check.add_argument("--json", action="store_true", help="print the listing as JSON")
    check.add_argument("--actions", help="host module of action kinds to use instead of the reference one "
                                         "(file path or dotted name)")
    check.add_argument("--modules", help="host package of module kinds to use instead of the cell's "
                                         "(file path or dotted name)")
    check.add_argument("--verbose", action="store_true", help="also print the compiler's own output lines")
    return parser


def _fail(args: argparse.Namespace, errors: list[dict], text: str) -> int:
    if args.json:
        print(json.dumps({"ok": False, "errors": errors}, indent=2))
    else:
        print(text, file=sys.stderr)
    return 1


def check(args: argparse.Namespace) -> int:
    script_path = Path(args.script)
    try:
        text = script_path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as error:
        return _fail(args, [{"message": f"cannot read {script_path}: {error}"}],
                     f"{script_path}: cannot read the script: {error}")
    cell = None
    try:
        if args.modules is None:
            cell_path = Path(args.cell) if args.cell else script_path.parent / "cell.yaml"
            if not args.cell and not cell_path.exists():
                raise CellError(f"{script_path}: no cell description: pass --cell FILE "
                                f"(or put cell.yaml beside the script)")
            cell = load_cell(cell_path, RUNTIME_NAMES)
        compiler = install(cell, actions=args.actions, modules=args.modules)
    except (CellError, HostError) as error:
        return _fail(args, [{"message": str(error)}], f"error: {error}")
    except ImportError as error:
        return _fail(args, [{"message": f"the Vemo runtime is incomplete: {error}"}],
                     f"error: the Vemo runtime is incomplete: {error}")

    from vemo.analysis import analyse
    from vemo.frontend import compile_script
    from vemo.report import as_dict, as_text

    try:
        compiled = compile_script(text, str(script_path), compiler)
    except ScriptError as error:
        return _fail(args, [error.as_dict()], error.report())
    analysis = analyse(compiled)
    if args.json:
        listing = as_dict(compiled, analysis)
        listing["ok"] = not analysis.problems
        print(json.dumps(listing, indent=2, default=str))
    else:
        if args.verbose:
            print("\n".join(compiled.diagnostics))
        print(as_text(compiled, analysis))
        for problem in analysis.problems:
            print(f"{problem.report()}", file=sys.stderr)
    return 1 if analysis.problems else 0


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.command == "check":
        return check(args)
    raise AssertionError(args.command)

