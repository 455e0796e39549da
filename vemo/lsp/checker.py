"""The checker process of the language server: compiles and checks scripts for one cell, as `vemo check` does.

The runtime keeps the host it first loads for the life of a process, so the server runs one checker per
cell description and talks to it in JSON lines over its standard input and output: requests
{"id", "op": "check" | "hover" | "forget", ...}, one reply {"id", ...} each, in order.
"""

from __future__ import annotations

import dataclasses
import inspect
import json
import sys
import traceback
from typing import Any

from vemo.util.inputfile import MAX_SCRIPT_BYTES
from vemo.lsp.incremental import IncrementalParser
from vemo.lsp.outline import Outline, Span, loop_head, outline
from vemo.lang.grammar import ENDLESS
from vemo.lang.parser import Script, ScriptError, _TOKEN

ERROR, WARNING, INFORMATION = 1, 2, 3  # the protocol's severities
ENDLESS_NOTE = ("Runs a loop without end: it runs until the operator stops the run, and its estimate is of one "
                "round.")
NO_CELL = ("no cell description: only the syntax is checked (put cell.yaml beside the script, name one in a "
           "'# cell: FILE' comment, or set vemo.cell.model)")


@dataclasses.dataclass
class Checked:
    """The last check of one document, kept for hovers."""

    script: Script
    outline: Outline | None
    compiled: Any = None
    analysis: Any = None
    version: Any = None  # the server's version of the text
    estimates: Any = None  # made at the first inlay hint request


