"""Translates what the checker found in a script (names, declarations, cell terms, folds, hints: ranges as
[line, column, end line, end column] of the text that was checked) into protocol types for the current text."""

from __future__ import annotations

import difflib
import re
from typing import Any, Iterable

from lsprotocol import types
from pygls.workspace import TextDocument
from pygls.workspace.position_codec import ServerTextPosition, ServerTextRange

from vemo.lang.grammar import KEYWORDS
from vemo.lsp.linemap import LineMap

# Semantic token types, by what a name is in a script; the legend the server announces reads this table.
TOKEN_TYPES = {
    "module": "namespace", "position": "enumMember", "point": "property", "input": "property", "sequence": "event",
    "operation": "method", "declaration": "function", "block": "function", "label": "label", "wait": "label",
    "keyword": "keyword",  # a word that is a keyword in one place only (`loop forever`)
}
TOKEN_LEGEND = sorted(set(TOKEN_TYPES.values()))
TOKEN_MODIFIERS = ["declaration"]
_DECLARING = ("declaration", "label")
NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_KNOWN = re.compile(r"'@?([A-Za-z_][A-Za-z0-9_]*)'.*\(known: ([^)]*)\)")
_UNDECLARED = re.compile(r"'([A-Za-z_][A-Za-z0-9_]*)' is not a block declared before this point")
_UNKNOWN_MODULE = re.compile(r"unknown module '@([A-Za-z_][A-Za-z0-9_]*)'")
QUICK_FIXES = 3  # names offered for one misspelt name, the closest first


def client_range(document: TextDocument, entry: list[int]) -> types.Range:
    start, end = ServerTextPosition(entry[0], entry[1]), ServerTextPosition(entry[2], entry[3])
    return document.range_to_client_units(ServerTextRange(start, end))


def moved(entries: Iterable[dict[str, Any]], lines: LineMap) -> list[dict[str, Any]]:
    """The entries whose lines the edits since the check left alone, with their ranges in the current text."""
    found = []
    for entry in entries:
        where = lines.range_to_new(entry["range"])
        if where is not None:
            found.append(dict(entry, range=where))
    return found


def contains(entry: list[int], line: int, character: int) -> bool:
    return (entry[0], entry[1]) <= (line, character) <= (entry[2], entry[3])


def document_symbols(document: TextDocument, outline: dict[str, Any], names: list[dict[str, Any]],
                     lines: LineMap) -> list[types.DocumentSymbol]:
    """Each declared block with the step labels written in it."""
    found = []
    for index, declaration in enumerate(outline["declarations"]):
        whole = lines.range_to_new(declaration["range"])
        selection = lines.range_to_new(declaration["selection"])
        if whole is None or selection is None:
            continue
        labels = [types.DocumentSymbol(name=n["name"], kind=types.SymbolKind.Key, range=client_range(document, n["range"]),
                                       selection_range=client_range(document, n["range"]), detail="step label")
                  for n in names if n["kind"] == "label" and n["declaration"] == index]
        found.append(types.DocumentSymbol(name=declaration["name"], kind=types.SymbolKind.Function,
                                          range=client_range(document, whole),
                                          selection_range=client_range(document, selection),
                                          detail="declared block", children=labels))
    return found


def matches(query: str, name: str) -> bool:
    """Workspace symbol search: the query's characters in order, ignoring case (an empty query is all)."""
    position = 0
    lowered = name.lower()
    for character in query.lower():
        position = lowered.find(character, position) + 1
        if position == 0:
            return False
    return True


def semantic_tokens(document: TextDocument, names: list[dict[str, Any]], terms: list[dict[str, Any]]) -> list[int]:
    """The protocol's relative encoding of every name and cell term (and word that is a keyword in one
    place only), in text order."""
    tokens = []
    for entry in names + terms:
        kind = entry["kind"]
        where = client_range(document, entry["range"])
        if where.start.line != where.end.line:
            continue
        modifiers = 1 if kind in _DECLARING else 0
        tokens.append((where.start.line, where.start.character, where.end.character - where.start.character,
                       TOKEN_LEGEND.index(TOKEN_TYPES[kind]), modifiers))
    data: list[int] = []
    line = character = 0
    for start_line, start, length, kind, modifiers in sorted(tokens):
        data += [start_line - line, start - character if start_line == line else start, length, kind, modifiers]
        line, character = start_line, start
    return data


def folding_ranges(folds: list[list[int]], lines: LineMap) -> list[types.FoldingRange]:
    found = []
    for first, last in folds:
        start, end = lines.to_new(first), lines.to_new(last)
        if start is not None and end is not None and end - start == last - first:
            found.append(types.FoldingRange(start_line=start, end_line=end, kind=types.FoldingRangeKind.Region))
    return found


