"""Standard output and error that a reader who went away cannot break: `vemo run ... | head` runs on."""

from __future__ import annotations

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
