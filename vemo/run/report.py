"""`vemo report`: a run's timeline, trace and record rebuilt from its run folder's journal, also of a killed run."""

from __future__ import annotations

import hashlib
import sys
from pathlib import Path
from typing import Any, TextIO

from vemo.util.inputfile import MAX_SCRIPT_BYTES, MAX_YAML_BYTES
from vemo.run.fold import RunFold
from vemo.run.held import log_line
from vemo.run.journal import JOURNAL_NAME, JournalError, iter_journal
from vemo.run.outputs import (OUTPUTS, OutputPathError, check_output_paths, failure_line, summary_lines,
                              write_outputs)
from vemo.util.text import printable

EXIT_OK, EXIT_UNREADABLE, EXIT_USAGE = 0, 1, 2


def journal_path(given: str) -> Path:
    """DIR/journal.jsonl for a run folder; a journal file given itself stays as it is."""
    path = Path(given)
    return path / JOURNAL_NAME if path.is_dir() else path


def output_title(started: dict | None) -> str:
    """The title `vemo run` gives its outputs, from the run's run_started event."""
    script = started.get("script") if started else None
    return f"vemo run {Path(script).name}" if isinstance(script, str) and script else "vemo run"


def run_inputs(started: dict) -> list[str]:
    """The files the run read, as its run_started event names them (relative to where it ran, which is
    most often where its report is made)."""
    named = [started.get(key) for key in ("script", "cell", "handler_settings")]
    digests = started.get("digests")
    return list(dict.fromkeys(p for p in [*named, *(digests or {})] if isinstance(p, str) and p))


# No input of a run is larger: an output file beyond this is not compared with the run's inputs.
MAX_INPUT_BYTES = max(MAX_SCRIPT_BYTES, MAX_YAML_BYTES)


def _refuse_inputs_by_content(requested: dict[str, str], started: dict) -> None:
    """Refuses an output path whose present file has the SHA-256 the run recorded for one of its inputs:
    the run's script or cell found from another folder than the one it ran in."""
    digests = started.get("digests")
    known = {digest: source for source, digest in (digests or {}).items() if isinstance(digest, str)}
    for option, raw in requested.items():
        path = Path(raw)
        try:
            if not path.is_file() or path.stat().st_size > MAX_INPUT_BYTES:
                continue
            digest = hashlib.sha256(path.read_bytes()).hexdigest()
        except OSError:
            continue  # check_output_paths tells what is wrong with it
        if digest in known:
            raise OutputPathError(f"--{option} {raw}: that file holds an input of the run ({known[digest]}); "
                                  f"choose another file")


def fold_journal(path: str | Path, warnings: list[str], live: bool = False) -> RunFold:
    """A journal file folded as it is read, one event at a time: the events are not kept, only the fold,
    in full (every action's record, for the outputs) or `live` (the counts: its size does not grow with
    the run's). JournalError if it is no journal; `warnings` gets those met reading it (a torn last line)."""
    fold = RunFold(live)
    for event in iter_journal(path, warnings):
        fold.add(event)
    return fold


def report(args: Any, out: TextIO | None = None, errors: TextIO | None = None) -> int:
    """The `vemo report` command; returns its exit code."""
    out, errors = out or sys.stdout, errors or sys.stderr
    path = journal_path(args.run_dir)
    requested = {o.option: getattr(args, o.option) for o in OUTPUTS if getattr(args, o.option, None)}
    warnings: list[str] = []
    try:
        fold = fold_journal(path, warnings, live=not requested)  # the summary needs only the counts
    except JournalError as error:
        print(printable(f"error: {error}"), file=errors)
        return EXIT_UNREADABLE
    started = fold.records.started or {}  # run_started names the run's inputs
    try:
        _refuse_inputs_by_content(requested, started)
        created = check_output_paths(requested, [path, *run_inputs(started)],
                                     may_create_below=[Path.cwd(), path.parent])
    except OutputPathError as error:
        print(printable(f"error: {error}"), file=errors)
        return EXIT_USAGE
    for folder in created:
        print(f"created the folder {folder} for the run's outputs", file=out)
    states = {name: fold.module_state(name) for name in fold.records.totals}
    state = fold.records
    for warning in warnings + state.warnings:
        print(printable(f"warning: {warning}"), file=errors)
    _summary(state, states, out)
    if fold.log:
        print("events:", file=out)
        for entry in fold.log:
            print(printable(f"  {log_line(entry)}"), file=out)
    if requested:
        write_outputs(state.final(), requested, output_title(state.started), out, errors, fold.holds)
    return EXIT_OK


def _summary(state: Any, states: dict[str, str], out: TextIO) -> None:
    started = state.started or {}
    handler = started.get("handler")
    where = f" on {'the embedded simulator at ' if started.get('simulator') else 'the handler at '}{handler}" \
        if isinstance(handler, str) else ""
    print(printable(f"run of {started.get('script', '?')}{where}, started {started.get('started', '?')}"), file=out)
    for line in summary_lines(state, states):
        print(printable(line), file=out)
    for record in state.failures:
        if record.outcome == "error" and record.reason:
            print(printable(f"  {failure_line(record)}"), file=out)
    ended = state.ended
    if ended is not None:
        print(printable(f"run ended at {ended['t']:.2f} s: {ended.get('outcome', '?')} "
                        f"(exit code {ended.get('exit_code', '?')})"), file=out)
        if isinstance(ended.get("reason"), str):  # a run that ended before its modules started
            print(printable(f"  {ended['reason']}"), file=out)
        return
    unfinished = state.in_flight
    print(f"the journal ends at {state.last_t:.2f} s without run_ended: the run was killed or is still going; "
          f"{unfinished} action{'s' if unfinished != 1 else ''} in flight drawn as unfinished", file=out)
