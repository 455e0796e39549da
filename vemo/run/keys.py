"""Single-key control of a run from its terminal: p pause, P pause now, r resume (retry when a failure
waits for a decision), k skip, a abort, s stop; the keys that apply are shown under the live table."""

from __future__ import annotations

import contextlib
import os
import selectors
import sys
import termios
import threading
import tty
from typing import Any, TextIO

from vemo.run.control import PAUSED, PAUSING, RUNNING, WAITING_DECISION

# key -> (command, arguments) in each state where the key applies
_KEYS = {
    RUNNING: {"p": ("pause", {}), "P": ("pause", {"now": True}), "s": ("stop", {})},
    PAUSING: {"P": ("pause", {"now": True}), "r": ("resume", {}), "s": ("stop", {})},
    PAUSED: {"r": ("resume", {}), "s": ("stop", {})},
    WAITING_DECISION: {"r": ("retry", {}), "k": ("skip", {}), "a": ("abort", {}), "s": ("stop", {})},
}
_LABELS = {("pause", False): "pause", ("pause", True): "pause now", ("resume", False): "resume",
           ("stop", False): "stop", ("retry", False): "retry", ("skip", False): "skip", ("abort", False): "abort"}


def key_help(state: str) -> str:
    """The keys that apply in `state`, as the line under the live table shows them."""
    keys = _KEYS.get(state, {})
    return "  ".join(f"{key} {_LABELS[command, bool(arguments)]}" for key, (command, arguments) in keys.items())


def command_for(key: str, state: str) -> tuple[str, dict] | None:
    return _KEYS.get(state, {}).get(key)


class KeyReader:
    """Reads single keys from a terminal on a thread while the run goes, with the terminal in cbreak mode
    (no echo, no line buffering; Ctrl-C still interrupts), and hands each key's command to the control.
    `message` holds the answer to the last key, for the live table to show."""

    def __init__(self, control: Any, stream: TextIO | None = None) -> None:
        self.control = control
        self.stream = stream or sys.stdin
        self.message = ""
        self._saved: list | None = None
        self._thread: threading.Thread | None = None
        self._wake_read, self._wake_write = -1, -1

    def __enter__(self) -> KeyReader:
        fd = self.stream.fileno()
        self._saved = termios.tcgetattr(fd)
        tty.setcbreak(fd)
        self._wake_read, self._wake_write = os.pipe()
        self._thread = threading.Thread(target=self._read, args=(fd,), name="vemo-keys", daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        if self._thread is not None:
            os.write(self._wake_write, b"x")
            self._thread.join(timeout=2)
            os.close(self._wake_read)
            os.close(self._wake_write)
        if self._saved is not None:
            with contextlib.suppress(termios.error):
                termios.tcsetattr(self.stream.fileno(), termios.TCSADRAIN, self._saved)

    def _read(self, fd: int) -> None:
        with selectors.DefaultSelector() as selector:
            selector.register(fd, selectors.EVENT_READ)
            selector.register(self._wake_read, selectors.EVENT_READ)
            while True:
                ready = [key.fd for key, _ in selector.select()]
                if self._wake_read in ready:
                    return
                try:
                    data = os.read(fd, 64)
                except OSError:
                    return
                if not data:
                    return
                for key in data.decode("utf-8", "replace"):
                    self.press(key)

    def press(self, key: str) -> None:
        """Does what `key` does in the run's current state; other keys are ignored."""
        found = command_for(key, self.control.state)
        if found is None:
            return
        command, arguments = found
        answer = self.control.handle({"command": command, **arguments})
        label = _LABELS[command, bool(arguments)]
        self.message = f"{label}: {answer['state']}" if answer["ok"] else f"{label} refused: {answer['error']}"
