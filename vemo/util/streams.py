"""Standard output and error that a reader who went away cannot break (`vemo run ... | head` runs on), and
that a reader who takes nothing cannot block (a terminal held with Ctrl-S)."""

from __future__ import annotations

import itertools
import os
from typing import Any, TextIO


class ReaderProofStream:
    """Wraps a text stream. Once a write or flush finds the reader gone (a closed pipe), the stream's
    descriptor is pointed at /dev/null and what follows is dropped, so that neither a later print, nor
    a diagnostic line from a module thread, nor the interpreter's last flush at exit raises."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self.reader_gone = False

    def write(self, text: str) -> int:
        if not self.reader_gone:
            try:
                return self._stream.write(text)
            except (BrokenPipeError, ConnectionResetError):
                self._lose_reader()
        return len(text)

    def flush(self) -> None:
        if not self.reader_gone:
            try:
                self._stream.flush()
            except (BrokenPipeError, ConnectionResetError):
                self._lose_reader()

    def _lose_reader(self) -> None:
        self.reader_gone = True
        try:
            target = self._stream.fileno()
            devnull = os.open(os.devnull, os.O_WRONLY)
        except (OSError, ValueError, AttributeError):
            return
        try:
            os.dup2(devnull, target)
        finally:
            os.close(devnull)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def guard_standard_streams() -> None:
    """Puts sys.stdout and sys.stderr behind ReaderProofStream (once)."""
    import sys

    for name in ("stdout", "stderr"):
        stream = getattr(sys, name)
        if stream is not None and not isinstance(stream, ReaderProofStream):
            setattr(sys, name, ReaderProofStream(stream))


# What the pump may hold, in characters, while its streams take nothing (a terminal held with Ctrl-S, a pipe
# nobody reads): about 15,000 progress lines or two minutes of a live table's frames. Beyond it output is
# dropped and counted, since holding more only grows the process while its journal has every event anyway.
MAX_PENDING_CHARS = 1 << 20


class OutputPump:
    """Writes two text streams (`out` and `errors`, in the order they were written) on a thread of its
    own, so that a stream that does not take output never blocks the threads that write to it.

    Output is queued a line at a time (a flush sends an unfinished one, a live table's frame), and a
    line that would take the queue beyond MAX_PENDING_CHARS is dropped whole; once the streams take
    output again, one line on `out` tells how many went (unless `notice` is off: a live table would be
    torn by it). `keep_all` ends the dropping for what must be seen (the end's summary), and `close`
    waits until everything queued is written, as a plain write would have."""

    def __init__(self, out: TextIO, errors: TextIO, notice: bool) -> None:
        import collections
        import threading

        self.streams = (out, errors)
        self._queue: collections.deque[tuple[int, str]] = collections.deque()
        self._pending = 0  # characters queued and not yet written
        self._dropped = 0  # lines dropped since the last notice
        self._notice = notice
        self._limit: float = MAX_PENDING_CHARS
        self._closed = False
        self._changed = threading.Condition()
        self.out, self.errors = _Pumped(self, out, 0), _Pumped(self, errors, 1)
        self._thread = threading.Thread(target=self._write_all, name="output", daemon=True)
        self._thread.start()

    def _put(self, stream: int, text: str) -> None:
        with self._changed:
            if self._pending + len(text) > self._limit:
                self._dropped += max(1, text.count("\n"))
                return
            self._queue.append((stream, text))
            self._pending += len(text)
            self._changed.notify_all()

    def keep_all(self) -> None:
        """From here on nothing is dropped."""
        with self._changed:
            self._limit = float("inf")

    def close(self) -> None:
        """Writes what the streams still hold back and everything queued, then ends the pump's thread."""
        for stream in (self.out, self.errors):
            stream.flush()
        with self._changed:
            self._closed = True
            self._changed.notify_all()
        self._thread.join()

    def _write_all(self) -> None:
        while True:
            with self._changed:
                while not self._queue and not self._closed and not (self._dropped and self._notice):
                    self._changed.wait()
                if not self._queue and self._dropped and self._notice:
                    told = f"({self._dropped} lines of output were not shown: the output did not take them in time)\n"
                    self._queue.append((0, told))
                    self._pending += len(told)
                    self._dropped = 0
                if not self._queue:
                    return
                batch = list(self._queue)
                self._queue.clear()
            for index, texts in itertools.groupby(batch, key=lambda item: item[0]):
                try:
                    self.streams[index].write("".join(text for _, text in texts))
                    self.streams[index].flush()
                except (OSError, ValueError):  # the stream is gone or closed: what it would show is lost
                    pass
            with self._changed:
                self._pending -= sum(len(t) for _, t in batch)


class _Pumped:
    """One stream of an OutputPump: whole lines go to the queue, and a flush sends an unfinished one."""

    def __init__(self, pump: OutputPump, stream: TextIO, index: int) -> None:
        self._pump, self._stream, self._index = pump, stream, index
        self._line = ""

    def write(self, text: str) -> int:
        with self._pump._changed:
            cut = text.rfind("\n") + 1
            if cut:
                self._pump._put(self._index, self._line + text[:cut])
                self._line = text[cut:]
            else:
                self._line += text
        return len(text)

    def flush(self) -> None:
        with self._pump._changed:
            if self._line:
                self._pump._put(self._index, self._line)
                self._line = ""

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)
