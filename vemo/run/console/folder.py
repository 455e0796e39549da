"""The console of a folder of runs: a page that lists them (as `vemo runs` does) and opens any of them, live or
ended, each served below /runs/NAME/ by a run console of its own that shares this console's token."""

from __future__ import annotations

import asyncio
import collections
from pathlib import Path

from aiohttp import web

from vemo.run.console.server import (STATIC_DIR, ConsoleError, ConsoleServer, listen, page_url, token_guard,
                                     run_token)
from vemo.run.journal import JOURNAL_NAME
from vemo.run.runs import list_runs

# Runs opened at once: the least recently opened is closed past this many (each holds its run's fold).
MAX_OPEN_RUNS = 8


class FolderConsole:
    """Serves the list of the runs under `folder` and each run opened from it."""

    def __init__(self, folder: str | Path, host: str = "127.0.0.1", port: int = 0) -> None:
        self.folder = Path(folder)
        if not self.folder.is_dir():
            raise ConsoleError(f"{self.folder}: no such folder")
        self.host, self.port = host, port
        self.token = run_token(self.folder)
        self._open: collections.OrderedDict[str, ConsoleServer] = collections.OrderedDict()
        self._runner: web.AppRunner | None = None

    @property
    def url(self) -> str:
        return page_url(self.host, self.port, self.token)

    async def start(self) -> str:
        app = web.Application(middlewares=[token_guard(self.token, "this console needs its token: open the URL vemo "
                                                        "printed (the folder's console-token file holds it)")],
                              client_max_size=4096)
        app.router.add_get("/", self._index)
        app.router.add_get("/runs.js", self._script)
        app.router.add_get("/console.css", self._style)
        app.router.add_get("/api/runs", self._runs)
        app.router.add_route("*", "/runs/{name}/{tail:.*}", self._run)
        self._runner, self.port = await listen(app, self.host, self.port)
        return self.url

    async def close(self) -> None:
        for server in self._open.values():
            await server.close()
        self._open.clear()
        if self._runner is not None:
            await self._runner.cleanup()

    async def _index(self, request: web.Request) -> web.Response:
        page = (STATIC_DIR / "runs.html").read_text(encoding="utf-8").replace("{{token}}", self.token)
        return web.Response(text=page, content_type="text/html", charset="utf-8")

    async def _script(self, request: web.Request) -> web.Response:
        return web.Response(text=(STATIC_DIR / "runs.js").read_text(encoding="utf-8"),
                            content_type="text/javascript", charset="utf-8")

    async def _style(self, request: web.Request) -> web.Response:
        return web.Response(text=(STATIC_DIR / "console.css").read_text(encoding="utf-8"),
                            content_type="text/css", charset="utf-8")

    async def _runs(self, request: web.Request) -> web.Response:
        runs = await asyncio.get_running_loop().run_in_executor(None, list_runs, self.folder)
        return web.json_response({"folder": str(self.folder), "runs": runs})

    def _console(self, name: str) -> ConsoleServer:
        """The console of the run folder `name` right under the folder, started on first use."""
        server = self._open.get(name)
        if server is not None:
            self._open.move_to_end(name)
            return server
        run_dir = self.folder / name
        if name in (".", "..") or not (run_dir / JOURNAL_NAME).is_file() or run_dir.is_symlink():
            raise web.HTTPNotFound(text=f"no run {name} in {self.folder}\n")
        server = ConsoleServer(run_dir, self.host, self.port, token=self.token)
        server.begin()
        self._open[name] = server
        while len(self._open) > MAX_OPEN_RUNS:
            _, oldest = self._open.popitem(last=False)
            asyncio.get_running_loop().create_task(oldest.close())
        return server

    async def _run(self, request: web.Request) -> web.StreamResponse:
        server = self._console(request.match_info["name"])
        tail = request.match_info["tail"]
        for method, path, handler in ConsoleServer.ROUTES:
            if path == tail and method == request.method:
                return await getattr(server, handler)(request)
        raise web.HTTPNotFound(text="no such page\n")
