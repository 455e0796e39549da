"""`vemo lsp`: the Vemo language server over standard input and output.

Diagnostics come from the checks of `vemo check`, run by a checker process per cell description
(vemo/lsp/checker.py). This file holds the server's state (open documents, their checks, the checkers) and
the document life cycle; the answers to requests are in vemo/lsp/handlers.py, the byte stream in
vemo/lsp/transport.py.
"""

from __future__ import annotations

import asyncio
import dataclasses
import logging
import re
import sys
from pathlib import Path
from typing import Any

from lsprotocol import types
from pygls.lsp.server import LanguageServer
from pygls.workspace import TextDocument

import vemo
from vemo.util.inputfile import MAX_SCRIPT_BYTES
from vemo.lsp.cellfile import cell_diagnostics, is_cell_file
from vemo.lsp.linemap import LineMap
from vemo.lsp.translate import client_range
from vemo.lsp.transport import KeepOpen, Protocol, serve
from vemo.lsp.workers import CheckerFailed, Workers

DEBOUNCE = 0.15  # seconds of quiet after a change before the script is checked
ANSWER_TIMEOUT = 10.0  # seconds a request waits for the check of the latest text
# Documents larger than `vemo check` reads are not checked: a check of one would take minutes and gigabytes.
MAX_DOCUMENT_BYTES = MAX_SCRIPT_BYTES
TOO_LARGE = (f"this document is larger than {MAX_DOCUMENT_BYTES // (1024 * 1024)} MiB, the most `vemo check` "
             f"reads: it is not checked")
# Files whose change can change what an open script means: cell descriptions and handler settings.
WATCHED = ("**/*.yaml", "**/*.yml")
_CELL_COMMENT = re.compile(r"^[ \t]*#[ \t]*cell:[ \t]*(\S(?:.*\S)?)[ \t]*$", re.MULTILINE)


@dataclasses.dataclass
class Answer:
    """The checker's answer for one version of a document."""

    version: int | None
    names: list[dict[str, Any]] | None
    modules: dict[str, Any]
    text: str = ""
    details: dict[str, Any] | None = None  # declarations, cell terms and folds, fetched when first needed


