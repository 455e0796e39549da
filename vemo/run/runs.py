"""`vemo runs [FOLDER]`: the run folders under FOLDER, newest first, each with its start, script, outcome,
duration, failures and who stopped it, read from the journal's first line, its end and its operator events."""

from __future__ import annotations

import datetime
import json
import os
import re
import socket
import sys
from pathlib import Path
from typing import Any, TextIO

from vemo.run.controlsocket import SOCKET_NAME
from vemo.run.journal import JOURNAL_NAME, MAX_LINE_BYTES
from vemo.run.who import by_text
from vemo.util.text import printable

# The folders listed at most: the newest this many (a folder of runs grows with every run).
MAX_RUNS = 500
# How much of a journal's end is read for its run_ended line.
TAIL_BYTES = 64 * 1024
# How long a look at a run's control socket may take before the run counts as not answering.
SOCKET_SECONDS = 0.2
_ERROR = re.compile(rb'"event": "action_ended".*"outcome": "error"')
_STOPPING = re.compile(rb'^\{"event": "stopping".*$', re.M)


def _first_line(path: Path) -> dict | None:
    with open(path, "rb") as stream:
        line = stream.readline(MAX_LINE_BYTES + 1)
    try:
        entry = json.loads(line)
    except ValueError:
        return None
    return entry if isinstance(entry, dict) and entry.get("event") == "run_started" else None


def _last_event(path: Path, size: int) -> dict | None:
    with open(path, "rb") as stream:
        stream.seek(max(size - TAIL_BYTES, 0))
        tail = stream.read(TAIL_BYTES)
    for line in reversed(tail.splitlines()):
        try:
            entry = json.loads(line)
        except ValueError:
            continue
        return entry if isinstance(entry, dict) else None
    return None


def _scan(path: Path) -> tuple[int, dict | None]:
    """The failed actions and the first stopping event, read line by line without folding the journal."""
    failures, stopping = 0, None
    with open(path, "rb") as stream:
        for line in stream:
            if b'"action_ended"' in line and _ERROR.search(line):
                failures += 1
            elif stopping is None and line.startswith(b'{"event": "stopping"'):
                try:
                    stopping = json.loads(line)
                except ValueError:
                    pass
    return failures, stopping


def _answers(folder: Path) -> bool:
    """Whether a live run answers at the folder's control socket."""
    path = folder / SOCKET_NAME
    if not path.is_socket():
        return False
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
        probe.settimeout(SOCKET_SECONDS)
        try:
            probe.connect(str(path))
        except OSError:
            return False
    return True


def describe(folder: Path) -> dict | None:
    """One run folder as `vemo runs` lists it; None when it holds no journal that begins a run."""
    path = folder / JOURNAL_NAME
    try:
        size = path.stat().st_size
        started = _first_line(path)
        if started is None:
            return None
        last = _last_event(path, size)
        failures, stopping = _scan(path)
    except OSError:
        return None
    ended = last if last is not None and last.get("event") == "run_ended" else None
    live = ended is None and _answers(folder)
    outcome = ended.get("outcome") if ended else "live" if live else "killed"
    duration = last.get("t") if isinstance(last, dict) and isinstance(last.get("t"), (int, float)) else None
    stop = None
    if stopping is not None:
        stop = {"cause": stopping.get("cause"), "by": stopping.get("by")}
    return {"folder": str(folder), "name": folder.name, "started": started.get("started"),
            "script": started.get("script"), "outcome": outcome,
            "exit_code": ended.get("exit_code") if ended else None, "duration_s": duration,
            "failures": failures, "stopped_by": stop, "live": live}


def _when(run: dict, folder: Path) -> float:
    try:
        return datetime.datetime.strptime(str(run["started"]), "%Y-%m-%dT%H:%M:%S%z").timestamp()
    except ValueError:
        return (folder / JOURNAL_NAME).stat().st_mtime


def list_runs(base: str | Path) -> list[dict]:
    """The runs in the folders right under `base` (and `base` itself if it is one), newest first."""
    base = Path(base)
    folders = [base] if (base / JOURNAL_NAME).is_file() else \
        [entry for entry in base.iterdir() if entry.is_dir() and not entry.is_symlink()]
    found = []
    for folder in folders:
        run = describe(folder)
        if run is not None:
            found.append((_when(run, folder), run))
    found.sort(key=lambda pair: pair[0], reverse=True)
    return [run for _, run in found[:MAX_RUNS]]


def stopped_text(run: dict) -> str:
    stop = run.get("stopped_by")
    if not stop or stop.get("cause") == "failure":
        return ""
    who = by_text(stop["by"]) if stop.get("by") else ""
    return f"{stop.get('cause')}{f' ({who})' if who else ''}"


def runs(args: Any, out: TextIO | None = None, errors: TextIO | None = None) -> int:
    """The `vemo runs` command: 0, or 2 when FOLDER is no folder."""
    out, errors = out or sys.stdout, errors or sys.stderr
    base = Path(args.folder)
    if not base.is_dir():
        print(printable(f"error: {base}: no such folder (run folders are made under runs/ by default)"), file=errors)
        return 2
    try:
        found = list_runs(base)
    except OSError as error:
        print(printable(f"error: {base}: {error.strerror or error}"), file=errors)
        return 2
    if getattr(args, "json", False):
        print(json.dumps(found, indent=2, default=str), file=out)
        return 0
    if not found:
        print(f"no runs under {base}", file=out)
        return 0
    rows = [("started", "script", "outcome", "duration", "failures", "stopped by", "folder")]
    for run in found:
        duration = f"{run['duration_s']:.1f} s" if isinstance(run["duration_s"], (int, float)) else "?"
        rows.append((str(run["started"] or "?").replace("T", " ")[:19], os.path.basename(str(run["script"] or "?")),
                     run["outcome"], duration, str(run["failures"]), stopped_text(run) or "-", run["folder"]))
    widths = [max(len(printable(str(row[i]))) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        print(printable("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip()), file=out)
    return 0
