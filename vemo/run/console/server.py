"""The console's web server: one page, a Server-Sent Events stream of the run (the run as it stands first, then
what changed), the chart's bars of any window, and the operator's commands passed on to the run's control
socket. Every request carries the run's token."""

from __future__ import annotations

import asyncio
import collections
import gc
import hmac
import math
import json
import os
import secrets
import signal
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable

from aiohttp import web

from vemo.run import commands as table
from vemo.run.console.address import is_loopback
from vemo.run.console.view import RunView
from vemo.run.journal import JOURNAL_NAME, JournalError, follow
from vemo.run.sideprocess import ParentLink
from vemo.run.timeline import CHART_CSS
from vemo.run.who import by

TOKEN_NAME = "console-token"
STATIC_DIR = Path(__file__).parent / "static"
# Updates of a busy run are coalesced: at most one per this many seconds (the end of the run goes at once).
MIN_PUBLISH_INTERVAL = 0.05
# The updates kept for pages that are behind; a page further behind gets the run as it stands again.
KEPT_UPDATES = 64
# The console's process folds a journal of up to hundreds of thousands of planned actions into long-lived
# records: with the interpreter's default thresholds the cyclic garbage collector walks them again and again
# while it reads (a third of the time to show a long run). Collected less often, the heap grows a little.
GC_THRESHOLDS = (50_000, 20, 100)
# What the page may load and talk to: its own server only, never a third party.
CONTENT_SECURITY_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
                           "img-src 'self' data:; connect-src 'self'; base-uri 'none'; form-action 'none'; "
                           "frame-ancestors 'none'")


class ConsoleError(Exception):
    """The console cannot serve this run: no journal, an unusable address, a token file that is not ours."""


def run_token(run_dir: Path) -> str:
    """The run's console token from DIR/console-token, created (mode 0600) by the first console of the run."""
    path = run_dir / TOKEN_NAME
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600)
    except FileExistsError:
        return _read_token(path)
    except OSError as error:
        raise ConsoleError(f"{path}: cannot create the console token: {error.strerror}") from None
    token = secrets.token_urlsafe(32)
    with os.fdopen(fd, "w") as out:
        out.write(token + "\n")
    return token


def _read_token(path: Path) -> str:
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NOFOLLOW)
    except OSError as error:
        raise ConsoleError(f"{path}: cannot read the console token: {error.strerror}") from None
    with os.fdopen(fd) as stream:
        info = os.fstat(stream.fileno())
        if info.st_uid != os.getuid() or info.st_mode & 0o077:
            raise ConsoleError(f"{path}: the token file must belong to you and be readable by you alone "
                               f"(mode 0600); remove it and start the console again")
        token = stream.read(256).strip()
    if len(token) < 32 or not all(c.isalnum() or c in "-_" for c in token):
        raise ConsoleError(f"{path}: not a console token; remove it and start the console again")
    return token


def page_url(host: str, port: int, token: str) -> str:
    """The address to open: a wildcard bind is opened on this machine through loopback."""
    if host in ("0.0.0.0", "", "::"):
        host = "127.0.0.1"
    shown = f"[{host}]" if ":" in host else host
    return f"http://{shown}:{port}/?token={token}"


def token_guard(token: str, missing: str) -> Any:
    """The middleware of a console's web side: only a request that carries `token` (in the query or as a
    Bearer token) gets in, and every answer gets the page's security headers. `missing` tells a request
    without a token where to find it."""

    @web.middleware
    async def guard(request: web.Request, handler: Any) -> web.StreamResponse:
        supplied = request.query.get("token")
        authorization = request.headers.get("Authorization", "")
        if authorization.startswith("Bearer "):
            supplied = authorization[len("Bearer "):]
        if not supplied:
            raise web.HTTPUnauthorized(text=missing + "\n", headers={"WWW-Authenticate": 'Bearer realm="vemo console"'})
        if not hmac.compare_digest(supplied.encode(), token.encode()):
            raise web.HTTPForbidden(text="wrong token for this console\n")
        response = await handler(request)
        response.headers["Content-Security-Policy"] = CONTENT_SECURITY_POLICY
        response.headers["Cache-Control"] = "no-store"
        response.headers["Referrer-Policy"] = "no-referrer"
        response.headers["X-Content-Type-Options"] = "nosniff"
        return response

    return guard


