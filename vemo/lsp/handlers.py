"""The server's answers to requests: one thin handler per protocol method, over the server's state
(vemo/lsp/server.py) and the translation of the checker's findings into protocol types (vemo/lsp/translate.py)."""

from __future__ import annotations

import os
import re
from pathlib import Path
from typing import Any

from lsprotocol import types
from pygls.exceptions import JsonRpcException
from pygls.workspace import TextDocument

from vemo.util.inputfile import MAX_SCRIPT_BYTES, MAX_YAML_BYTES, InputFileError, read_input
from vemo.lsp import translate
from vemo.lsp.cellfile import locate
from vemo.lsp.completion import candidates
from vemo.lsp.linemap import LineMap
from vemo.lsp.server import Answer, VemoLanguageServer, server
from vemo.lsp.translate import client_range, contains, definition_of, uses_of
from vemo.lsp.workers import CheckerFailed

_COMPLETION_KINDS = {
    "module": types.CompletionItemKind.Module, "position": types.CompletionItemKind.EnumMember,
    "point": types.CompletionItemKind.EnumMember, "sequence": types.CompletionItemKind.EnumMember,
    "input": types.CompletionItemKind.EnumMember, "operation": types.CompletionItemKind.Method, "block": types.CompletionItemKind.Function,
    "label": types.CompletionItemKind.Reference, "keyword": types.CompletionItemKind.Keyword,
}
# Workspace symbols also come from the scripts of the workspace folders that are not open, read by their
# text alone; a large tree is not walked without end.
MAX_SCANNED_SCRIPTS = 500
MAX_SCANNED_BYTES = 32 * 1024 * 1024  # of those scripts' text, all together, per request
MAX_WORKSPACE_SYMBOLS = 1000
_DECLARED = re.compile(r"^[ \t]*([A-Za-z_][A-Za-z0-9_]*)[ \t]*=", re.MULTILINE)
_CELL_ENTRY = {"position": "positions", "point": "points", "sequence": "sequences", "input": "inputs"}


class RequestFailed(JsonRpcException):
    """The protocol's RequestFailed: the request was understood, but cannot be carried out (the message
    says why)."""

    CODE = -32803
    MESSAGE = "Request Failed"


# --- what the handlers read ---------------------------------------------------------------------


async def _found(ls: VemoLanguageServer, uri: str, position: types.Position
                 ) -> tuple[TextDocument, Answer | None, list[dict[str, Any]], dict[str, Any] | None,
                            list[dict[str, Any]], dict[str, Any] | None]:
    """The names and cell terms of the last text that parsed, moved to the current text (those on changed
    lines are left out), and the name and the term at `position`."""
    document, parsed, lines = await ls.last_parsed(uri)
    details = await ls.details(document, parsed) if parsed is not None and lines is not None else None
    if details is None:
        return document, None, [], None, [], None
    names = translate.moved(parsed.names or [], lines)
    terms = translate.moved(details["terms"], lines)
    here = document.position_from_client_units(position)
    name = next((n for n in names if contains(n["range"], here.line, here.character)), None)
    term = next((t for t in terms if contains(t["range"], here.line, here.character)), None)
    return document, parsed, names, name, terms, term


def _modules(ls: VemoLanguageServer, uri: str) -> dict[str, Any]:
    checked = ls.checked.get(uri)
    return checked.modules if checked and checked.modules else ls.modules


def _cell_location(ls: VemoLanguageServer, uri: str, term: dict[str, Any]) -> types.Location | None:
    """Where the cell description the script is checked against writes a module or one of its names."""
    cell = ls.cell_of(uri)
    if cell is None:
        return None
    open_cell = ls.workspace.text_documents.get(Path(cell).as_uri())
    try:
        text = open_cell.source if open_cell is not None else read_input(cell, "cell description", MAX_YAML_BYTES)
    except InputFileError:
        return None
    entry = None if term["kind"] == "module" else term["name"]
    if term["kind"] == "operation":
        return None  # operations come from the module kind, not from the file
    found = locate(text, term["module"], entry)
    if found is None:
        return None
    line, start, end = found
    return types.Location(uri=Path(cell).as_uri(),
                          range=types.Range(types.Position(line, start), types.Position(line, end)))