class VemoLanguageServer(LanguageServer):
    def __init__(self) -> None:
        super().__init__("vemo", vemo.__version__, text_document_sync_kind=types.TextDocumentSyncKind.Incremental,
                         protocol_cls=Protocol)
        self.workers = Workers()
        self.cell_setting: str | None = None
        self.checked: dict[str, Answer] = {}
        self.parsed: dict[str, Answer] = {}  # the check of the last text that parsed, per document
        self.modules: dict[str, Any] = {}  # the cell's names as last seen, for completion on broken text
        self._pending: dict[str, asyncio.Task] = {}
        self._done: dict[str, asyncio.Event] = {}
        self._cells: dict[str, str | None] = {}  # the cell each document was last checked against

    # --- where the cell is ----------------------------------------------------------------------

    def cell_for(self, document: TextDocument) -> str | None:
        """A `# cell: FILE` comment of the script first, then the vemo.cell.model setting, then cell.yaml beside
        the script. Relative paths start at the script's folder."""
        folder = Path(document.path).parent if document.uri.startswith("file:") else Path.cwd()
        named = _CELL_COMMENT.search(document.source[:4096])
        if named:
            return str((folder / named.group(1)).resolve())
        if self.cell_setting:
            return str((folder / Path(self.cell_setting).expanduser()).resolve())
        beside = folder / "cell.yaml"
        return str(beside.resolve()) if document.uri.startswith("file:") and beside.is_file() else None

    # --- checks ---------------------------------------------------------------------------------

    def schedule(self, uri: str, delay: float) -> None:
        previous = self._pending.pop(uri, None)
        if previous is not None:
            previous.cancel()
        self._done.setdefault(uri, asyncio.Event()).clear()
        self._pending[uri] = asyncio.get_running_loop().create_task(self._check_later(uri, delay))

    async def _check_later(self, uri: str, delay: float) -> None:
        await asyncio.sleep(delay)
        # From here on the check runs to its end: a checker stopped halfway would have to start again.
        self._pending.pop(uri, None)
        await asyncio.shield(self._check(uri))

    async def _check(self, uri: str) -> None:
        try:
            document = self.workspace.get_text_document(uri)
            version, text = document.version, document.source
            if is_cell_file(document, self._cells.values()):
                self.text_document_publish_diagnostics(types.PublishDiagnosticsParams(
                    uri=uri, version=version,
                    diagnostics=[_diagnostic(document, entry) for entry in cell_diagnostics(document)]))
                return
            if too_large(text):
                self.checked.pop(uri, None)
                self.parsed.pop(uri, None)
                self.text_document_publish_diagnostics(types.PublishDiagnosticsParams(
                    uri=uri, version=version, diagnostics=[types.Diagnostic(
                        range=types.Range(types.Position(0, 0), types.Position(0, 0)), message=TOO_LARGE,
                        severity=types.DiagnosticSeverity.Error, source="vemo")]))
                return
            cell = self.cell_for(document)
            self._cells[uri] = cell
            worker = await self.workers.for_cell(cell)
            try:
                reply = await worker.request({"op": "check", "uri": uri, "path": document.path, "text": text,
                                              "version": version})
            except CheckerFailed as error:
                reply = {"diagnostics": [{"range": [0, 0, 0, 0], "message": str(error), "severity": 1}]}
            finally:
                await self.workers.retire(self._cells_in_use())
            if "error" in reply:
                reply = {"diagnostics": [{"range": [0, 0, 0, 0], "severity": 1,
                                          "message": f"the checker failed on this script: {reply['error']}"}]}
            current = self.workspace.text_documents.get(uri)
            if current is None or current.version != version:
                return  # closed or changed meanwhile: the next check answers
            outline = reply.get("outline")
            self.checked[uri] = Answer(version, outline["names"] if outline else None, reply.get("modules", {}),
                                       text)
            if outline:
                self.parsed[uri] = self.checked[uri]
            if reply.get("modules"):
                self.modules = reply["modules"]
            self.text_document_publish_diagnostics(types.PublishDiagnosticsParams(
                uri=uri, version=version,
                diagnostics=[_diagnostic(current, entry) for entry in _merged(reply["diagnostics"])]))
        except Exception as error:  # the server stays up; the editor hears what went wrong
            logging.getLogger(__name__).exception("check of %s failed", uri)
            self.window_log_message(types.LogMessageParams(types.MessageType.Error, f"vemo: check failed: {error}"))
        finally:
            if uri not in self._pending and uri in self._done:
                self._done[uri].set()

    async def latest(self, uri: str) -> tuple[TextDocument, Answer | None]:
        """The document and its check, waiting (a while) for the check of its latest text."""
        if uri not in self.workspace.text_documents:
            return self.workspace.get_text_document(uri), None
        document = self.workspace.get_text_document(uri)
        checked = self.checked.get(uri)
        if (checked is None or checked.version != document.version) and uri in self._done:
            try:
                await asyncio.wait_for(self._done[uri].wait(), ANSWER_TIMEOUT)
            except asyncio.TimeoutError:
                pass
            document = self.workspace.get_text_document(uri)
            checked = self.checked.get(uri)
        return document, checked

    def script(self, uri: str) -> TextDocument | None:
        """The open document at `uri` if it is a script the server reads (not a cell file, not too large)."""
        document = self.workspace.text_documents.get(uri)
        if document is None or is_cell_file(document, self._cells.values()) or too_large(document.source):
            return None
        return document

    def cell_of(self, uri: str) -> str | None:
        """The cell description the document was last checked against."""
        return self._cells.get(uri)

    def _cells_in_use(self) -> set[str | None]:
        return {cell for uri, cell in self._cells.items() if uri in self.workspace.text_documents}

    async def forget(self, uri: str) -> None:
        task = self._pending.pop(uri, None)
        if task is not None:
            task.cancel()
        self.checked.pop(uri, None)
        self.parsed.pop(uri, None)
        self._done.pop(uri, None)
        self.text_document_publish_diagnostics(types.PublishDiagnosticsParams(uri=uri, diagnostics=[]))
        cell = self._cells.pop(uri, "no check")
        if cell != "no check" and cell in self._cells_in_use():
            try:  # the checker, still used by other documents, lets go of this one's last compile
                await (await self.workers.for_cell(cell)).request({"op": "forget", "uri": uri})
            except CheckerFailed:
                pass
        await self.workers.retire(self._cells_in_use())

    async def details(self, document: TextDocument, parsed: Answer) -> dict[str, Any] | None:
        """The declarations, cell terms and folds of a parsed text, asked of the checker the first time."""
        if parsed.details is None:
            try:
                worker = await self.workers.for_cell(self.cell_for(document))
                found = (await worker.request({"op": "details", "uri": document.uri})).get("details")
            except CheckerFailed:
                return None
            if found is None or found["version"] != parsed.version:
                return None  # the checker has moved on to a later text; the next request asks again
            parsed.details = found
        return parsed.details

    async def last_parsed(self, uri: str) -> tuple[TextDocument, Answer | None, LineMap | None]:
        """The document, the check of its last text that parsed, and how the lines of that text map onto
        the current text (None when there is no such check)."""
        document, checked = await self.latest(uri)
        parsed = self.parsed.get(uri)
        if parsed is None or checked is None or too_large(document.source):
            return document, None, None
        return document, parsed, LineMap(parsed.text, document.source)


