"""The run journal: one JSON object per line in DIR/journal.jsonl, written as each event happens.

Each line goes to the file with one `write` call on a descriptor opened for appending, so a process killed
at any moment leaves every event before the kill on disk, whole; at most the line being written when the
process died is torn, and the reader skips it. Reports, the control plane and the console all read the run
from this file or from the listeners of the writer, never from a second record of their own.
"""

from __future__ import annotations

import json
import os
import threading
import time
from pathlib import Path
from typing import Any, Callable, Iterator

from vemo.run.events import check_event

FORMAT = 1
JOURNAL_NAME = "journal.jsonl"
# A journal line longer than this is no journal's: the reader refuses the file instead of loading it.
MAX_LINE_BYTES = 1 << 20


class JournalError(ValueError):
    """A journal that cannot be read as one: names the file and the line at fault."""


class Journal:
    """Appends events to a run's journal. Thread-safe: module threads, the control plane and the main
    thread write to one journal, and the order of the lines is the order in which events happened."""

    def __init__(self, path: str | Path, clock: Callable[[], float] = time.monotonic,
                 on_error: Callable[[OSError], None] | None = None) -> None:
        self.path = Path(path)
        self._clock = clock
        # Without on_error a failed write raises. With it, the first failure (a full disk) is reported
        # there once, and from then on events reach the listeners but no longer the file, whose end
        # could not be trusted to be whole.
        self._on_error = on_error
        self.error: OSError | None = None
        self._t0 = clock()
        self._lock = threading.Lock()
        self._listeners: list[Callable[[dict], None]] = []
        self._fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o644)

    def elapsed(self) -> float:
        """Seconds since the journal was opened, the clock of every event's "t"."""
        return self._clock() - self._t0

    def add_listener(self, listener: Callable[[dict], None]) -> None:
        """Calls `listener(event)` after each event is on disk, on the writing thread, in journal order.
        A listener must be quick and must not write to the journal itself."""
        with self._lock:
            self._listeners.append(listener)

    def write(self, event: str, **fields: Any) -> dict:
        """Appends one event and returns it as written ("event" and "t" first, then `fields`). A name that
        is not in the catalogue of events raises ValueError."""
        check_event(event)
        with self._lock:
            entry = {"event": event, "t": round(self.elapsed(), 6), **fields}
            line = json.dumps(entry, ensure_ascii=False, default=str, allow_nan=False).encode("utf-8") + b"\n"
            if self._fd is not None and self.error is None:
                try:
                    view = memoryview(line)
                    while view:
                        view = view[os.write(self._fd, view):]
                except OSError as error:
                    if self._on_error is None:
                        raise
                    self.error = error
                    self._on_error(error)
            for listener in self._listeners:
                listener(entry)
        return entry

    def close(self) -> None:
        with self._lock:
            if self._fd is not None:
                os.close(self._fd)
                self._fd = None

    def __enter__(self) -> Journal:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def parse_event(raw: bytes, where: str) -> dict:
    """One journal line as its event; JournalError naming `where` if it is not one."""
    try:
        entry = json.loads(raw.decode("utf-8"), parse_constant=_refuse_constant)
    except (UnicodeDecodeError, ValueError) as error:
        raise JournalError(f"{where}: not a journal line: {error}") from None
    t = entry.get("t") if isinstance(entry, dict) else None
    if not isinstance(entry, dict) or not isinstance(entry.get("event"), str) \
            or not isinstance(t, (int, float)) or isinstance(t, bool):
        raise JournalError(f"{where}: not a journal event (an object with \"event\" and \"t\")")
    return entry


def _refuse_constant(name: str) -> float:
    raise ValueError(f"{name} is not a number a journal holds")


def _check_start(entry: dict, where: str) -> None:
    if entry["event"] != "run_started":
        raise JournalError(f"{where}: a journal begins with run_started, this one with {entry['event']}")
    if entry.get("format") != FORMAT:
        raise JournalError(f"{where}: journal format {entry.get('format')!r}; this vemo reads format {FORMAT}")


def parse_lines(lines: list[bytes], source: str) -> tuple[list[dict], list[str]]:
    """Events of a journal's lines and warnings. A last line without its newline that does not parse,
    after whole events, is the one a killed process was writing: skipped with a warning. Anything else that is not a journal
    event raises JournalError naming the line."""
    events: list[dict] = []
    warnings: list[str] = []
    for number, raw in enumerate(lines, 1):
        if not raw.strip():
            continue
        try:
            events.append(parse_event(raw, f"{source}:{number}"))
        except JournalError:
            if events and number == len(lines) and not raw.endswith(b"\n"):
                warnings.append(f"{source}:{number}: the last line is torn (the run was killed while writing "
                                f"it); skipped")
                continue
            raise
    if events:
        _check_start(events[0], f"{source}:1")
    return events, warnings


def read_journal(path: str | Path) -> tuple[list[dict], list[str]]:
    """All events of a journal file and the warnings met reading it (see `parse_lines`)."""
    path = Path(path)
    try:
        if not path.is_file():
            raise JournalError(f"{path}: no journal here" if not path.exists() else f"{path}: not a regular file")
        lines = _read_lines(path)
    except OSError as error:
        raise JournalError(f"{path}: cannot read the journal: {error.strerror or error}") from None
    events, warnings = parse_lines(lines, str(path))
    if not events:
        raise JournalError(f"{path}: the journal is empty")
    return events, warnings


def _read_lines(path: Path) -> list[bytes]:
    lines = []
    with open(path, "rb") as stream:
        while True:
            raw = stream.readline(MAX_LINE_BYTES + 1)
            if not raw:
                return lines
            if len(raw) > MAX_LINE_BYTES:
                raise JournalError(f"{path}:{len(lines) + 1}: a line of more than {MAX_LINE_BYTES} bytes: "
                                   f"not a journal")
            lines.append(raw)


def follow(path: str | Path, stop: threading.Event, poll_seconds: float = 0.1,
           idle: Callable[[], None] | None = None) -> Iterator[dict]:
    """Events of a journal as they are appended, from its first line, until `stop` is set or the run's
    `run_ended` has been read. A line is handed on only once its newline is there. `idle` is called each
    time every line written so far has been handed on, before waiting for more."""
    path = Path(path)
    pending = b""
    number = 0
    with open(path, "rb") as stream:
        while not stop.is_set():
            chunk = stream.read(65536)
            if not chunk:
                if idle is not None:
                    idle()
                stop.wait(poll_seconds)
                continue
            pending += chunk
            *complete, pending = pending.split(b"\n")
            if len(pending) > MAX_LINE_BYTES:
                raise JournalError(f"{path}:{number + 1}: a line of more than {MAX_LINE_BYTES} bytes: not a journal")
            for raw in complete:
                number += 1
                if not raw.strip():
                    continue
                entry = parse_event(raw, f"{path}:{number}")
                if number == 1:
                    _check_start(entry, f"{path}:1")
                yield entry
                if entry["event"] == "run_ended":
                    return