# --- completion, definitions, references, hovers --------------------------------------------------


@server.feature(types.TEXT_DOCUMENT_COMPLETION, types.CompletionOptions(trigger_characters=["@", ".", " ", ","]))
async def completion(ls: VemoLanguageServer, params: types.CompletionParams) -> types.CompletionList:
    document = ls.script(params.text_document.uri)
    if document is None:
        return types.CompletionList(is_incomplete=False, items=[])
    offset = document.offset_at_position(params.position)
    items = [types.CompletionItem(label=c.label, kind=_COMPLETION_KINDS[c.kind], detail=c.detail or None)
             for c in candidates(document.source, offset, _modules(ls, document.uri))]
    return types.CompletionList(is_incomplete=False, items=items)


@server.feature(types.TEXT_DOCUMENT_DEFINITION)
async def definition(ls: VemoLanguageServer, params: types.DefinitionParams) -> types.Location | None:
    document, _, names, name, _, term = await _found(ls, params.text_document.uri, params.position)
    target = definition_of(names, name) if name else None
    if target is not None:
        return types.Location(uri=document.uri, range=client_range(document, target["range"]))
    return _cell_location(ls, document.uri, term) if term else None


@server.feature(types.TEXT_DOCUMENT_REFERENCES)
async def references(ls: VemoLanguageServer, params: types.ReferenceParams) -> list[types.Location]:
    document, _, names, name, _, _ = await _found(ls, params.text_document.uri, params.position)
    target = definition_of(names, name) if name else None
    if target is None:
        return []
    uses = ([target] if params.context.include_declaration else []) + uses_of(names, target)
    return [types.Location(uri=document.uri, range=client_range(document, n["range"])) for n in uses]


@server.feature(types.TEXT_DOCUMENT_HOVER)
async def hover(ls: VemoLanguageServer, params: types.HoverParams) -> types.Hover | None:
    document, parsed, lines = await ls.last_parsed(params.text_document.uri)
    if parsed is None or lines is None:
        return None
    here = document.position_from_client_units(params.position)
    line = lines.to_old(here.line)
    old_lines = parsed.text.split("\n")
    if line is None or line >= len(old_lines) or here.character > len(old_lines[line]):
        return None
    offset = sum(len(text) + 1 for text in old_lines[:line]) + here.character
    try:
        worker = await ls.workers.for_cell(ls.cell_for(document))
        reply = await worker.request({"op": "hover", "uri": document.uri, "offset": offset})
    except CheckerFailed:
        return None
    found = reply.get("hover")
    where = lines.range_to_new(found["range"]) if found else None
    if where is None:
        return None
    return types.Hover(contents=types.MarkupContent(kind=types.MarkupKind.Markdown, value=found["markdown"]),
                       range=client_range(document, where))


# --- outline and symbols --------------------------------------------------------------------------


@server.feature(types.TEXT_DOCUMENT_DOCUMENT_SYMBOL)
async def document_symbol(ls: VemoLanguageServer, params: types.DocumentSymbolParams) -> list[types.DocumentSymbol]:
    document, parsed, lines = await ls.last_parsed(params.text_document.uri)
    details = await ls.details(document, parsed) if parsed is not None and lines is not None else None
    if details is None:
        return []
    return translate.document_symbols(document, details, translate.moved(parsed.names or [], lines), lines)


def _scanned_scripts(ls: VemoLanguageServer) -> list[Path]:
    """The .vemo files of the workspace folders that are not open, at most MAX_SCANNED_SCRIPTS of them."""
    roots = [Path(folder.path) for folder in ls.workspace.folders.values()] if ls.workspace.folders else []
    if not roots and ls.workspace.root_path:
        roots = [Path(ls.workspace.root_path)]
    found: list[Path] = []
    for root in roots:
        for folder, subfolders, files in os.walk(root):
            subfolders[:] = [d for d in subfolders if not d.startswith(".") and d != "node_modules"]
            for name in files:
                path = Path(folder) / name
                if name.endswith(".vemo") and path.resolve().as_uri() not in ls.workspace.text_documents:
                    found.append(path)
                    if len(found) >= MAX_SCANNED_SCRIPTS:
                        return found
    return found