def rename_problem(new_name: str, kind: str, taken: set[str]) -> str | None:
    """Why `new_name` cannot replace a block name or label, if it cannot."""
    if not NAME.match(new_name):
        return f"{new_name!r} is not a name: a letter or '_', then letters, digits or '_'"
    if new_name in KEYWORDS:
        return f"{new_name!r} is a keyword of the language"
    if new_name in taken:
        what = "a block" if kind == "declaration" else "a step label of this declaration"
        return f"{new_name!r} is already {what}"
    return None


def quick_fixes(document: TextDocument, diagnostic: types.Diagnostic, declared: list[str],
                modules: dict[str, Any]) -> list[types.CodeAction]:
    """Replacements for a misspelt name that a diagnostic marks: the known names closest to it."""
    message = diagnostic.message
    found = _KNOWN.search(message)
    prefix = ""
    if found is not None:
        wrong, known = found.group(1), [k.strip() for k in found.group(2).split(",") if k.strip() != "none"]
    elif (found := _UNDECLARED.search(message)) is not None:
        wrong, known = found.group(1), declared
    elif (found := _UNKNOWN_MODULE.search(message)) is not None:
        wrong, known, prefix = found.group(1), list(modules), "@"
    else:
        return []
    closest = difflib.get_close_matches(wrong, known, QUICK_FIXES, 0.5) or known[:QUICK_FIXES]
    return [types.CodeAction(
        title=f"Change to '{prefix}{name}'", kind=types.CodeActionKind.QuickFix, diagnostics=[diagnostic],
        is_preferred=index == 0,
        edit=types.WorkspaceEdit(changes={document.uri: [types.TextEdit(range=diagnostic.range,
                                                                         new_text=prefix + name)]}))
        for index, name in enumerate(closest)]


_CALL = re.compile(r"\bcall\s+@([A-Za-z_][A-Za-z0-9_]*)\s*\.\s*([A-Za-z_][A-Za-z0-9_]*)\s*\(((?:[^()\"\n]|\"[^\"\n]*\")*)\Z")


def signature_help(before: str, modules: dict[str, Any]) -> types.SignatureHelp | None:
    """The parameters of the operation whose call the cursor is in: `before` is the line up to the cursor."""
    found = _CALL.search(before)
    if found is None:
        return None
    module, operation, written = found.groups()
    signature = modules.get(module, {}).get("signatures", {}).get(operation)
    if signature is None or signature["parameters"] is None:
        return None
    parameters = signature["parameters"]
    active = re.sub(r'"[^"\n]*"?', "", written).count(",")
    label = f"{module}.{operation}({', '.join(parameters)})"
    return types.SignatureHelp(
        signatures=[types.SignatureInformation(
            label=label, documentation=signature["doc"] or None,
            parameters=[types.ParameterInformation(label=p) for p in parameters])],
        active_signature=0, active_parameter=min(active, max(len(parameters) - 1, 0)))


def inlay_hints(document: TextDocument, hints: list[dict[str, Any]], lines: LineMap) -> list[types.InlayHint]:
    found = []
    for hint in hints:
        line = lines.to_new(hint["position"][0])
        if line is None:
            continue
        where = client_range(document, [line, hint["position"][1], line, hint["position"][1]]).start
        found.append(types.InlayHint(position=where, label=hint["label"], tooltip=hint["tooltip"],
                                     padding_left=True))
    return found


def definition_of(names: list[dict[str, Any]], use: dict[str, Any]) -> dict[str, Any] | None:
    """Where a name is defined: a block used by name is declared before the use; a wait names a step label,
    of its own declaration first."""
    if use["kind"] in _DECLARING:
        return use
    if use["kind"] == "block":
        declared = [n for n in names if n["kind"] == "declaration" and n["name"] == use["name"]]
        earlier = [n for n in declared if n["range"][:2] < use["range"][:2]]
        return earlier[-1] if earlier else (declared[0] if declared else None)
    labels = [n for n in names if n["kind"] == "label" and n["name"] == use["name"]]
    return next((n for n in labels if n["declaration"] == use["declaration"]), labels[0] if labels else None)


def uses_of(names: list[dict[str, Any]], target: dict[str, Any]) -> list[dict[str, Any]]:
    """The uses of a declared block or a step label: blocks used by name and waits."""
    return [n for n in names if n["kind"] in ("block", "wait") and definition_of(names, n) == target]
