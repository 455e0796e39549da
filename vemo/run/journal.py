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

from vemo.run.events import check_fields, check_name, is_number

# The format the writer gives its journals, and those the readers take. Format 2 plans a loop expanded as
# the run goes once (loop_planned, its template iterations) instead of action by action; a reader tells the
# two apart by run_started's "format" alone.
FORMAT = 2
FORMATS = (1, 2)
JOURNAL_NAME = "journal.jsonl"
# A journal line longer than this is no journal's: the reader refuses the file instead of loading it.
MAX_LINE_BYTES = 1 << 20
# The deepest event the writer makes nests three levels (a list of [module, index] pairs in an object);
# a line nested deeper is damage, refused before any reader walks it.
MAX_NESTING = 8


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
        self._fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o600)

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
        check_name(event)
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
    """One journal line as its event, its fields checked (see `vemo.run.events.check_fields`); JournalError naming `where`
    if it is not one."""
    try:
        entry = _DECODER.decode(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        raise JournalError(f"{where}: not a journal line: {error}") from None
    except RecursionError:  # the parser's own bound on nesting, far above ours
        entry = _TOO_DEEP
    # Brackets counted in the text bound the depth from above: most lines need no walk at all.
    if entry is _TOO_DEEP or (raw.count(b"[") + raw.count(b"{") > MAX_NESTING and _nesting(entry) > MAX_NESTING):
        raise JournalError(f"{where}: not a journal line: nested more than {MAX_NESTING} deep")
    if not isinstance(entry, dict) or not isinstance(entry.get("event"), str) or not is_number(entry.get("t")):
        raise JournalError(f"{where}: not a journal event (an object with \"event\" and \"t\")")
    problem = check_fields(entry)
    if problem is not None:
        raise JournalError(f"{where}: {entry['event']} event: {problem}")
    return entry


_TOO_DEEP = object()


def _nesting(value: Any) -> int:
    """How deep a parsed JSON value nests (a scalar is 0), counted without recursion."""
    deepest, stack = 0, [(value, 1)]
    while stack:
        item, depth = stack.pop()
        if isinstance(item, (list, dict)):
            deepest = max(deepest, depth)
            stack.extend((child, depth + 1) for child in (item.values() if isinstance(item, dict) else item))
    return deepest


def _refuse_constant(name: str) -> float:
    raise ValueError(f"{name} is not a number a journal holds")


# One decoder for every line: json.loads with an option builds a new one per call, a tenth of a long
# journal's reading time.
_DECODER = json.JSONDecoder(parse_constant=_refuse_constant)


def _check_start(entry: dict, where: str) -> None:
    if entry["event"] != "run_started":
        raise JournalError(f"{where}: a journal begins with run_started, this one with {entry['event']}")
    if entry.get("format") not in FORMATS:
        raise JournalError(f"{where}: journal format {entry.get('format')!r}; this vemo reads formats "
                           f"{' and '.join(map(str, FORMATS))}")


def iter_journal(path: str | Path, warnings: list[str]) -> Iterator[dict]:
    """The events of a journal file one at a time, each checked as it is read, so that a reader that folds
    them as they come holds one line at a time, never the file. A last line without its newline that does
    not parse, after whole events, is the one a killed process was writing: skipped, with a warning added
    to `warnings`. Anything else that is not a journal event raises JournalError naming the line."""
    path = Path(path)
    try:
        if not path.is_file():
            raise JournalError(f"{path}: no journal here" if not path.exists() else f"{path}: not a regular file")
        stream = open(path, "rb")
    except OSError as error:
        raise JournalError(f"{path}: cannot read the journal: {error.strerror or error}") from None
    with stream:
        number, seen = 1, False
        raw = _next_line(stream, path, number)
        while raw:
            following = _next_line(stream, path, number + 1)  # read ahead: is this the last line?
            if raw.strip():
                try:
                    event = parse_event(raw, f"{path}:{number}")
                except JournalError:
                    if seen and not following and not raw.endswith(b"\n"):
                        warnings.append(f"{path}:{number}: the last line is torn (the run was killed while "
                                        f"writing it); skipped")
                        return
                    raise
                if not seen:
                    _check_start(event, f"{path}:{number}")
                    seen = True
                yield event
            raw, number = following, number + 1
    if not seen:
        raise JournalError(f"{path}: the journal is empty")


def read_journal(path: str | Path) -> tuple[list[dict], list[str]]:
    """All events of a journal file and the warnings met reading it (see `iter_journal`)."""
    warnings: list[str] = []
    return list(iter_journal(path, warnings)), warnings


def _next_line(stream: Any, path: Path, number: int) -> bytes:
    try:
        raw = stream.readline(MAX_LINE_BYTES + 1)
    except OSError as error:
        raise JournalError(f"{path}: cannot read the journal: {error.strerror or error}") from None
    if len(raw) > MAX_LINE_BYTES:
        raise JournalError(f"{path}:{number}: a line of more than {MAX_LINE_BYTES} bytes: not a journal")
    return raw


def follow(path: str | Path, stop: threading.Event, poll_seconds: float = 0.1,
           idle: Callable[[], None] | None = None) -> Iterator[dict]:
    """Events of a journal as they are appended, from its first line, until `stop` is set or the run's
    `run_ended` has been read. A line is handed on only once its newline is there. `idle` is called each
    time every line written so far has been handed on, before waiting for more."""
    path = Path(path)
    pending = b""
    number, started = 0, False
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
            for line_number, raw in enumerate([*complete, pending], number + 1):
                if len(raw) > MAX_LINE_BYTES:
                    raise JournalError(f"{path}:{line_number}: a line of more than {MAX_LINE_BYTES} bytes: "
                                       f"not a journal")
            for raw in complete:
                number += 1
                if not raw.strip():
                    continue
                entry = parse_event(raw, f"{path}:{number}")
                if not started:
                    _check_start(entry, f"{path}:{number}")
                    started = True
                yield entry
                if entry["event"] == "run_ended":
                    return
