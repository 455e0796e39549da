"""Drives `vemo lsp` as an editor does: a real server process over stdio, spoken to with pygls's client."""

import asyncio
import contextlib
import sys
from pathlib import Path

from lsprotocol import types
from pygls.lsp.client import LanguageClient

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "frontend"))
from frontend_support import ROOT, child_env  # noqa: E402

SESSION_TIMEOUT = 90  # seconds for one whole test session
WAIT = 30  # seconds for one answer (a checker process starts on the first check)


class Editor:
    """One client session: opens and edits documents, collects the diagnostics the server publishes."""

    def __init__(self, client: LanguageClient):
        self.client = client
        self.published: dict[str, list] = {}
        self._changed = asyncio.Condition()
        self.versions: dict[str, int] = {}
        self.published_versions: dict[str, int] = {}
        self.registrations: list = []  # what the server asked the client to register
        self.capabilities: types.ServerCapabilities | None = None  # what the server said it offers

    async def on_diagnostics(self, params):
        async with self._changed:
            self.published[params.uri] = list(params.diagnostics)
            self.published_versions[params.uri] = params.version
            self._changed.notify_all()

    def open(self, path: Path, text: str | None = None) -> str:
        uri = path.resolve().as_uri()
        self.versions[uri] = 1
        self.client.text_document_did_open(types.DidOpenTextDocumentParams(
            types.TextDocumentItem(uri=uri, language_id="vemo", version=1,
                                   text=path.read_text() if text is None else text)))
        return uri

    def change(self, uri: str, text: str) -> None:
        self.versions[uri] += 1
        self.client.text_document_did_change(types.DidChangeTextDocumentParams(
            types.VersionedTextDocumentIdentifier(version=self.versions[uri], uri=uri),
            [types.TextDocumentContentChangeWholeDocument(text=text)]))

    async def diagnostics(self, uri: str) -> list:
        """The diagnostics published for the document's latest version."""
        async def published():
            async with self._changed:
                await self._changed.wait_for(lambda: self.published_versions.get(uri) == self.versions[uri])
        await asyncio.wait_for(published(), WAIT)
        return self.published[uri]

    async def request(self, method: str, params):
        return await asyncio.wait_for(getattr(self.client, method)(params), WAIT)


@contextlib.asynccontextmanager
async def editor(capabilities: types.ClientCapabilities | None = None, root: Path | None = None,
                 **initialization_options):
    client = LanguageClient("vemo-tests", "1")
    session = Editor(client)

    @client.feature(types.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    async def published(ls, params):
        await session.on_diagnostics(params)

    @client.feature(types.CLIENT_REGISTER_CAPABILITY)
    def register(ls, params):
        session.registrations += params.registrations

    await client.start_io(sys.executable, "-m", "vemo", "lsp", env=child_env(), cwd=str(ROOT))
    try:
        session.capabilities = (await asyncio.wait_for(client.initialize_async(types.InitializeParams(
            capabilities=capabilities or types.ClientCapabilities(),
            root_uri=root.resolve().as_uri() if root else None,
            initialization_options=initialization_options or None)), WAIT)).capabilities
        client.initialized(types.InitializedParams())
        yield session
        await asyncio.wait_for(client.shutdown_async(None), WAIT)
        client.exit(None)
    finally:
        # A test that failed before the shutdown leaves the server running: end it rather than wait.
        process = client._server
        if process is not None and process.returncode is None:
            try:
                await asyncio.wait_for(process.wait(), 5)
            except asyncio.TimeoutError:
                process.kill()
        await client.stop()


def run(test):
    """Runs an async test body with a session time limit."""
    asyncio.run(asyncio.wait_for(test(), SESSION_TIMEOUT))


def text_at(text: str, range_: types.Range) -> str:
    lines = text.split("\n")
    if range_.start.line == range_.end.line:
        return lines[range_.start.line][range_.start.character:range_.end.character]
    raise AssertionError(f"range spans lines: {range_}")


def position_of(text: str, needle: str, skip: int = 0) -> types.Position:
    """The position `skip` characters into the first occurrence of `needle`."""
    offset = text.index(needle) + skip
    line = text.count("\n", 0, offset)
    return types.Position(line=line, character=offset - (text.rfind("\n", 0, offset) + 1))
