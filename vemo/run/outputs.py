"""From a run's journal events to its action records, and from those to the --timeline, --trace and --record files."""

from __future__ import annotations

import itertools
import os
import re
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence, TextIO

from vemo.run.timeline import ActionRecord, write_chrome_trace, write_html, write_records

# Outcomes of an action_ended event as the records name them (the record files predate the journal).
RECORD_OUTCOMES = {"finished": "finished", "error": "error", "interrupted": "interrupted", "skipped": "skipped",
                   "not_run": "not run"}
# The outcome of an action that was running when its run's journal stops: a killed run's action in flight.
UNFINISHED = "unfinished"


def short_text(text: str) -> str:
    """What an action does without its verb and module: "to pick", "vacuum on", "home()"."""
    return re.sub(r"^\w+ @\w+[ .]?", "", text) or text


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_time(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _reference(value: Any) -> tuple[str, int] | None:
    """An action reference of the journal, [module, index], as a key; None if it is not one."""
    if isinstance(value, list) and len(value) == 2 and isinstance(value[0], str) and _is_int(value[1]):
        return value[0], value[1]
    return None


class RunRecords:
    """A run's actions as its journal events tell them, folded in one event at a time: what a live view
    shows while the run goes and what the output files hold once it has ended. Events that do not fit
    the run (an unknown action, a field of the wrong type) are left out with a warning, so a journal
    from elsewhere gives a report and its warnings, never an error half-way."""

    def __init__(self) -> None:
        self.started: dict | None = None
        self.ended: dict | None = None
        self.records: list[ActionRecord] = []
        self.totals: dict[str, int] = {}
        self.started_count: dict[str, int] = {}  # actions of each module that have started
        self.done: dict[str, int] = {}
        self.failed: set[str] = set()  # modules with an action that ended in error
        self.current: dict[str, ActionRecord | None] = {}
        self.finished_at: dict[str, float] = {}
        self.warnings: list[str] = []
        self.recovering: str | None = None  # the except block running now, if one is
        self.last_t = 0.0
        self._by_key: dict[tuple[str, int], ActionRecord] = {}
        self._references: dict[int, tuple[list, Any]] = {}
        self._sequence = itertools.count(1)

    def add(self, event: dict) -> ActionRecord | None:
        """Folds in one event; returns the action record it changed, if any."""
        t = event.get("t")
        if _is_time(t):
            self.last_t = max(self.last_t, float(t))
        handler = self._handlers.get(event.get("event"))
        return handler(self, event) if handler is not None else None

    def _run_started(self, event: dict) -> None:
        self.started = event
        modules = event.get("modules")
        for entry in modules if isinstance(modules, list) else []:
            if isinstance(entry, dict) and isinstance(entry.get("name"), str):
                self._module(entry["name"])

    def _module(self, name: str) -> None:
        if name not in self.totals:
            self.totals[name], self.started_count[name], self.done[name], self.current[name] = 0, 0, 0, None

    def _action_planned(self, event: dict) -> ActionRecord | None:
        module, index, text = event.get("module"), event.get("index"), event.get("text")
        if not (isinstance(module, str) and _is_int(index) and isinstance(text, str)):
            return self._warn(event, "an action_planned event without module, index and text")
        if (module, index) in self._by_key:
            return self._warn(event, f"{module} action {index} is planned twice")
        location, lane, kind = event.get("location"), event.get("lane"), event.get("kind")
        recovery = event.get("recovery")
        record = ActionRecord(len(self.records) + 1, module, kind if isinstance(kind, str) else "",
                              short_text(text), origin=location if isinstance(location, str) else None,
                              lane=lane if isinstance(lane, str) else None, text=text, index=index,
                              recovery=recovery if isinstance(recovery, str) else None)
        self.records.append(record)
        self._by_key[(module, index)] = record
        if record.recovery is None:
            self._module(module)
            self.totals[module] += 1
        waits = event.get("waits")
        self._references[record.number] = (waits if isinstance(waits, list) else [], event.get("after"))
        return record

    def _action(self, event: dict) -> ActionRecord | None:
        key = (event.get("module"), event.get("index"))
        record = self._by_key.get(key) if isinstance(key[0], str) and _is_int(key[1]) else None
        if record is None:
            self._warn(event, f"{event.get('event')} of an action the run did not plan ({key[0]!r}, {key[1]!r})")
        return record

    def _action_started(self, event: dict) -> ActionRecord | None:
        record = self._action(event)
        if record is not None:
            if record.recovery is None:
                self.started_count[record.module] += record.start_seq is None  # a retry starts it again
            record.start, record.start_seq = float(event["t"]), next(self._sequence)
            record.end = record.end_seq = record.reason = None
            record.outcome = "running"
            self.current[record.module] = record
        return record

    def _action_ended(self, event: dict) -> ActionRecord | None:
        record = self._action(event)
        if record is None:
            return None
        outcome = RECORD_OUTCOMES.get(event.get("outcome"))
        if outcome is None:
            return self._warn(event, f"an action_ended event with outcome {event.get('outcome')!r}")
        reason = event.get("reason")
        record.outcome, record.reason = outcome, reason if isinstance(reason, str) else None
        if outcome == "error":
            self.failed.add(record.module)
        if record.start is not None:
            record.end, record.end_seq = float(event["t"]), next(self._sequence)
            if record.recovery is None:
                self.done[record.module] += outcome == "finished"
        if self.current.get(record.module) is record:
            self.current[record.module] = None
        return record

    def _retry(self, event: dict) -> ActionRecord | None:
        record = self._action(event)
        if record is not None:
            record.retries += 1
        return record

    def _recovery_started(self, event: dict) -> None:
        block = event.get("block")
        self.recovering = block if isinstance(block, str) else "?"

    def _recovery_ended(self, event: dict) -> None:
        self.recovering = None

    def _module_ended(self, event: dict) -> None:
        module = event.get("module")
        if isinstance(module, str) and module in self.totals:
            self.finished_at.setdefault(module, float(event["t"]))

    def _run_ended(self, event: dict) -> None:
        self.ended = event
        for module in self.totals:
            self.finished_at.setdefault(module, float(event["t"]))

    _handlers: dict[str, Callable[[RunRecords, dict], Any]] = {
        "run_started": _run_started, "action_planned": _action_planned, "action_started": _action_started,
        "action_ended": _action_ended, "retry": _retry, "module_ended": _module_ended, "run_ended": _run_ended,
        "recovery_started": _recovery_started, "recovery_ended": _recovery_ended,
    }

    def _warn(self, event: dict, message: str) -> None:
        self.warnings.append(f"event at t={event.get('t')}: {message}; left out")
        return None

    def elapsed(self) -> float:
        return self.last_t

    def final(self) -> list[ActionRecord]:
        """The records as the output files hold them: what every action waited for, when its module could
        first have started it, and the actions in flight when the journal stops drawn as unfinished up to
        its last event."""
        for record in self.records:
            waits, after = self._references.get(record.number, ([], None))
            record.waits_on = [self._by_key[key].number for key in map(_reference, waits) if key in self._by_key]
            key = _reference(after)
            record.after = self._by_key[key].number if key in self._by_key else None
            if record.outcome == "running":
                record.outcome, record.end = UNFINISHED, max(self.last_t, record.start or 0.0)
        for module in self.totals:
            ran = sorted((r for r in self.records if r.module == module and r.start_seq), key=lambda r: r.start_seq)
            previous_end = 0.0
            for record in ran:
                record.ready = previous_end
                previous_end = record.end if record.end is not None else record.start
        return self.records


def summary_lines(records: Sequence[ActionRecord], totals: dict[str, int],
                  states: dict[str, str] | None = None) -> list[str]:
    """How far each module got (with its state, when `states` gives it), each except block that ran, and
    the actions the operator skipped: the lines a run's summary shows."""
    lines = []
    for module, total in totals.items():
        done = sum(1 for r in records if r.module == module and r.outcome == "finished" and r.recovery is None)
        state = f" ({states[module]})" if states and module in states else ""
        lines.append(f"  {module}: {done}/{total} actions finished{state}")
    for block in dict.fromkeys(r.recovery for r in records if r.recovery is not None):
        actions = [r for r in records if r.recovery == block]
        done = sum(1 for r in actions if r.outcome == "finished")
        lines.append(f"  except block {block}: {done}/{len(actions)} actions finished")
    skipped = sum(1 for r in records if r.outcome == "skipped")
    if skipped:
        lines.append(f"  {skipped} failed {'action was' if skipped == 1 else 'actions were'} skipped by the operator")
    return lines


def failure_line(record: ActionRecord) -> str:
    """A failed action as the summary reports it; a failure of an except block says so."""
    where = f"FAILED in except block {record.recovery}" if record.recovery is not None else "FAILED"
    return f"{where}: {record.reason or record.text}"


def records_from_events(events: Iterable[dict]) -> list[ActionRecord]:
    """Every planned action of a run with what the events say it did (see `RunRecords.final`)."""
    state = RunRecords()
    for event in events:
        state.add(event)
    return state.final()


# --- the output files --------------------------------------------------------------------------------

@dataclass(frozen=True)
class Output:
    """One output file of a run: the option that asks for it and how to write it."""

    option: str
    write: Callable[[Sequence[ActionRecord], str, str], None]


OUTPUTS = (
    Output("timeline", lambda records, path, title: write_html(records, path, title)),
    Output("trace", lambda records, path, title: write_chrome_trace(records, path)),
    Output("record", lambda records, path, title: write_records(records, path)),
)


class OutputPathError(ValueError):
    """An output path that cannot be used; the message names the option and the path."""


def _same_file(a: Path, b: Path) -> bool:
    try:
        return a.exists() and b.exists() and os.path.samefile(a, b)
    except OSError:
        return False


def _within(path: Path, folder: Path) -> bool:
    try:
        path.resolve().relative_to(folder.resolve())
    except ValueError:
        return False
    return True


def check_output_paths(requested: dict[str, str], inputs: Sequence[str | Path], *,
                       may_create_below: Sequence[Path] = ()) -> list[Path]:
    """Makes sure every requested output (option -> path) can be written before anything runs: not one
    of the run's `inputs`, not another output, not a folder or device, in a folder that exists and
    takes a new file. Missing folders are created only below `may_create_below`; returns those it
    created. Raises OutputPathError naming the first problem."""
    created: list[Path] = []
    seen: dict[Path, str] = {}
    for option, raw in requested.items():
        path = Path(raw)
        where = f"--{option} {raw}"
        absolute = Path(os.path.abspath(path))
        for source in inputs:
            if absolute == Path(os.path.abspath(source)) or _same_file(path, Path(source)):
                raise OutputPathError(f"{where}: that is an input of the run ({source}); choose another file")
        if absolute in seen:
            raise OutputPathError(f"{where}: --{seen[absolute]} writes the same file")
        seen[absolute] = option
        if path.exists() and not path.is_file():
            raise OutputPathError(f"{where}: not a regular file")
        folder = absolute.parent
        nearest = next((p for p in [folder, *folder.parents] if p.exists()), None)
        if nearest is not None and not nearest.is_dir():
            raise OutputPathError(f"{where}: {nearest} is not a folder")
        if not folder.exists():
            if not any(_within(folder, base) for base in may_create_below):
                raise OutputPathError(f"{where}: the folder {folder} does not exist (vemo run creates missing "
                                      f"folders only below the current directory and the run folder)")
            try:
                folder.mkdir(parents=True)
            except OSError as error:
                raise OutputPathError(f"{where}: cannot create the folder {folder}: {error.strerror}") from None
            created.append(folder)
        _probe_writable(path, where)
    return created


def _probe_writable(path: Path, where: str) -> None:
    """Opens the file for appending (an existing one is left as it is) or creates and removes it; the
    folder must take a new file too, since an output is written beside its path and renamed onto it."""
    existed = path.exists()
    folder = Path(os.path.abspath(path)).parent
    if existed and not os.access(folder, os.W_OK | os.X_OK):
        raise OutputPathError(f"{where}: cannot write there: the folder {folder} takes no new file")
    try:
        descriptor = os.open(path, os.O_WRONLY | os.O_APPEND | (0 if existed else os.O_CREAT | os.O_EXCL), 0o644)
    except OSError as error:
        raise OutputPathError(f"{where}: cannot write there: {error.strerror}") from None
    os.close(descriptor)
    if not existed:
        path.unlink()


def write_outputs(records: Sequence[ActionRecord], requested: dict[str, str], title: str, out: TextIO,
                  errors: TextIO) -> bool:
    """Writes each requested output (option -> path); says on `out` what was written and on `errors`
    what could not be. Returns whether all were written."""
    written = True
    for output in OUTPUTS:
        path = requested.get(output.option)
        if not path:
            continue
        try:
            _write_whole(path, lambda temporary: output.write(records, temporary, title))
        except OSError as error:
            print(f"warning: cannot write {path}: {error.strerror or error}", file=errors)
            written = False
            continue
        print(f"{output.option} written to {path}", file=out)
    return written


def _write_whole(path: str, write: Callable[[str], None]) -> None:
    """Has `write` fill a new file beside `path` and renames it over `path` once it is whole: a failure
    half-way leaves `path` as it was (absent, or its earlier content), never empty or cut short."""
    target = Path(path)
    descriptor, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".part")
    os.close(descriptor)
    try:
        write(temporary)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
