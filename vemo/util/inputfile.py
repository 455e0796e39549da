"""Reads the files a command takes in (script, cell description, handler settings): regular files of bounded
size, as UTF-8 text, so that a device, a fifo or a huge file is refused instead of read without end."""

from __future__ import annotations

import os
import stat
from pathlib import Path

MAX_SCRIPT_BYTES = 8 * 1024 * 1024
MAX_YAML_BYTES = 8 * 1024 * 1024


class InputFileError(ValueError):
    """An input file that cannot be read; the message names the file and the reason."""


def read_input(path: str | Path, what: str, max_bytes: int) -> str:
    """The text of `path` (a `what`: "script", "cell description", ...), at most `max_bytes` long."""
    try:
        # O_NONBLOCK: opening a fifo must not wait for a writer before it is refused below.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as error:
        raise InputFileError(f"{path}: cannot read the {what}: {error.strerror}") from None
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        os.close(descriptor)
        raise InputFileError(f"{path}: the {what} is not a regular file")
    with os.fdopen(descriptor, "rb") as stream:
        data = stream.read(max_bytes + 1)
    if len(data) > max_bytes:
        raise InputFileError(f"{path}: the {what} is larger than {max_bytes // (1024 * 1024)} MiB")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise InputFileError(f"{path}:{line}: the {what} is not UTF-8 text ({error.reason})") from None
