"""The language server's checker processes: one per cell description, restarted when it dies or hangs."""

from __future__ import annotations

import asyncio
import json
import os
import sys
from pathlib import Path
from typing import Any

import vemo

CHECK_TIMEOUT = 30.0  # seconds; a check that takes longer is stopped with its process
# Checker processes at once (each holds a runtime, some 20 MB): a path typed letter by letter in a
# `# cell:` comment names a new cell at every letter; the least recently used checker is ended first.
MAX_CHECKERS = 4
MAX_REPLY = 64 * 1024 * 1024  # bytes of one reply line: the diagnostics and outline of a script at the size cap
_PACKAGE_ROOT = str(Path(vemo.__file__).resolve().parents[1])


class CheckerFailed(Exception):
    """A checker process that ended or did not answer in time; the message says which and why."""


class Worker:
    """One checker process and its request stream; one request at a time."""

    def __init__(self, cell: str | None) -> None:
        self.cell = cell
        self._process: asyncio.subprocess.Process | None = None
        self._lock = asyncio.Lock()
        self._next_id = 0
        self.retired = False  # ended; a request still under way ends the process it starts

    async def _start(self) -> asyncio.subprocess.Process:
        env = dict(os.environ)
        # The checker imports the same vemo package as this server, wherever that was loaded from.
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [_PACKAGE_ROOT, env.get("PYTHONPATH")]))
        arguments = [self.cell] if self.cell is not None else []
        return await asyncio.create_subprocess_exec(
            sys.executable, "-m", "vemo.lsp.checker", *arguments, stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.DEVNULL, env=env,
            limit=MAX_REPLY)

    async def request(self, payload: dict[str, Any], timeout: float = CHECK_TIMEOUT) -> dict[str, Any]:
        async with self._lock:
            try:
                return await self._exchange(payload, timeout)
            finally:
                if self.retired:
                    await self._stop()

    async def _exchange(self, payload: dict[str, Any], timeout: float) -> dict[str, Any]:
        if self._process is None or self._process.returncode is not None:
            self._process = await self._start()
        process = self._process
        self._next_id += 1
        payload = dict(payload, id=self._next_id)
        try:
            process.stdin.write((json.dumps(payload) + "\n").encode("utf-8"))
            await process.stdin.drain()
            line = await asyncio.wait_for(process.stdout.readline(), timeout)
        except asyncio.TimeoutError:
            await self._stop()
            raise CheckerFailed(f"the check took longer than {timeout:g} s and was stopped") from None
        except (ConnectionError, OSError, ValueError):  # ValueError: a reply line over the stream's limit
            line = b""
        if not line:
            code = await self._stop()
            raise CheckerFailed(f"the checker process ended unexpectedly (exit code {code}); it is "
                                f"restarted at the next change")
        return json.loads(line)

    async def _stop(self) -> int | None:
        process, self._process = self._process, None
        if process is None:
            return None
        if process.returncode is None:
            process.kill()
        return await process.wait()

    async def close(self) -> None:
        self.retired = True
        async with self._lock:
            await self._stop()


class Workers:
    """The checker processes by cell description; a cell file that changes gets a new process."""

    def __init__(self) -> None:
        self._workers: dict[tuple, Worker] = {}  # least recently used first

    @staticmethod
    def _key(cell: str | None) -> tuple:
        if cell is None:
            return (None,)
        try:
            stat = os.stat(cell)
        except OSError:
            return (cell, None)
        return (cell, stat.st_mtime_ns, stat.st_size)

    async def for_cell(self, cell: str | None) -> Worker:
        # The table is changed with no await in between, so that concurrent checks never make two checkers
        # for one cell; the checkers let go of are ended afterwards.
        key = self._key(cell)
        worker = self._workers.pop(key, None)
        ended = []
        if worker is None:
            ended = [self._workers.pop(k) for k in [k for k in self._workers if k[0] == cell]]
            while len(self._workers) >= MAX_CHECKERS:
                ended.append(self._workers.pop(next(iter(self._workers))))
            worker = Worker(cell)
        self._workers[key] = worker
        for old in ended:
            await old.close()
        return worker

    async def retire(self, in_use: set[str | None]) -> None:
        """Ends the checkers of cells that no open document uses."""
        for old in [self._workers.pop(k) for k in [k for k in self._workers if k[0] not in in_use]]:
            await old.close()

    async def close(self) -> None:
        # Taken out first: a check under way may add a checker while these are being ended.
        while self._workers:
            await self._workers.pop(next(iter(self._workers))).close()
