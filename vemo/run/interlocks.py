"""Watches the inputs of a cell's interlocks through the handler client and tells the run's control each
time one leaves or reaches its safe level.

The inputs are read with log requests (the input image of each IO module that carries an interlock), a
few dozen times a second. A log request answers with the level now, which is what the start of a run and
a resume need to know; it travels on the log socket, apart from the action queue that motions use; and
it leaves nothing behind in the handler. A condition waiting for the unsafe level would instead stay
queued in the handler until it holds, time out there after a while, and end the client's wait after five
seconds without publications, so a watch built on conditions must re-arm them forever and leaves stale
requests in the handler's queue each time.
"""

from __future__ import annotations

import threading
from typing import Any

from vemo.cell.model import Cell

# How often the inputs are read: the longest time from a change at the handler to the control's hold.
POLL_SECONDS = 0.02
# How often they are read while the handler does not answer (each failed read prints a line).
RETRY_SECONDS = 1.0


def input_level(image: Any, pin: int) -> bool | None:
    """The level of `pin` in an input image as the handler reports it (hex, byte 0 first); None when the
    reply is no image or too short for the pin."""
    if not isinstance(image, str):
        return None
    text = image.strip()
    start = 2 * (pin // 8)
    try:
        byte = int(text[start:start + 2], 16) if len(text) >= start + 2 else None
    except ValueError:
        return None
    return None if byte is None else bool(byte >> (pin % 8) & 1)


class InterlockWatch:
    """Reads the interlock inputs of `cell` every `poll_seconds` on a thread of its own and reports each
    change to `control.interlock_changed`. An input that cannot be read counts as not safe: a cell whose
    door cannot be seen must not move."""

    def __init__(self, client: Any, cell: Cell, control: Any, poll_seconds: float = POLL_SECONDS) -> None:
        self.client, self.control, self.poll_seconds = client, control, poll_seconds
        self._watched = []
        for interlock in cell.interlocks:
            spec = cell.module(interlock.module)
            self._watched.append((interlock, spec.handler_id, spec.inputs[interlock.input]))
        self._safe: dict[str, bool] = {}
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def check(self) -> bool:
        """Reads every interlock input once and reports what changed since the last reading. Returns
        whether every input could be read."""
        images = {}
        readable = True
        for interlock, kinra_id, pin in self._watched:
            if kinra_id not in images:
                try:
                    images[kinra_id] = self.client.io_monitor(kinra_id, "KINRA_ID_INPUT_DATA")
                except Exception:  # a reply that is no handler's: unreadable, and the watch goes on
                    images[kinra_id] = None
            level = input_level(images[kinra_id], pin)
            readable = readable and level is not None
            safe = level is not None and level == interlock.safe
            if self._safe.get(interlock.name) != safe:
                self._safe[interlock.name] = safe
                self.control.interlock_changed(interlock.name, safe,
                                               value="unreadable" if level is None else "on" if level else "off")
        return readable

    def start(self) -> InterlockWatch:
        """Reads the inputs once, so that an interlock not safe at the start holds the run before anything
        moves, then goes on reading them on a thread."""
        if not self._watched:
            return self
        self.check()
        self._thread = threading.Thread(target=self._watch, name="vemo-interlocks", daemon=True)
        self._thread.start()
        return self

    def _watch(self) -> None:
        """Reads until closed. While the run stops no interlock has anything to hold and the inputs are
        not read; the watch goes on, since the except blocks that may follow need it."""
        pause = self.poll_seconds
        while not self._stop.wait(pause):
            if self.control.stopping.is_set():
                pause = self.poll_seconds
                continue
            pause = self.poll_seconds if self.check() else RETRY_SECONDS

    def close(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join(timeout=5)
            self._thread = None
