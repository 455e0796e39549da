"""`vemo report`: a run's timeline, trace and record rebuilt from its run folder's journal, also of a killed run."""

from __future__ import annotations

import sys
from pathlib import Path
from typing import Any, TextIO

from vemo.run.journal import JOURNAL_NAME, JournalError, read_journal
from vemo.run.outputs import (OUTPUTS, UNFINISHED, OutputPathError, RunRecords, check_output_paths, failure_line,
                              summary_lines, write_outputs)
from vemo.text import printable

EXIT_OK, EXIT_UNREADABLE, EXIT_USAGE = 0, 1, 2


def journal_path(given: str) -> Path:
    """DIR/journal.jsonl for a run folder; a journal file given itself stays as it is."""
    path = Path(given)
    return path / JOURNAL_NAME if path.is_dir() else path


def output_title(started: dict | None) -> str:
    """The title `vemo run` gives its outputs, from the run's run_started event."""
    script = started.get("script") if started else None
    return f"vemo run {Path(script).name}" if isinstance(script, str) and script else "vemo run"


def report(args: Any, out: TextIO | None = None, errors: TextIO | None = None) -> int:
    """The `vemo report` command; returns its exit code."""
    out, errors = out or sys.stdout, errors or sys.stderr
    path = journal_path(args.run_dir)
    try:
        events, warnings = read_journal(path)
    except JournalError as error:
        print(printable(f"error: {error}"), file=errors)
        return EXIT_UNREADABLE
    requested = {o.option: getattr(args, o.option) for o in OUTPUTS if getattr(args, o.option, None)}
    try:
        created = check_output_paths(requested, [path], may_create_below=[Path.cwd(), path.parent])
    except OutputPathError as error:
        print(printable(f"error: {error}"), file=errors)
        return EXIT_USAGE
    for folder in created:
        print(f"created the folder {folder} for the run's outputs", file=out)
    state = RunRecords()
    for event in events:
        state.add(event)
    records = state.final()
    for warning in warnings + state.warnings:
        print(printable(f"warning: {warning}"), file=errors)
    _summary(state, out)
    write_outputs(records, requested, output_title(state.started), out, errors)
    return EXIT_OK


def _summary(state: RunRecords, out: TextIO) -> None:
    started = state.started or {}
    handler = started.get("handler")
    where = f" on {'the embedded simulator at ' if started.get('simulator') else 'the handler at '}{handler}" \
        if isinstance(handler, str) else ""
    print(printable(f"run of {started.get('script', '?')}{where}, started {started.get('started', '?')}"), file=out)
    for line in summary_lines(state.records, state.totals):
        print(printable(line), file=out)
    for record in state.records:
        if record.outcome == "error" and record.reason:
            print(printable(f"  {failure_line(record)}"), file=out)
    ended = state.ended
    if ended is not None:
        print(printable(f"run ended at {ended['t']:.2f} s: {ended.get('outcome', '?')} "
                        f"(exit code {ended.get('exit_code', '?')})"), file=out)
        if isinstance(ended.get("reason"), str):  # a run that ended before its modules started
            print(printable(f"  {ended['reason']}"), file=out)
        return
    unfinished = sum(1 for r in state.records if r.outcome == UNFINISHED)
    print(f"the journal ends at {state.last_t:.2f} s without run_ended: the run was killed or is still going; "
          f"{unfinished} action{'s' if unfinished != 1 else ''} in flight drawn as unfinished", file=out)
