"""Cell descriptions open in the editor: their own diagnostics, and where a module or one of its names is
written in them (found by its key, as a person reading the file would)."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any, Iterable

from lsprotocol import types
from pygls.workspace import TextDocument

from vemo.util.inputfile import MAX_YAML_BYTES

CELL_NAMES = ("cell.yaml", "cell.yml")  # a file by this name is a cell description wherever it is
_YAML_PLACE = re.compile(r"line (\d+), column (\d+)")
_MODULE = re.compile(r"module '([A-Za-z_][A-Za-z0-9_]*)'")
_ENTRY = re.compile(r"\b(?:position|point|sequence|input) '?([A-Za-z_][A-Za-z0-9_]*)'?")


def is_cell_file(document: TextDocument, cells: Iterable[str | None]) -> bool:
    """A cell description: named cell.yaml, or the cell an open script is checked against."""
    if not document.uri.startswith("file:"):
        return False
    path = Path(document.path)
    return path.name in CELL_NAMES or str(path.resolve()) in set(cells)


def locate(text: str, module: str, entry: str | None = None) -> tuple[int, int, int] | None:
    """(line, first column, end column) of a module's key under `modules:`, or of the key `entry` inside
    that module's part of the file; None if it is not written there."""
    lines = text.split("\n")
    start = next((i for i, line in enumerate(lines) if re.match(r"modules\s*:", line)), None)
    if start is None:
        return None
    key = re.compile(rf"^(\s+)({re.escape(module)})\s*:")
    for index in range(start + 1, len(lines)):
        found = key.match(lines[index])
        if found is None:
            continue
        if entry is None:
            return index, found.start(2), found.end(2)
        indent = len(found.group(1))
        inner = re.compile(rf"(?<![\w-])({re.escape(entry)})\s*:")
        for inside in range(index, len(lines)):
            line = lines[inside]
            if inside > index and line.strip() and not line.lstrip().startswith("#") and \
                    len(line) - len(line.lstrip()) <= indent:
                return None
            hit = inner.search(line, found.end() if inside == index else 0)
            if hit is not None:
                return inside, hit.start(1), hit.end(1)
        return None
    return None


def _where(text: str, message: str) -> list[int]:
    place = _YAML_PLACE.search(message)
    if place is not None:
        line, column = int(place.group(1)) - 1, int(place.group(2)) - 1
        return [line, column, line, column + 1]
    module = _MODULE.search(message)
    entry = _ENTRY.search(message)
    found = locate(text, module.group(1), entry.group(1) if entry else None) if module else None
    if found is None and module and entry:
        found = locate(text, module.group(1))
    if found is None:
        return [0, 0, 0, 0]
    return [found[0], found[1], found[0], found[2]]


def cell_diagnostics(document: TextDocument) -> list[dict[str, Any]]:
    """What `vemo check` would say of this cell description, marked where it is written (as the checker
    gives diagnostics: range in server units, message, severity)."""
    from vemo.cell.model import CellError, parse_cell
    from vemo.cell.host import RUNTIME_NAMES

    text = document.source
    if len(text.encode("utf-8", "surrogatepass")) > MAX_YAML_BYTES:
        message = f"this cell description is larger than {MAX_YAML_BYTES // (1024 * 1024)} MiB: it is not read"
    else:
        try:
            parse_cell(text, document.path, RUNTIME_NAMES)
            return []
        except CellError as error:
            message = str(error)
    return [{"range": _where(text, message), "message": message, "severity": types.DiagnosticSeverity.Error}]