async def listen(app: web.Application, host: str, port: int) -> tuple[web.AppRunner, int]:
    """Serves `app` on host:port; returns its runner and the port (the one chosen when asked for port 0).
    ConsoleError when the address cannot be had."""
    runner = web.AppRunner(app, handle_signals=False, access_log=None)
    await runner.setup()
    try:
        await web.TCPSite(runner, host, port, shutdown_timeout=1.0).start()
    except OSError as error:
        await runner.cleanup()
        raise ConsoleError(f"cannot listen on {host}:{port}: {error.strerror or error}") from None
    return runner, runner.addresses[0][1]


class ConsoleServer:
    """Serves one run's console. The journal is followed on a thread of its own; the web side runs on the
    asyncio loop that `start` is awaited on."""

    def __init__(self, run_dir: str | Path, host: str = "127.0.0.1", port: int = 0,
                 on_ended: Callable[[], None] | None = None, token: str | None = None) -> None:
        self.run_dir = Path(run_dir)
        self.journal = self.run_dir / JOURNAL_NAME
        if not self.journal.is_file():
            raise ConsoleError(f"{self.run_dir}: no run here (no {JOURNAL_NAME})")
        self.host, self.port = host, port
        self.token = token if token is not None else run_token(self.run_dir)
        self.view = RunView()
        self.error: str | None = None
        self._on_ended = on_ended
        self._stop = threading.Event()
        # The run's clock against ours: an event is read no earlier than it was written, so the smallest
        # difference seen is the closest estimate of when the run started.
        self._clock_offset = float("inf")
        # The view is changed by the journal's thread and read by the web side, under this lock.
        self._lock = threading.Lock()
        self._scheduled = False
        self._updates: collections.deque[tuple[int, bytes]] = collections.deque(maxlen=KEPT_UPDATES)
        self._sequence = 0
        self._changed = asyncio.Event()
        self._closing = False
        self._publish_handle: asyncio.Handle | None = None
        self._last_publish = 0.0
        self._page = ""
        self._runner: web.AppRunner | None = None

    @property
    def url(self) -> str:
        return page_url(self.host, self.port, self.token)

    def begin(self) -> None:
        """Starts following the journal, on the running asyncio loop, which the web side then serves on."""
        self._loop = asyncio.get_running_loop()
        self._page = (STATIC_DIR / "index.html").read_text(encoding="utf-8").replace("{{token}}", self.token) \
            .replace("{{run_buttons}}", table.buttons_html("run")) \
            .replace("{{decision_buttons}}", table.buttons_html("decision"))
        self._publish()
        threading.Thread(target=self._follow, name="console-journal", daemon=True).start()

    # The page's routes below the console's root, with their handlers' names.
    ROUTES = (("GET", "", "_index"), ("GET", "console.js", "_static"), ("GET", "console.css", "_static"),
              ("GET", "events", "_events"), ("GET", "chart", "_chart"), ("POST", "api/command", "_command"))

    async def start(self) -> str:
        """Binds the address, starts following the journal and returns the URL to open."""
        app = web.Application(middlewares=[token_guard(self.token, "this console needs the token of its run: open "
                                                        "the URL vemo printed (the run folder's console-token "
                                                        "file holds it)")], client_max_size=4096)
        for method, path, handler in self.ROUTES:
            app.router.add_route(method, "/" + path, getattr(self, handler))
        self._runner, self.port = await listen(app, self.host, self.port)
        self.begin()
        return self.url

    async def close(self) -> None:
        self._stop.set()
        self._closing = True
        self._changed.set()
        if self._runner is not None:
            await self._runner.cleanup()

    def _follow(self) -> None:
        try:
            for event in follow(self.journal, self._stop):
                self._clock_offset = min(self._clock_offset, time.monotonic() - float(event["t"]))
                ended = event["event"] == "run_ended"
                with self._lock:
                    try:
                        self.view.apply(event)
                    except Exception as error:  # shown on the page, the view kept as it was before
                        self._loop.call_soon_threadsafe(self._fail, f"{type(error).__name__} on the "
                                                        f"{event.get('event')} event at t={event.get('t')}: {error}")
                        return
                    if self._scheduled and not ended:
                        continue
                    self._scheduled = True
                self._loop.call_soon_threadsafe(self._schedule, ended)
        except (JournalError, OSError) as error:
            self._loop.call_soon_threadsafe(self._fail, str(error))
        except Exception as error:  # a fault of this reader: the page must say so, not go on showing "running"
            self._loop.call_soon_threadsafe(self._fail, f"{type(error).__name__}: {error}")

    def _fail(self, message: str, what: str = "the journal cannot be followed") -> None:
        self._stop.set()
        if self.error is not None:
            return  # the first failure is the one to show
        self.error = f"{what}: {message}"
        print(f"warning: {self.error}", file=sys.stderr, flush=True)
        self._publish()

    def _schedule(self, ended: bool) -> None:
        """On the loop: the journal's thread has applied events; publishes them, at once for the end."""
        if ended:
            self._publish()
            if self._on_ended is not None:
                self._on_ended()
        elif self._publish_handle is None:
            delay = max(0.0, self._last_publish + MIN_PUBLISH_INTERVAL - self._loop.time())
            self._publish_handle = self._loop.call_later(delay, self._publish)

    def _run_now(self) -> float | None:
        return time.monotonic() - self._clock_offset if self._clock_offset != float("inf") else None

    def _encode(self, message: dict) -> bytes:
        message["error"] = self.error
        return json.dumps(message, ensure_ascii=False, default=str).encode("utf-8")

    def _publish(self) -> None:
        """Sends what changed since the last update to every page."""
        if self._publish_handle is not None:
            self._publish_handle.cancel()
            self._publish_handle = None
        self._last_publish = self._loop.time()
        with self._lock:
            self._scheduled = False
            update = self._encode(self._drawn(self.view.changes))
            self._sequence += 1
            self._updates.append((self._sequence, update))
        changed, self._changed = self._changed, asyncio.Event()
        changed.set()

    def _first(self) -> tuple[int, bytes]:
        """The run as it stands for a page that opens (or fell behind), and the last update it includes."""
        with self._lock:
            return self._sequence, self._encode(self._drawn(self.view.first))

    def _drawn(self, draw: Callable[[float | None], dict]) -> dict:
        """What `draw` makes of the view now; a view that cannot be drawn stops the console's following,
        and the page keeps what it has, with the error."""
        try:
            return draw(self._run_now())
        except Exception as error:
            self._stop.set()
            if self.error is None:
                self.error = f"the run cannot be drawn: {type(error).__name__}: {error}"
                print(f"warning: {self.error}", file=sys.stderr, flush=True)
            return {}

    async def _index(self, request: web.Request) -> web.Response:
        return web.Response(text=self._page, content_type="text/html", charset="utf-8")

    async def _static(self, request: web.Request) -> web.Response:
        name = request.path.rsplit("/", 1)[-1]
        body = (STATIC_DIR / name).read_text(encoding="utf-8")
        if name.endswith(".css"):
            return web.Response(text=body + CHART_CSS + "\n", content_type="text/css", charset="utf-8")
        return web.Response(text=body, content_type="text/javascript", charset="utf-8")

    async def _events(self, request: web.Request) -> web.StreamResponse:
        response = web.StreamResponse(headers={"Content-Type": "text/event-stream", "Cache-Control": "no-store",
                                               "Content-Security-Policy": CONTENT_SECURITY_POLICY})
        await response.prepare(request)
        try:
            sent, first = self._first()
            await response.write(b"data: " + first + b"\n\n")
            while not self._closing:
                changed = self._changed
                pending = [(n, update) for n, update in self._updates if n > sent]
                if pending and pending[0][0] != sent + 1:  # behind by more than the updates kept
                    sent, first = self._first()
                    await response.write(b"data: " + first + b"\n\n")
                    continue
                for n, update in pending:
                    await response.write(b"data: " + update + b"\n\n")
                    sent = n
                if not pending:
                    await changed.wait()
        except ConnectionError:  # the page was closed, or stopped reading and then closed: aiohttp says
            pass  # ConnectionResetError for the one and a bare ConnectionError for the other
        return response

    async def _chart(self, request: web.Request) -> web.Response:
        """The chart's bars of the window `from` to `to` (seconds of the run)."""
        try:
            start, end = float(request.query["from"]), float(request.query["to"])
        except (KeyError, ValueError):
            return _refuse(400, "chart takes from and to, in seconds of the run")
        if not (math.isfinite(start) and math.isfinite(end)):
            return _refuse(400, "chart takes from and to, in seconds of the run")
        with self._lock:
            bars = self.view.bars(start, end)
        return web.json_response({"window": [min(start, end), max(start, end)], "bars": bars},
                                 dumps=lambda value: json.dumps(value, ensure_ascii=False, default=str))

    async def _command(self, request: web.Request) -> web.Response:
        if request.content_type != "application/json":
            return _refuse(415, "a command is a JSON object sent as application/json")
        try:
            body = await request.json()
        except (ValueError, RecursionError):  # RecursionError: a body nested too deep for the parser
            return _refuse(400, "a command is a JSON object")
        try:
            command = table.find(body) if isinstance(body, dict) else None
        except table.UnknownRequest as error:
            return _refuse(400, str(error))
        if command is None or command.label is None:
            return _refuse(400, f"the console sends {', '.join(c.name for c in table.OPERATOR_COMMANDS)}")
        sent = {**command.request, "by": by("console", address=request.remote or None)}
        from vemo.run.controlsocket import ControlError, send

        try:
            reply = await self._loop.run_in_executor(None, lambda: send(self.run_dir, **sent))
        except ControlError as error:
            return _refuse(503, str(error))
        return web.json_response(reply, status=200 if reply.get("ok") else 409)