def too_large(text: str) -> bool:
    # A character takes at most 4 bytes: most documents are known to fit without encoding them.
    return len(text) * 4 > MAX_DOCUMENT_BYTES and len(text.encode("utf-8", "surrogatepass")) > MAX_DOCUMENT_BYTES


def _merged(entries: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """One diagnostic per place and kind of problem: a wait cycle inside a loop is found once per round."""
    kept: dict[tuple, dict[str, Any]] = {}
    repeats: dict[tuple, int] = {}
    for entry in entries:
        key = (tuple(entry["range"]), entry["message"].split(":")[0])
        if key in kept:
            repeats[key] += 1
        else:
            kept[key], repeats[key] = dict(entry), 0
    for key, count in repeats.items():
        if count:
            kept[key]["message"] += f" (and {count} more like it here)"
    return list(kept.values())


def _diagnostic(document: TextDocument, entry: dict[str, Any]) -> types.Diagnostic:
    return types.Diagnostic(range=client_range(document, entry["range"]), message=entry["message"],
                            severity=types.DiagnosticSeverity(entry["severity"]), source="vemo")


server = VemoLanguageServer()


@server.feature(types.INITIALIZE)
def initialize(ls: VemoLanguageServer, params: types.InitializeParams) -> None:
    options = params.initialization_options
    if isinstance(options, dict) and isinstance(options.get("cell"), str) and options["cell"]:
        ls.cell_setting = options["cell"]


@server.feature(types.WORKSPACE_DID_CHANGE_CONFIGURATION)
def did_change_configuration(ls: VemoLanguageServer, params: types.DidChangeConfigurationParams) -> None:
    settings = params.settings
    vemo_settings = settings.get("vemo") if isinstance(settings, dict) else None
    if isinstance(vemo_settings, dict):
        cell = vemo_settings.get("cell")
        ls.cell_setting = cell if isinstance(cell, str) and cell else None
        for uri in list(ls.workspace.text_documents):
            ls.schedule(uri, 0)


@server.feature(types.TEXT_DOCUMENT_DID_OPEN)
def did_open(ls: VemoLanguageServer, params: types.DidOpenTextDocumentParams) -> None:
    ls.schedule(params.text_document.uri, 0)


@server.feature(types.TEXT_DOCUMENT_DID_CHANGE)
def did_change(ls: VemoLanguageServer, params: types.DidChangeTextDocumentParams) -> None:
    ls.schedule(params.text_document.uri, DEBOUNCE)


def _check_all(ls: VemoLanguageServer, params: Any) -> None:
    # A saved or changed cell description changes what every open script means.
    for uri in list(ls.workspace.text_documents):
        ls.schedule(uri, 0)


server.feature(types.TEXT_DOCUMENT_DID_SAVE)(_check_all)
server.feature(types.WORKSPACE_DID_CHANGE_WATCHED_FILES)(_check_all)


@server.feature(types.TEXT_DOCUMENT_DID_CLOSE)
async def did_close(ls: VemoLanguageServer, params: types.DidCloseTextDocumentParams) -> None:
    await ls.forget(params.text_document.uri)


@server.feature(types.SHUTDOWN)
async def shutdown(ls: VemoLanguageServer, params: None) -> None:
    await ls.workers.close()


@server.feature(types.INITIALIZED)
async def initialized(ls: VemoLanguageServer, params: types.InitializedParams) -> None:
    # Editors watch files only when asked to: without this, a saved cell.yaml would not re-check scripts.
    watching = ls.client_capabilities.workspace and ls.client_capabilities.workspace.did_change_watched_files
    if watching and watching.dynamic_registration:
        try:
            await ls.client_register_capability_async(types.RegistrationParams([types.Registration(
                id="vemo-watched-files", method=types.WORKSPACE_DID_CHANGE_WATCHED_FILES,
                register_options=types.DidChangeWatchedFilesRegistrationOptions(
                    [types.FileSystemWatcher(glob_pattern=pattern) for pattern in WATCHED]))]))
        except Exception as error:  # a client that refuses still gets the checks on save
            logging.getLogger(__name__).warning("the client did not watch files: %s", error)


def main() -> int:
    """Serves until the client says exit (or its end of the stream closes); 0 after a shutdown, else 1."""
    import vemo.lsp.handlers  # noqa: F401 (registers the handlers of the editing features)

    logging.basicConfig(level=logging.WARNING, format="vemo lsp: %(levelname)s %(message)s")
    # The library logs a traceback for every message it cannot read; the client gets an error reply instead.
    logging.getLogger("pygls.protocol.json_rpc").setLevel(logging.CRITICAL)
    server.protocol.set_writer(KeepOpen(sys.stdout.buffer))
    return asyncio.run(serve(server.protocol, sys.stdin.buffer))