class Checker:
    """Checks scripts against one cell (or only their syntax, without one)."""

    def __init__(self, cell_path: str | None) -> None:
        self.compiler = None
        self.cell_problem: str | None = None
        self.cell_path = cell_path
        self.documents: dict[str, Checked] = {}
        self.parsers: dict[str, IncrementalParser] = {}
        if cell_path is None:
            return
        from vemo.cell.model import CellError, load_cell
        from vemo.cell.host import RUNTIME_NAMES, HostError, install

        try:
            self.compiler = install(load_cell(cell_path, RUNTIME_NAMES))
        except (CellError, HostError) as error:
            self.cell_problem = str(error)
        except ImportError as error:
            self.cell_problem = f"the Vemo runtime is incomplete: {error}"

    # --- check ----------------------------------------------------------------------------------

    def details(self, uri: str) -> dict[str, Any] | None:
        """The declarations, cell terms and folds of the last text of `uri` that parsed, with its version."""
        checked = self.documents.get(uri)
        if checked is None or checked.outline is None:
            return None
        return dict(_details_json(checked.script, checked.outline), version=checked.version)

    def check(self, uri: str, path: str, text: str, version: Any = None) -> dict[str, Any]:
        if len(text.encode("utf-8", "surrogatepass")) > MAX_SCRIPT_BYTES:  # the server does not send these
            return {"diagnostics": [{"range": [0, 0, 0, 0], "severity": ERROR,
                                     "message": f"larger than {MAX_SCRIPT_BYTES // (1024 * 1024)} MiB: not checked"}],
                    "outline": None, "modules": {}}
        script = Script(text, path)
        checked = Checked(script, None)
        diagnostics: list[dict[str, Any]] = []
        if self.cell_path is None:
            diagnostics.append(_diagnostic(script, Span(0, 0), NO_CELL, INFORMATION))
        elif self.cell_problem is not None:
            # The cell's own errors name the file already; the others get it in front.
            named = self.cell_problem if self.cell_path in self.cell_problem else \
                f"cell description {self.cell_path}: {self.cell_problem}"
            diagnostics.append(_diagnostic(script, Span(0, 0), named, ERROR))
        from vemo.lang.frontend import parse_script

        try:
            parsed = parse_script(text, path, parser=self.parsers.setdefault(uri, IncrementalParser()).parse)
        except ScriptError as error:
            start = script.offset(error.location.line, error.location.column)
            token = _TOKEN.match(text, start)
            message = error.message + (f"; expected {error.expected}" if error.expected else "")
            diagnostics.append(_diagnostic(script, Span(start, token.end() if token else start), message, ERROR))
            # The last text that parsed stays for hovers.
            return {"diagnostics": diagnostics, "outline": None, "modules": self.modules()}
        self.documents[uri] = checked
        checked.version = version
        checked.outline = outline(parsed.tree)
        if self.compiler is not None:
            diagnostics += self._compile(checked, parsed)
        return {"diagnostics": diagnostics, "outline": _outline_json(script, checked.outline),
                "modules": self.modules()}

    def _compile(self, checked: Checked, parsed: Any) -> list[dict[str, Any]]:
        from vemo.lang.checks import check_script

        result = check_script(parsed, checked.script.filename, self.compiler)
        checked.compiled, checked.analysis = result.compiled, result.analysis
        return [self._located(checked, *((d.location.line, d.location.column) if d.location else (1, 1)), d.message)
                for d in result.diagnostics]

    def _located(self, checked: Checked, line: int, column: int, message: str) -> dict[str, Any]:
        start = checked.script.offset(line, column)
        span = checked.outline.refine(start, message) if checked.outline else None
        return _diagnostic(checked.script, span or Span(start, start), message, ERROR)

    def modules(self) -> dict[str, dict[str, Any]]:
        """The cell's module names and, per module, what can follow it in a script."""
        if self.compiler is None:
            return {}
        from vemo.cell.model import module_kind
        from vemo.lang.frontend import operations

        host = sys.modules["modules"]
        found = {}
        for name in getattr(host, "__all__", []):
            kind = getattr(host, name)
            spec = getattr(kind, "spec", None)
            found[str(getattr(kind, "name", name))] = {
                "kind": spec.kind if spec is not None else kind.__name__,
                "summary": module_kind(spec).summary if spec is not None else "",
                "positions": sorted(spec.positions) if spec is not None else [],
                "points": sorted(spec.points) if spec is not None else [],
                "sequences": sorted(spec.sequences) if spec is not None else [],
                "inputs": sorted(spec.inputs) if spec is not None else [],
                "operations": operations(kind),
                "signatures": {op: _signature(getattr(kind, op)) for op in operations(kind)},
            }
        return found

    # --- inlay hints ----------------------------------------------------------------------------

    def inlay(self, uri: str, start: int, end: int) -> list[dict[str, Any]]:
        checked = self.documents.get(uri)
        if checked is None or checked.outline is None or checked.compiled is None:
            return []
        hints = _estimates(checked).hints(start, end)
        return [dict(h, position=_range(checked.script, Span(h.pop("offset"), 0))[:2]) for h in hints]

    # --- hover ----------------------------------------------------------------------------------

    def hover(self, uri: str, offset: int) -> dict[str, Any] | None:
        checked = self.documents.get(uri)
        if checked is None or checked.outline is None or checked.analysis is None:
            return None
        from vemo.lsp.hover import action_hover, declaration_hover

        name = checked.outline.name_at(offset)
        if name is not None and name.kind in ("declaration", "block"):
            text = declaration_hover(checked.compiled, name.name)
            if text is not None and _estimates(checked).endless(name.name):
                text += f"\n\n{ENDLESS_NOTE}"
            span = name.span
        else:
            span = checked.outline.action_at(offset)
            if span is None:
                return None
            location = checked.script.location(span.start)
            text = action_hover(checked.compiled, checked.analysis, str(location))
        if text is None:
            return None
        return {"markdown": text, "range": _range(checked.script, span)}


def _estimates(checked: Checked) -> Any:
    from vemo.lsp.estimates import Estimates

    if checked.estimates is None:
        checked.estimates = Estimates(checked.compiled, checked.script, checked.outline)
    return checked.estimates


def _range(script: Script, span: Span) -> list[int]:
    start, end = script.location(span.start), script.location(span.end)
    return [start.line - 1, start.column - 1, end.line - 1, end.column - 1]


def _diagnostic(script: Script, span: Span, message: str, severity: int) -> dict[str, Any]:
    return {"range": _range(script, span), "message": message, "severity": severity}


