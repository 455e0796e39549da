"""The run's control socket DIR/control: a server that answers every client without one blocking another, and
`send`, the client of `vemo ctl` and the console."""

from __future__ import annotations

import contextlib
import errno
import json
import os
import select
import selectors
import socket
import threading
import time
from pathlib import Path
from typing import Any

SOCKET_NAME = "control"
# A request line (without its newline) longer than this is no control request: it is refused and the
# connection closed. Requests are a few dozen bytes; 64 KiB leaves room for any tool's own framing.
MAX_REQUEST_BYTES = 64 * 1024
# After refusing an over-long line the server reads on to its newline, so that a client still sending it
# gets the refusal instead of a broken pipe; a line that goes on past this many more bytes is cut off.
MAX_DISCARD_BYTES = 1 << 20
# The largest answer a client accepts: a status of a cell with many modules is a few KiB.
MAX_ANSWER_BYTES = 4 << 20
# Connections served at once. One more makes room by closing the connection that has been quiet longest:
# `vemo ctl` and the console open one per command, so only an idle or stalled client loses its place.
MAX_CONNECTIONS = 16
# A connection that sends no request for this long is closed.
IDLE_SECONDS = 10.0
# A connection whose client does not take its answer for this long is closed; its requests not yet
# answered are dropped without being applied.
ANSWER_SECONDS = 5.0
# How long `send` waits for the run's answer, from connecting to the answer's newline.
CLIENT_TIMEOUT_SECONDS = 5.0
# How long `send` waits before it tries again to connect to a server whose queue of new connections is full.
CONNECT_RETRY_SECONDS = 0.01
# New connections the kernel queues for the serving thread to accept.
LISTEN_BACKLOG = 64
# How long the serving thread pauses after an error it cannot act on (descriptors exhausted), so that a
# listener that stays readable does not spin the thread.
ERROR_BACKOFF_SECONDS = 0.05


class ControlError(RuntimeError):
    """No run answers at a run folder's control socket, or its answer is not one."""


class _Connection:
    """One client: what it sent that is not yet answered, the answer it has not yet taken, and when it
    last made progress."""

    def __init__(self, sock: socket.socket, now: float) -> None:
        self.sock = sock
        self.incoming = bytearray()
        self.outgoing = bytearray()
        self.discarding = 0  # bytes of an over-long line read past its refusal; 0 when not discarding
        self.close_after_answer = False
        self.eof = False  # the client shut down its sending side and waits for its answers
        self.since = now  # the last request, answer taken or connection made

    def deadline(self) -> float:
        return self.since + (ANSWER_SECONDS if self.outgoing else IDLE_SECONDS)