@server.feature(types.WORKSPACE_SYMBOL)
async def workspace_symbol(ls: VemoLanguageServer, params: types.WorkspaceSymbolParams
                           ) -> list[types.SymbolInformation]:
    found: list[types.SymbolInformation] = []
    for uri, parsed in list(ls.parsed.items()):
        document = ls.workspace.text_documents.get(uri)
        if document is None:
            continue
        names = translate.moved(parsed.names or [], LineMap(parsed.text, document.source))
        declared = {n["declaration"]: n["name"] for n in names if n["kind"] == "declaration"}
        for n in names:
            if n["kind"] in ("declaration", "label") and translate.matches(params.query, n["name"]):
                found.append(types.SymbolInformation(
                    name=n["name"], kind=types.SymbolKind.Function if n["kind"] == "declaration" else types.SymbolKind.Key,
                    location=types.Location(uri=uri, range=client_range(document, n["range"])),
                    container_name=declared.get(n["declaration"]) if n["kind"] == "label" else None))
    budget = MAX_SCANNED_BYTES
    for path in _scanned_scripts(ls):
        try:
            text = read_input(path, "script", min(MAX_SCRIPT_BYTES, budget))
        except InputFileError:
            continue  # unreadable, or over what is left of the budget
        budget -= len(text)
        for match in _DECLARED.finditer(text):
            if translate.matches(params.query, match.group(1)):
                line = text.count("\n", 0, match.start(1))
                column = match.start(1) - (text.rfind("\n", 0, match.start(1)) + 1)
                found.append(types.SymbolInformation(
                    name=match.group(1), kind=types.SymbolKind.Function,
                    location=types.Location(uri=path.resolve().as_uri(), range=types.Range(
                        types.Position(line, column), types.Position(line, column + len(match.group(1)))))))
    return found[:MAX_WORKSPACE_SYMBOLS]


# --- rename ---------------------------------------------------------------------------------------


async def _renamed(ls: VemoLanguageServer, uri: str, position: types.Position
                   ) -> tuple[TextDocument, list[dict[str, Any]], dict[str, Any]]:
    """The names of the current text and the declaration or label a rename at `position` renames."""
    document, checked = await ls.latest(uri)
    if checked is None or checked.names is None or checked.version != document.version:
        raise RequestFailed(message="the script does not parse as it is now: a rename waits until it does")
    here = document.position_from_client_units(position)
    name = next((n for n in checked.names if contains(n["range"], here.line, here.character)), None)
    target = definition_of(checked.names, name) if name else None
    if target is None:
        raise RequestFailed(message="only declared blocks and step labels can be renamed")
    return document, checked.names, target


@server.feature(types.TEXT_DOCUMENT_PREPARE_RENAME)
async def prepare_rename(ls: VemoLanguageServer, params: types.PrepareRenameParams
                         ) -> types.PrepareRenamePlaceholder | None:
    document, names, target = await _renamed(ls, params.text_document.uri, params.position)
    here = document.position_from_client_units(params.position)
    name = next(n for n in names if contains(n["range"], here.line, here.character))
    return types.PrepareRenamePlaceholder(range=client_range(document, name["range"]), placeholder=name["name"])


@server.feature(types.TEXT_DOCUMENT_RENAME, types.RenameOptions(prepare_provider=True))
async def rename(ls: VemoLanguageServer, params: types.RenameParams) -> types.WorkspaceEdit:
    document, names, target = await _renamed(ls, params.text_document.uri, params.position)
    if target["kind"] == "declaration":
        taken = {n["name"] for n in names if n["kind"] == "declaration"}
    else:
        taken = {n["name"] for n in names if n["kind"] == "label" and n["declaration"] == target["declaration"]}
    problem = translate.rename_problem(params.new_name, target["kind"], taken - {target["name"]})
    if problem is not None:
        raise RequestFailed(message=problem)
    edits = [types.TextEdit(range=client_range(document, n["range"]), new_text=params.new_name)
             for n in [target] + uses_of(names, target)]
    return types.WorkspaceEdit(changes={document.uri: edits})


# --- code actions, highlights, folding, tokens, signatures, hints ---------------------------------


@server.feature(types.TEXT_DOCUMENT_CODE_ACTION,
                types.CodeActionOptions(code_action_kinds=[types.CodeActionKind.QuickFix]))