def _signature(operation: Any) -> dict[str, Any]:
    """An operation's parameters as a script writes them (without the module itself) and its doc line."""
    doc = (inspect.getdoc(operation) or "").split("\n")[0]
    try:
        parameters = list(inspect.signature(operation).parameters.values())[1:]
    except (TypeError, ValueError):  # an operation of an extension type
        return {"parameters": None, "doc": doc}
    return {"parameters": [str(p.replace(annotation=inspect.Parameter.empty)) for p in parameters], "doc": doc}


def _lines(script: Script, span: Span) -> list[int] | None:
    """First and last line (0-based) of a span without the layout it ends with, if it spans lines."""
    end = len(script.text[:span.end].rstrip())
    first, last = script.location(span.start).line - 1, script.location(max(end - 1, span.start)).line - 1
    return [first, last] if last > first else None


def _outline_json(script: Script, found: Outline) -> dict[str, Any]:
    """What every check sends: the declared names, labels and their uses."""
    return {
        "names": [{"name": n.name, "kind": n.kind, "range": _range(script, n.span), "declaration": n.declaration}
                  for n in found.names],
    }


def _details_json(script: Script, found: Outline) -> dict[str, Any]:
    """What the outline, folding and semantic tokens need besides the names; made when first asked for, so
    that the diagnostics of a long script come no later for it."""
    names = {n.declaration: n for n in found.names if n.kind == "declaration"}
    return {
        "declarations": [{"name": names[i].name, "range": _range(script, Span(span.start, len(
            script.text[:span.end].rstrip()))), "selection": _range(script, names[i].span)}
            for i, span in enumerate(found.declarations) if i in names],
        "terms": [{"name": t.name, "kind": t.kind, "module": t.module, "range": _range(script, t.span)}
                  for t in found.details.terms],
        "folds": [lines for span in found.declarations + found.details.links if (lines := _lines(script, span))],
        "keywords": _words_of_endless_loops(script, found),
    }


def _words_of_endless_loops(script: Script, found: Outline) -> list[dict[str, Any]]:
    """The `forever` of each loop without end: a keyword there only, so the editor's grammar cannot tell it
    from a name by itself."""
    words = []
    for _, loop in found.details.loops:
        head, endless = loop_head(script.text, loop)
        if endless:
            words.append({"name": ENDLESS, "kind": "keyword", "range": _range(script, Span(head.end - len(ENDLESS),
                                                                                          head.end))})
    return words


def serve(cell_path: str | None, requests: Any = None, replies: Any = None) -> None:
    """Answers requests, one JSON object per line, until its input ends."""
    requests = requests or sys.stdin
    replies = replies or sys.stdout
    # Whatever the runtime or a host module prints must not end up in the reply stream.
    sys.stdout = sys.stderr
    checker = Checker(cell_path)
    for line in requests:
        request = None
        try:
            request = json.loads(line)
            op = request["op"]
            if op == "check":
                reply = checker.check(request["uri"], request["path"], request["text"], request.get("version"))
            elif op == "hover":
                reply = {"hover": checker.hover(request["uri"], request["offset"])}
            elif op == "details":
                reply = {"details": checker.details(request["uri"])}
            elif op == "inlay":
                reply = {"hints": checker.inlay(request["uri"], request["start"], request["end"])}
            elif op == "forget":
                checker.documents.pop(request["uri"], None)
                checker.parsers.pop(request["uri"], None)
                reply = {}
            else:
                reply = {"error": f"unknown request {op!r}"}
        except Exception as error:  # a fault of the checker must not end it: the editor keeps working
            traceback.print_exc(file=sys.stderr)
            reply = {"error": f"{type(error).__name__}: {error}"}
        reply["id"] = request.get("id") if isinstance(request, dict) else None
        replies.write(json.dumps(reply) + "\n")
        replies.flush()


if __name__ == "__main__":
    serve(sys.argv[1] if len(sys.argv) > 1 else None)