class ControlServer:
    """Serves a run's control socket DIR/control (mode 0600) on a thread of its own: one JSON request per
    line, one JSON answer per line. Every socket is non-blocking and every buffer bounded: a client that
    stops reading or sending holds only its own connection, for at most its time limit. A connection's
    next request is taken only once the answer to its last one has gone out, so a command is applied only
    while its client is there to be told, and requests queued behind an answer nobody takes are dropped
    unapplied. `control.handle(request) -> dict` gives the answer to one request."""

    def __init__(self, run_dir: str | Path, control: Any) -> None:
        self.path = Path(run_dir) / SOCKET_NAME
        self._handle = control.handle
        self._selector = selectors.DefaultSelector()
        self._wake_read, self._wake_write = os.pipe()
        self._thread: threading.Thread | None = None
        self._listener: socket.socket | None = None
        self._connections: dict[socket.socket, _Connection] = {}
        self._reserve: int | None = None  # a descriptor given up to accept and refuse a client under EMFILE
        self.faults = 0  # errors the serving thread survived, for tests and diagnosis

    def start(self) -> ControlServer:
        with contextlib.suppress(FileNotFoundError):
            if self.path.is_socket():
                self.path.unlink()  # left by a run that was killed; the run folder is claimed by this run
        self._listener = listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)  # kept first: close() ends it
        # Created without permissions for anyone else, so no other user can connect in between.
        mask = os.umask(0o177)
        try:
            listener.bind(str(self.path))
        except OSError:
            listener.close()
            self._listener = None
            raise
        finally:
            os.umask(mask)
        os.chmod(self.path, 0o600)
        listener.listen(LISTEN_BACKLOG)
        listener.setblocking(False)
        self._reserve = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
        self._selector.register(listener, selectors.EVENT_READ)
        self._selector.register(self._wake_read, selectors.EVENT_READ)
        self._thread = threading.Thread(target=self._serve, name="vemo-control", daemon=True)
        self._thread.start()
        return self

    def close(self) -> None:
        """Ends the serving thread and removes the socket; a second call does nothing."""
        if self._listener is None:
            return
        if self._thread is not None and self._thread.ident is not None:  # started
            os.write(self._wake_write, b"x")
            self._thread.join(timeout=5)
        self._thread = None
        with contextlib.suppress(FileNotFoundError):
            self.path.unlink()
        for connection in list(self._connections.values()):
            connection.sock.close()
        self._connections.clear()
        self._listener.close()
        self._listener = None
        self._selector.close()
        for descriptor in (self._wake_read, self._wake_write, self._reserve):
            if descriptor is not None:
                os.close(descriptor)
        self._reserve = None

    def alive(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def connections(self) -> int:
        return len(self._connections)

    def __enter__(self) -> ControlServer:
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # --- the serving thread ---------------------------------------------------------------------

    def _serve(self) -> None:
        while True:
            try:
                if self._serve_once():
                    return
            except Exception:  # a fault here must not leave the run without its control for good
                self.faults += 1
                time.sleep(ERROR_BACKOFF_SECONDS)

    def _serve_once(self) -> bool:
        """One round of the loop; True once the server is told to end."""
        now = time.monotonic()
        timeout = max(0.0, min((c.deadline() for c in self._connections.values()), default=now + IDLE_SECONDS)
                      - now)
        for key, events in self._selector.select(timeout):
            if key.fileobj == self._wake_read:
                return True
            if key.fileobj is self._listener:
                self._accept()
            elif key.fileobj in self._connections:
                self._serve_connection(self._connections[key.fileobj], events)
        now = time.monotonic()
        for connection in [c for c in self._connections.values() if c.deadline() <= now]:
            self._drop(connection)
        return False

    def _accept(self) -> None:
        try:
            sock, _ = self._listener.accept()
        except (BlockingIOError, InterruptedError):
            return
        except OSError as error:
            if error.errno not in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM):
                raise
            self._refuse_without_descriptors()
            return
        if len(self._connections) >= MAX_CONNECTIONS:
            self._drop(min(self._connections.values(), key=lambda c: c.since))
        sock.setblocking(False)
        self._connections[sock] = _Connection(sock, time.monotonic())
        self._selector.register(sock, selectors.EVENT_READ)

    def _refuse_without_descriptors(self) -> None:
        """The process has no descriptor left: the reserved one is given up to take the waiting client off
        the queue with a refusal, so that it is not left hanging and the listener does not stay readable."""
        self.faults += 1
        if self._reserve is None:
            time.sleep(ERROR_BACKOFF_SECONDS)
            return
        os.close(self._reserve)
        self._reserve = None
        try:
            sock, _ = self._listener.accept()
            with sock:
                sock.setblocking(False)
                with contextlib.suppress(OSError):
                    sock.send(_encode({"ok": False, "error": "the run has no file descriptor left for a connection"}))
        except OSError:
            time.sleep(ERROR_BACKOFF_SECONDS)
        finally:
            with contextlib.suppress(OSError):
                self._reserve = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)

    def _drop(self, connection: _Connection) -> None:
        self._connections.pop(connection.sock, None)
        with contextlib.suppress(KeyError, ValueError):
            self._selector.unregister(connection.sock)
        connection.sock.close()

    def _serve_connection(self, connection: _Connection, events: int) -> None:
        if events & selectors.EVENT_WRITE and not self._flush(connection):
            return
        if events & selectors.EVENT_READ and not self._receive(connection):
            return
        self._take_requests(connection)

    def _receive(self, connection: _Connection) -> bool:
        try:
            chunk = connection.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return True
        except OSError:
            chunk = b""
        if not chunk:
            if connection.discarding or _hung_up(connection.sock):
                self._drop(connection)  # requests not yet taken are not applied: nobody would hear the answer
                return False
            connection.eof = True  # only its sending side is shut: it still takes its answers
            return True
        if connection.discarding:
            connection.discarding += len(chunk)
            if b"\n" in chunk or connection.discarding > MAX_DISCARD_BYTES:
                self._drop(connection)
                return False
            return True
        connection.incoming += chunk
        return True

    def _take_requests(self, connection: _Connection) -> None:
        """Answers the next request once the last answer has gone out, one request at a time."""
        while not connection.outgoing and not connection.discarding and connection.sock in self._connections:
            line, newline, rest = bytes(connection.incoming).partition(b"\n")
            if len(line) > MAX_REQUEST_BYTES:
                connection.incoming.clear()
                if newline or connection.eof:
                    connection.close_after_answer = True
                else:
                    connection.discarding = len(line) - MAX_REQUEST_BYTES
                self._queue(connection, {"ok": False, "error": f"a request line longer than {MAX_REQUEST_BYTES} "
                                                               f"bytes (64 KiB): not a control request"})
                break
            if not newline:
                break
            connection.incoming[:] = rest
            if not line.strip():
                continue
            if _hung_up(connection.sock):
                self._drop(connection)
                return
            connection.since = time.monotonic()
            self._queue(connection, self._respond(line))
        self._want(connection)

    def _respond(self, line: bytes) -> dict:
        try:
            request = json.loads(line.decode("utf-8"))
        except (UnicodeDecodeError, ValueError, RecursionError) as error:  # RecursionError: nested too deep
            return {"ok": False, "error": f"not a JSON request: {error}"}
        try:
            return self._handle(request)
        except Exception as error:  # a fault of the control must not end the run it controls
            return {"ok": False, "error": f"{type(error).__name__}: {error}"}

    def _queue(self, connection: _Connection, answer: dict) -> None:
        connection.outgoing += _encode(answer)
        self._flush(connection)

    def _flush(self, connection: _Connection) -> bool:
        """Sends what the socket takes of the pending answer; False when the connection was dropped."""
        try:
            while connection.outgoing:
                sent = connection.sock.send(connection.outgoing)
                del connection.outgoing[:sent]
        except (BlockingIOError, InterruptedError):
            return True
        except OSError:
            self._drop(connection)
            return False
        connection.since = time.monotonic()
        if connection.close_after_answer:
            self._drop(connection)
            return False
        return True

    def _want(self, connection: _Connection) -> None:
        """Waits to write while an answer waits to go out, else to read."""
        if connection.sock not in self._connections:
            return
        if connection.outgoing:
            self._selector.modify(connection.sock, selectors.EVENT_WRITE)
        elif connection.eof:
            self._drop(connection)  # every whole request it sent has been answered
        else:
            self._selector.modify(connection.sock, selectors.EVENT_READ)


