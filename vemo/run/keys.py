"""Single-key control of a run from its terminal: the keys of the run's table of commands (p pause, P pause
now, r resume or retry, k skip, a abort, s stop); the keys that apply are shown under the live table."""

from __future__ import annotations

import contextlib
import os
import selectors
import sys
import termios
import threading
import tty
from typing import Any, TextIO

from vemo.run.commands import applicable, for_key, key_help  # noqa: F401 (key_help: the line under the live table)
from vemo.run.who import by


class KeyReader:
    """Reads single keys from a terminal on a thread while the run goes, with the terminal in cbreak mode
    (no echo, no line buffering; Ctrl-C still interrupts), and hands each key's command to the control.
    `message` holds the answer to the last key while it is still true: it goes once the run's state, or
    the commands that apply in it, are no longer those the answer gave."""

    def __init__(self, control: Any, stream: TextIO | None = None) -> None:
        self.control = control
        self.stream = stream or sys.stdin
        self._message = ""
        self._message_given: tuple | None = None  # the state and commands the answer gave
        self._saved: list | None = None
        self._thread: threading.Thread | None = None
        self._wake_read, self._wake_write = -1, -1

    @property
    def message(self) -> str:
        if self._message and self._situation() != self._message_given:
            self._message = ""
        return self._message

    def _situation(self) -> tuple:
        state = self.control.state
        return state, tuple(applicable(state, self.control.tripped(), self.control.loops))

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
        command = for_key(key, self.control.state)
        if command is None:
            return
        answer = self.control.handle({**command.request, "by": by("terminal")})
        label = command.label.lower()
        self._message = f"{label}: {answer['state']}" if answer["ok"] else f"{label} refused: {answer['error']}"
        self._message_given = (answer.get("state"), tuple(answer.get("commands", ())))