async def code_action(ls: VemoLanguageServer, params: types.CodeActionParams) -> list[types.CodeAction]:
    document = ls.script(params.text_document.uri)
    if document is None:
        return []
    declared = sorted(set(_DECLARED.findall(document.source)))
    return [action for diagnostic in params.context.diagnostics if diagnostic.source in (None, "vemo")
            for action in translate.quick_fixes(document, diagnostic, declared, _modules(ls, document.uri))]


@server.feature(types.TEXT_DOCUMENT_DOCUMENT_HIGHLIGHT)
async def document_highlight(ls: VemoLanguageServer, params: types.DocumentHighlightParams
                             ) -> list[types.DocumentHighlight]:
    document, _, names, name, terms, term = await _found(ls, params.text_document.uri, params.position)
    target = definition_of(names, name) if name else None
    if target is not None:
        return [types.DocumentHighlight(range=client_range(document, n["range"]),
                                        kind=types.DocumentHighlightKind.Write if n is target else
                                        types.DocumentHighlightKind.Read)
                for n in [target] + uses_of(names, target)]
    if term is None:
        return []
    same = [t for t in terms if t["module"] == term["module"] and t["kind"] == term["kind"]
            and t["name"] == term["name"]]
    return [types.DocumentHighlight(range=client_range(document, t["range"]), kind=types.DocumentHighlightKind.Text)
            for t in same]


@server.feature(types.TEXT_DOCUMENT_FOLDING_RANGE)
async def folding_range(ls: VemoLanguageServer, params: types.FoldingRangeParams) -> list[types.FoldingRange]:
    document, parsed, lines = await ls.last_parsed(params.text_document.uri)
    details = await ls.details(document, parsed) if parsed is not None and lines is not None else None
    if details is None:
        return []
    return translate.folding_ranges(details["folds"], lines)


@server.feature(types.TEXT_DOCUMENT_SEMANTIC_TOKENS_FULL,
                types.SemanticTokensLegend(token_types=translate.TOKEN_LEGEND,
                                           token_modifiers=translate.TOKEN_MODIFIERS))
async def semantic_tokens(ls: VemoLanguageServer, params: types.SemanticTokensParams) -> types.SemanticTokens:
    document, parsed, lines = await ls.last_parsed(params.text_document.uri)
    details = await ls.details(document, parsed) if parsed is not None and lines is not None else None
    if details is None:
        return types.SemanticTokens(data=[])
    return types.SemanticTokens(data=translate.semantic_tokens(
        document, translate.moved(parsed.names or [], lines),
        translate.moved(details["terms"] + details["keywords"], lines)))


@server.feature(types.TEXT_DOCUMENT_SIGNATURE_HELP,
                types.SignatureHelpOptions(trigger_characters=["(", ","], retrigger_characters=[","]))
async def signature_help(ls: VemoLanguageServer, params: types.SignatureHelpParams) -> types.SignatureHelp | None:
    document = ls.script(params.text_document.uri)
    if document is None:
        return None
    offset = document.offset_at_position(params.position)
    before = document.source[document.source.rfind("\n", 0, offset) + 1:offset]
    return translate.signature_help(before, _modules(ls, document.uri))


@server.feature(types.TEXT_DOCUMENT_INLAY_HINT)
async def inlay_hint(ls: VemoLanguageServer, params: types.InlayHintParams) -> list[types.InlayHint]:
    document, parsed, lines = await ls.last_parsed(params.text_document.uri)
    if parsed is None or lines is None:
        return []
    # Only the declarations in view are estimated: the view's lines in the text that was checked.
    first, last = params.range.start.line, params.range.end.line
    old = [line for line in (lines.to_old(n) for n in range(first, min(last, len(document.lines)) + 1))
           if line is not None]
    if not old:
        return []
    old_lines = parsed.text.split("\n")
    start = sum(len(text) + 1 for text in old_lines[:old[0]])
    end = start + sum(len(text) + 1 for text in old_lines[old[0]:old[-1] + 1])
    try:
        worker = await ls.workers.for_cell(ls.cell_for(document))
        reply = await worker.request({"op": "inlay", "uri": document.uri, "start": start, "end": end})
    except CheckerFailed:
        return []
    return translate.inlay_hints(document, reply.get("hints") or [], lines)
