"""Before a run: the script read, compiled and checked against its cell and the handler settings."""

from __future__ import annotations

import dataclasses
import hashlib
import os
import sys
from pathlib import Path
from typing import Any

from vemo.cell.model import Cell, CellError, load_cell
from vemo.cell.host import RUNTIME_NAMES, HostError, install
from vemo.util.inputfile import MAX_SCRIPT_BYTES, InputFileError, read_input
from vemo.cell.handlersettings import check_cell, read_handler_modules
from vemo.lang.scriptbounds import MAX_ACTIONS
from vemo.util.text import printable

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class RunError(Exception):
    """The run cannot start: bad input files, a script that does not compile, no handler, an output
    that cannot be written. `exit_code` is 1, or 2 for a problem with the command line's own paths."""

    def __init__(self, message: str, exit_code: int = EXIT_FAILED) -> None:
        super().__init__(message)
        self.exit_code = exit_code



@dataclasses.dataclass
class Prepared:
    """A script compiled and checked against its cell and handler settings, ready to run."""

    compiled: Any
    cell: Cell
    script: Path
    settings: str
    estimate: float | None = None  # the run's duration by the plan's critical path, at speed 1
    round_estimates: dict[int, float | None] = dataclasses.field(default_factory=dict)  # per expanded loop


def digest(path: str | Path) -> str | None:
    """SHA-256 of an input file, so that a journal tells whether the files it ran are still those."""
    try:
        return hashlib.sha256(Path(path).read_bytes()).hexdigest()
    except OSError:
        return None


def _settings_path(args: Any, cell: Cell) -> str:
    path = args.handler_settings or cell.handler_settings
    if path is None:
        raise RunError(f"{cell.source}: the cell names no handler settings file: add handler_settings: FILE to it "
                       f"or pass --handler-settings FILE")
    if not os.path.isfile(path):
        raise RunError(f"handler settings file not found: {path}")
    return path


def prepare(args: Any) -> Prepared:
    """Reads and compiles the script, checks it and the cell against the handler settings. A syntax error
    is reported before the cell is looked for."""
    from vemo.lang.checks import check_script

    script_path = Path(args.script)
    loaded: dict[str, Any] = {}

    def compiler() -> Any:
        cell_path = Path(args.cell) if args.cell else script_path.parent / "cell.yaml"
        loaded["cell"] = cell = load_cell(cell_path, RUNTIME_NAMES)
        return install(cell)

    try:
        text = read_input(script_path, "script", MAX_SCRIPT_BYTES)
        result = check_script(text, str(script_path), compiler,
                              max_actions=getattr(args, "max_actions", MAX_ACTIONS))
    except (InputFileError, CellError, HostError) as error:
        raise RunError(str(error)) from None
    if not result.ok:
        raise RunError("the script cannot run:\n" + "\n".join(d.report() for d in result.diagnostics))
    cell = loaded["cell"]
    settings = _settings_path(args, cell)
    try:
        handler = read_handler_modules(settings)
    except (OSError, ValueError) as error:
        raise RunError(f"cannot read the handler settings: {error}") from None
    errors, warnings = check_cell(cell, handler, settings)
    for warning in warnings:
        print(printable(f"warning: {warning}"), file=sys.stderr)
    if errors:
        raise RunError("the cell does not match its handler settings:\n  " + "\n  ".join(errors))
    analysis = result.analysis
    return Prepared(result.compiled, cell, script_path, settings, analysis.estimate if analysis else None,
                    dict(analysis.round_seconds) if analysis else {})