def _hung_up(sock: socket.socket) -> bool:
    """Whether the client has closed its end, so that an answer could no longer reach it."""
    poller = select.poll()
    poller.register(sock, select.POLLHUP | select.POLLERR)
    return any(events & (select.POLLHUP | select.POLLERR) for _, events in poller.poll(0))


def _encode(answer: dict) -> bytes:
    return json.dumps(answer, default=str).encode("utf-8") + b"\n"


def _connect(connection: socket.socket, path: str, deadline: float) -> None:
    """Connects, trying again while the server's queue of new connections is full (EAGAIN)."""
    while True:
        try:
            connection.connect(path)
            return
        except BlockingIOError:
            if time.monotonic() >= deadline:
                raise TimeoutError from None
            time.sleep(CONNECT_RETRY_SECONDS)


def send(run_dir: str | Path, command: str, **arguments: Any) -> dict:
    """Sends one command to the run whose folder is `run_dir` and returns its answer ({"ok": true, ...}
    or {"ok": false, "error": ...}). ControlError when no run answers there."""
    path = Path(run_dir) / SOCKET_NAME
    request = json.dumps({"command": command, **arguments}).encode("utf-8") + b"\n"
    deadline = time.monotonic() + CLIENT_TIMEOUT_SECONDS
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
        connection.settimeout(CLIENT_TIMEOUT_SECONDS)
        try:
            _connect(connection, str(path), deadline)
        except FileNotFoundError:
            raise ControlError(f"no run answers at {path}: the run has ended or never ran there") from None
        except ConnectionRefusedError:
            raise ControlError(f"no run answers at {path}: the run that made it has ended") from None
        except TimeoutError:
            raise ControlError(f"the run at {path} took no connection within {CLIENT_TIMEOUT_SECONDS:g} s") from None
        except OSError as error:
            raise ControlError(f"cannot reach the run at {path}: {error.strerror or error}") from None
        reply = bytearray()
        try:
            try:
                connection.sendall(request)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the run refused the connection and closed it at once: its answer is read below
            while not reply.endswith(b"\n") and len(reply) <= MAX_ANSWER_BYTES:
                connection.settimeout(max(deadline - time.monotonic(), 0.001))
                chunk = connection.recv(65536)
                if not chunk:
                    break
                reply += chunk
        except TimeoutError:
            raise ControlError(f"the run at {path} did not answer within {CLIENT_TIMEOUT_SECONDS:g} s; the "
                               f"{command} may still take effect: see `vemo ctl {run_dir} status`") from None
        except OSError as error:
            raise ControlError(f"the run at {path} did not answer: {error.strerror or error}") from None
    try:
        answer = json.loads(reply.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise ControlError(f"the run at {path} gave no answer") from None
    if not isinstance(answer, dict) or not isinstance(answer.get("ok"), bool):
        raise ControlError(f"the run at {path} gave an answer that is not one: {bytes(reply[:200])!r}")
    return answer
