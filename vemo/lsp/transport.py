"""The server's end of the byte stream: bounded frames in, a JSON-RPC error reply for every request that
cannot be read or used, and an exit code that follows the protocol's shutdown rule."""

from __future__ import annotations

import asyncio
import json
import logging
import os
import threading
from typing import Any, BinaryIO

import attrs
from pygls.exceptions import (JsonRpcException, JsonRpcInvalidParams, JsonRpcInvalidRequest,
                              JsonRpcParseError)
from lsprotocol.types import EXIT
from pygls.protocol import LanguageServerProtocol

MAX_HEADER_LINE = 1024  # bytes; the protocol's headers are two short lines
MAX_HEADERS = 16  # header lines of one frame, before the frame is taken as garbage
# Bytes of one message body: a document at the server's size cap, JSON-escaped, fits with room to spare;
# a larger frame is skipped unread so that a runaway client cannot fill the server's memory.
MAX_FRAME = 64 * 1024 * 1024
_SKIP_CHUNK = 1024 * 1024
_LOG = logging.getLogger(__name__)


@attrs.define
class Rejected:
    """A message that parsed as JSON but is no valid request or notification; requests get `error` back."""

    id: Any
    error: JsonRpcException


def _request_id(data: Any) -> int | str | None:
    value = data.get("id") if isinstance(data, dict) else None
    return value if isinstance(value, (int, str)) and not isinstance(value, bool) else None


class Protocol(LanguageServerProtocol):
    """pygls's protocol, answering what it would drop: malformed params, messages that are no JSON-RPC
    object, and frames that are no JSON at all."""

    exit_code: int | None = None  # set by the exit notification

    def structure_message(self, data: dict[str, Any]) -> Any:
        if "jsonrpc" not in data:
            return data  # an object inside params, or a message without the version (refused below)
        if data.get("jsonrpc") != "2.0" or ("method" in data and not isinstance(data["method"], str)):
            return Rejected(_request_id(data), JsonRpcInvalidRequest())
        try:
            return super().structure_message(data)
        except JsonRpcException as error:
            # Only a request is answered; a notification or a response with bad fields is dropped.
            wanted = "method" in data and "id" in data
            return Rejected(_request_id(data) if wanted else None,
                            JsonRpcInvalidParams() if wanted else error)

    def handle_message(self, message: Any) -> None:
        if isinstance(message, Rejected):
            if message.id is not None:
                self.reply_error(message.id, message.error)
            else:
                _LOG.warning("dropped a malformed message: %s", message.error)
            return
        if not attrs.has(type(message)):  # a JSON value that is no JSON-RPC message object
            self.reply_error(_request_id(message), JsonRpcInvalidRequest())
            return
        if getattr(message, "method", None) == EXIT:
            # The protocol's rule: 0 after a shutdown request, else 1. The session ends here, before any
            # handler still under way can answer into a closed stream.
            self.exit_code = 0 if self._shutdown else 1
            return
        if self._shutdown and getattr(message, "method", EXIT) != EXIT and getattr(message, "id", None) is not None:
            self.reply_error(message.id, JsonRpcInvalidRequest(message="the server is shutting down"))
            return
        super().handle_message(message)

    def reply_error(self, request_id: int | str | None, error: JsonRpcException) -> None:
        """An error response; `request_id` None when the request's id could not be read."""
        self._send_data({"jsonrpc": "2.0", "id": request_id,
                         "error": {"code": error.code, "message": error.message}})


class KeepOpen:
    """The server's writer: writes and flushes, and on close only flushes, so that standard output is still
    usable when the command returns."""

    def __init__(self, stream: BinaryIO) -> None:
        self._stream = stream

    def write(self, data: bytes) -> None:
        self._stream.write(data)
        self._stream.flush()

    def close(self) -> None:
        self._stream.flush()


class _Descriptor:
    """Reads a file descriptor with its own small buffer: the reading thread may still be blocked in a read
    when the process ends, and a blocked read must then hold no lock of the interpreter's stream objects."""

    def __init__(self, descriptor: int) -> None:
        self._descriptor = descriptor
        self._buffer = bytearray()
        self._ended = False

    def _fill(self) -> bool:
        if self._ended:
            return False
        chunk = os.read(self._descriptor, _SKIP_CHUNK)
        self._ended = not chunk
        self._buffer += chunk
        return bool(chunk)

    def readline(self, limit: int) -> bytes:
        while True:
            end = self._buffer.find(b"\n", 0, limit)
            if end >= 0 or len(self._buffer) >= limit or not self._fill():
                size = end + 1 if end >= 0 else min(limit, len(self._buffer))
                line = bytes(self._buffer[:size])
                del self._buffer[:size]
                return line

    def read(self, size: int) -> bytes:
        while len(self._buffer) < size and self._fill():
            pass
        data = bytes(self._buffer[:size])
        del self._buffer[:size]
        return data


def _read_frames(stream: _Descriptor, deliver: Any) -> None:
    """Reads frames until the stream ends and hands each body (or None, for a frame that cannot be taken)
    to `deliver`; runs in its own thread, as the standard input cannot be read without blocking."""
    while True:
        length, lines = None, 0
        while True:
            line = stream.readline(MAX_HEADER_LINE + 1)
            if not line:
                deliver(EOFError())
                return
            if line in (b"\r\n", b"\n"):
                break
            lines += 1
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length" and value.strip().isdigit():
                length = int(value.strip())
            if lines > MAX_HEADERS or len(line) > MAX_HEADER_LINE:
                length = None
                break  # not a header: the body cannot be found; what follows is read as the next frame
        if length is None:
            deliver(JsonRpcParseError(message="a frame without a readable Content-Length header"))
            continue
        if length > MAX_FRAME:
            while length > 0:
                skipped = stream.read(min(length, _SKIP_CHUNK))
                if not skipped:
                    deliver(EOFError())
                    return
                length -= len(skipped)
            deliver(JsonRpcInvalidRequest(message=f"a message over {MAX_FRAME // (1024 * 1024)} MiB, skipped"))
            continue
        body = stream.read(length)
        if len(body) < length:
            deliver(EOFError())
            return
        deliver(body)


async def serve(protocol: Protocol, stdin: BinaryIO) -> int:
    """Hands every message read from `stdin` to `protocol` until the exit notification or the end of the
    stream; the process's exit code."""
    loop = asyncio.get_running_loop()
    frames: asyncio.Queue = asyncio.Queue()
    # A daemon thread: a read blocked on the standard input must not keep the process alive after exit.
    threading.Thread(target=_read_frames, args=(_Descriptor(stdin.fileno()), lambda item: loop.call_soon_threadsafe(frames.put_nowait, item)),
                     name="vemo-lsp-reader", daemon=True).start()
    while True:
        item = await frames.get()
        if isinstance(item, EOFError):
            return 0 if protocol._shutdown else 1
        if isinstance(item, JsonRpcException):
            protocol.reply_error(None, item)
            continue
        try:
            message = json.loads(item, object_hook=protocol.structure_message)
        except (ValueError, RecursionError) as error:  # not JSON, or not UTF-8
            protocol.reply_error(None, JsonRpcParseError(message=f"Parse Error: {error}"[:200]))
            continue
        try:
            protocol.handle_message(message)
        except Exception:  # a fault in one message must not end the session
            _LOG.exception("a message could not be handled")
        if protocol.exit_code is not None:
            return protocol.exit_code