def _refuse(status: int, message: str) -> web.Response:
    return web.json_response({"ok": False, "error": message}, status=status)


def _holds_runs(folder: Path) -> bool:
    """Whether `folder` is a folder of run folders (one at least): its console lists them."""
    try:
        return folder.is_dir() and any((entry / JOURNAL_NAME).is_file() for entry in folder.iterdir())
    except OSError:
        return False


def serve(run_dir: str, host: str, port: int, from_run: bool = False) -> int:
    """`vemo console`: serves the run's console until Ctrl-C or SIGTERM. Started by `vemo run`, it tells
    its parent the URL as one JSON line on stdout and ends when its standard input closes."""
    gc.set_threshold(*GC_THRESHOLDS)
    try:
        return asyncio.run(_serve(run_dir, host, port, from_run))
    except ConsoleError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1


async def _serve(run_dir: str, host: str, port: int, from_run: bool) -> int:
    loop = asyncio.get_running_loop()
    done = asyncio.Event()
    for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        if signal.getsignal(number) != signal.SIG_IGN:
            loop.add_signal_handler(number, done.set)
    if not is_loopback(host):
        print(f"warning: the console listens on {host}, reachable from other machines: anyone who has its "
              f"token can pause and stop the run", file=sys.stderr, flush=True)

    link = ParentLink(from_run)

    def tell_parent(message: dict) -> None:
        if not link.tell(message):
            done.set()  # the run is gone: so is the reason to serve its console

    if not from_run and not (Path(run_dir) / JOURNAL_NAME).is_file() and _holds_runs(Path(run_dir)):
        from vemo.run.console.folder import FolderConsole

        server: Any = FolderConsole(run_dir, host, port)
    else:
        server = ConsoleServer(run_dir, host, port,
                               on_ended=(lambda: tell_parent({"ended": True})) if from_run else None)
    url = await server.start()
    try:
        if from_run:
            tell_parent({"url": url})
            link.watch(lambda: loop.call_soon_threadsafe(done.set))
        else:
            print(f"console of {run_dir}: {url}\n(Ctrl-C ends the console, not the run{'' if isinstance(server, ConsoleServer) else 's'})", flush=True)
        await done.wait()
    finally:
        await server.close()
    return 0
