"""From a run's journal events to its action records, and from those to the --timeline, --trace and --record files."""

from __future__ import annotations

import itertools
import os
import re
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable, NamedTuple, Sequence, TextIO

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


# The outcomes after which an action is settled: it counts as done for the run's progress and a live fold
# lets its record go. An action that failed or was interrupted may start again, so its record stays.
SETTLED = frozenset({"finished", "skipped"})
# A live fold keeps the records of this many of the latest action starts, for the console's chart: a page
# keeps no more bars than this itself (MAX_KEPT_BARS of console.js), and at the pace of a busy cell (a few
# hundred actions a second at a high --speed) they cover the minute or two its window opens on. A run of a
# week has tens of millions; a window further back than these shows what is kept. (About 1 KB each.)
MAX_LIVE_STARTS = 20_000
# A live fold keeps at most this many failed actions (the first of them): a run goes on after a failure
# only by the operator's decision or an except block, so more is a run that has long needed looking at.
MAX_LIVE_FAILURES = 200
# And at most this many warnings about events that did not fit: a journal that gives more is no run's.
MAX_LIVE_WARNINGS = 200


class _Planned(NamedTuple):
    """An action as its action_planned event (or its loop's template) tells it."""

    kind: str
    text: str
    location: str | None
    lane: str | None
    recovery: str | None
    waits: list
    after: Any
    number: int = 0  # its place among the planned actions; 0 for an action of an iteration not planned


class _Loop(NamedTuple):
    """A loop expanded as the run goes: its count (None without end), the estimated seconds of one iteration
    and, per module, the index of its first action and the number of actions each iteration holds."""

    number: int
    count: int | None
    iteration_estimate: float | None
    modules: dict[str, tuple[int, int]]

    def iteration(self, module: str, index: int) -> int | None:
        """The iteration (1, 2, ...) that holds `module`'s action `index`; None if the loop does not."""
        first, per = self.modules.get(module, (0, 0))
        if per <= 0 or index < first:
            return None
        k = (index - first) // per + 1
        return k if self.count is None or k <= self.count else None

    def shifted(self, reference: Any, by: int) -> Any:
        """A template's [module, index] reference as iteration 2 + `by` names it: moved by `by` iterations
        when it names an action of iteration 1 or 2 of this loop, unchanged otherwise."""
        key = _reference(reference)
        if key is None or key[0] not in self.modules:
            return reference
        first, per = self.modules[key[0]]
        return [key[0], key[1] + by * per] if per > 0 and first <= key[1] < first + 2 * per else reference


class RunRecords:
    """A run's actions as its journal events tell them, folded in one event at a time: what a live view
    shows while the run goes and what the output files hold once it has ended. Events that do not fit
    the run (an unknown action, a field of the wrong type) are left out with a warning, so a journal
    from elsewhere gives a report and its warnings, never an error half-way.

    Format 2 plans a loop expanded as the run goes once: the actions of its iterations 3 to N-1 get their
    records from the template (iteration 2) when they start or end. A full fold (`vemo report`, the output
    files) keeps every record; a `live` one (the run's views, the console) keeps what those views show -
    the counts, the action in flight per module, the failed ones and the latest MAX_LIVE_STARTS starts - so
    that its size does not grow with a run of a week."""

    def __init__(self, live: bool = False) -> None:
        self.live = live
        self.format = 1
        self.started: dict | None = None
        self.ended: dict | None = None
        self.records: list[ActionRecord] = []  # every record, in plan order (a full fold's only)
        self.totals: dict[str, int | None] = {}  # actions per module; None: its plan ends in a loop without end
        self.started_count: dict[str, int] = {}  # actions of each module that have started
        self.done: dict[str, int] = {}
        self.settled: dict[str, int] = {}  # actions of each module that finished or were skipped
        self.failed: set[str] = set()  # modules with an action that ended in error
        self.failures: list[ActionRecord] = []  # the actions that failed, in the order they did
        self.current: dict[str, ActionRecord | None] = {}
        self.finished_at: dict[str, float] = {}
        self.warnings: list[str] = []
        self.recovering: str | None = None  # the except block running now, if one is
        self.recovery_counts: dict[tuple[str, str], list[int]] = {}  # (module, block): [started, planned]
        self.recovery_done: dict[str, int] = {}  # actions of each except block that finished
        self.skipped = 0  # failed actions the operator skipped
        self.in_flight = 0  # actions started and not ended
        self.loops: dict[int, _Loop] = {}
        self.last_t = 0.0
        self.start_times: list[float] = []  # the time of each action start, in journal order (times only grow)
        self.started_records: list[ActionRecord] = []  # the record of each start, beside start_times
        self._plan: dict[tuple[str, int], _Planned] = {}
        self._by_key: dict[tuple[str, int], ActionRecord] = {}  # a live fold's: those not settled
        self._loops_of: dict[str, list[_Loop]] = {}
        self._modules_planned: dict[str, int] = {}  # modules in the order their first action was planned
        self._numbers = itertools.count(1)
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
        self.format = 2 if event.get("format") == 2 else 1
        modules = event.get("modules")
        for entry in modules if isinstance(modules, list) else []:
            if isinstance(entry, dict) and isinstance(entry.get("name"), str):
                self._module(entry["name"])
                if self.format == 2:  # the plan's lines no longer count every action
                    actions = entry.get("actions")
                    self.totals[entry["name"]] = actions if _is_int(actions) and actions >= 0 else None

    def _module(self, name: str) -> None:
        if name not in self.totals:
            self.totals[name], self.started_count[name], self.done[name], self.current[name] = 0, 0, 0, None
            self.settled[name] = 0

    def _loop_planned(self, event: dict) -> None:
        number, count, modules = event.get("loop"), event.get("count"), event.get("modules")
        if not _is_int(number) or number in self.loops or not isinstance(modules, list) or \
                not (count is None or _is_int(count)):
            return self._warn(event, "a loop_planned event without a new loop number, its count and its modules")
        estimate = event.get("iteration_estimate_s")
        ranges = {entry["module"]: (entry["first"], entry["per_iteration"]) for entry in modules
                  if isinstance(entry, dict) and isinstance(entry.get("module"), str) and _is_int(entry.get("first"))
                  and _is_int(entry.get("per_iteration"))}
        loop = _Loop(number, count, float(estimate) if _is_time(estimate) else None, ranges)
        self.loops[number] = loop
        for module in ranges:
            self._loops_of.setdefault(module, []).append(loop)
        return None

    def _action_planned(self, event: dict) -> ActionRecord | None:
        module, index, text = event.get("module"), event.get("index"), event.get("text")
        if not (isinstance(module, str) and _is_int(index) and isinstance(text, str)):
            return self._warn(event, "an action_planned event without module, index and text")
        if (module, index) in self._plan:
            return self._warn(event, f"{module} action {index} is planned twice")
        location, lane, kind = event.get("location"), event.get("lane"), event.get("kind")
        recovery, waits = event.get("recovery"), event.get("waits")
        planned = _Planned(kind if isinstance(kind, str) else "", text, location if isinstance(location, str) else None,
                           lane if isinstance(lane, str) else None, recovery if isinstance(recovery, str) else None,
                           waits if isinstance(waits, list) else [], event.get("after"), next(self._numbers))
        self._plan[(module, index)] = planned
        self._modules_planned.setdefault(module, len(self._modules_planned))
        if planned.recovery is None:
            self._module(module)
            if self.format == 1:
                self.totals[module] += 1
        else:
            self.recovery_counts.setdefault((module, planned.recovery), [0, 0])[1] += 1
        return None if self.live else self._record(module, index, planned)

    def _record(self, module: str, index: int, planned: _Planned) -> ActionRecord:
        # A live fold may let a record go and make it again: the number it had names it again on the page.
        record = ActionRecord(planned.number or next(self._numbers), module, planned.kind, short_text(planned.text),
                              origin=planned.location, lane=planned.lane, text=planned.text, index=index,
                              recovery=planned.recovery)
        self._by_key[(module, index)] = record
        if not self.live:
            self.records.append(record)
        return record

    def planned(self, module: str, index: int) -> _Planned | None:
        """What the plan says of `module`'s action `index`: its action_planned; else, in an iteration of an
        expanded loop that was not planned action by action, its template's action with its references
        moved to this iteration; None if the plan does not hold it."""
        steps = []  # (loop, iterations moved), outermost first: a loop's template may lie in a loop within it
        while (planned := self._plan.get((module, index))) is None:
            step = next(((loop, k - 2) for loop in self._loops_of.get(module, ())
                         if (k := loop.iteration(module, index) or 0) >= 3 and (loop.count is None or k < loop.count)),
                        None)
            if step is None:
                return None
            steps.append(step)
            index -= step[1] * step[0].modules[module][1]
        for loop, by in reversed(steps):
            planned = planned._replace(waits=[loop.shifted(reference, by) for reference in planned.waits],
                                       after=loop.shifted(planned.after, by), number=0)
        return planned

    def iteration(self, module: str, index: int) -> tuple[int, int] | None:
        """(loop, iteration) of the innermost expanded loop that holds `module`'s action `index`, if one does."""
        found = None
        for loop in self._loops_of.get(module, ()):
            k = loop.iteration(module, index)
            if k is not None:
                found = (loop.number, k)
        return found

    def _action(self, event: dict) -> ActionRecord | None:
        module, index = event.get("module"), event.get("index")
        key_ok = isinstance(module, str) and _is_int(index)
        record = self._by_key.get((module, index)) if key_ok else None
        if record is None and key_ok:
            planned = self.planned(module, index)
            if planned is not None:
                record = self._record(module, index, planned)
        if record is None:
            self._warn(event, f"{event.get('event')} of an action the run did not plan ({module!r}, {index!r})")
        return record

    def _action_started(self, event: dict) -> ActionRecord | None:
        record = self._action(event)
        if record is not None:
            if record.recovery is None:
                self.started_count[record.module] += record.start_seq is None  # a retry starts it again
                self.settled[record.module] -= record.outcome in SETTLED
            elif record.start_seq is None:
                self.recovery_counts.setdefault((record.module, record.recovery), [0, 0])[0] += 1
            self.in_flight += record.outcome != "running"
            record.start, record.start_seq = float(event["t"]), next(self._sequence)
            record.end = record.end_seq = record.reason = None
            record.outcome = "running"
            self.current[record.module] = record
            self.start_times.append(record.start)
            self.started_records.append(record)
            # Trimmed a quarter of the bound at a time: the cost of moving the rest averages out per start.
            if self.live and len(self.start_times) > MAX_LIVE_STARTS + MAX_LIVE_STARTS // 4:
                del self.start_times[:-MAX_LIVE_STARTS], self.started_records[:-MAX_LIVE_STARTS]
        return record

    def _action_ended(self, event: dict) -> ActionRecord | None:
        record = self._action(event)
        if record is None:
            return None
        outcome = RECORD_OUTCOMES.get(event.get("outcome"))
        if outcome is None:
            return self._warn(event, f"an action_ended event with outcome {event.get('outcome')!r}")
        reason = event.get("reason")
        if record.recovery is None:
            self.settled[record.module] += (outcome in SETTLED) - (record.outcome in SETTLED)
        else:
            self.recovery_done[record.recovery] = self.recovery_done.get(record.recovery, 0) + \
                (outcome == "finished") - (record.outcome == "finished")
        self.skipped += (outcome == "skipped") - (record.outcome == "skipped")
        self.in_flight -= record.outcome == "running"
        record.outcome, record.reason = outcome, reason if isinstance(reason, str) else None
        if outcome == "error":
            self.failed.add(record.module)
            if all(r is not record for r in self.failures) and \
                    not (self.live and len(self.failures) >= MAX_LIVE_FAILURES):
                self.failures.append(record)
        if record.start is not None:
            record.end, record.end_seq = float(event["t"]), next(self._sequence)
            if record.recovery is None:
                self.done[record.module] += outcome == "finished"
        if self.current.get(record.module) is record:
            self.current[record.module] = None
        if self.live and (outcome in SETTLED or outcome == RECORD_OUTCOMES["not_run"]):
            self._by_key.pop((record.module, record.index), None)
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
        "run_started": _run_started, "loop_planned": _loop_planned, "action_planned": _action_planned,
        "action_started": _action_started, "action_ended": _action_ended, "retry": _retry,
        "module_ended": _module_ended, "run_ended": _run_ended, "recovery_started": _recovery_started,
        "recovery_ended": _recovery_ended,
    }

    def _warn(self, event: dict, message: str) -> None:
        if not (self.live and len(self.warnings) >= MAX_LIVE_WARNINGS):
            self.warnings.append(f"event at t={event.get('t')}: {message}; left out")
        return None

    def elapsed(self) -> float:
        return self.last_t

    def final(self) -> list[ActionRecord]:
        """The records as the output files hold them, in plan order: what every action waited for, when its
        module could first have started it, and the actions in flight when the journal stops drawn as
        unfinished up to its last event. Only a full fold has them (an iteration of an expanded loop that
        never started has none)."""
        if self.live:
            raise RuntimeError("a live fold of a run keeps no record of every action: fold its journal in full")
        if self.loops:  # the records of iterations that were not planned came as they ran: put them in place
            last = len(self._modules_planned)
            self.records.sort(key=lambda r: (1, 0, 0) if r.recovery is not None else  # as they were planned
                              (0, self._modules_planned.get(r.module, last), r.index))
            for number, record in enumerate(self.records, 1):
                record.number = number
        for record in self.records:
            planned = self.planned(record.module, record.index)
            waits, after = (planned.waits, planned.after) if planned is not None else ([], None)
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


def summary_lines(state: RunRecords, states: dict[str, str] | None = None) -> list[str]:
    """How far each module got (with its state, when `states` gives it), each except block the plan holds,
    and the actions the operator skipped: the lines a run's summary shows, from a fold's counts."""
    lines = []
    for module, total in state.totals.items():
        mark = f" ({states[module]})" if states and module in states else ""
        of = "" if total is None else f"/{total}"  # None: the module's plan ends in a loop without end
        lines.append(f"  {module}: {state.done.get(module, 0)}{of} actions finished{mark}")
    planned: dict[str, int] = {}
    for (_, block), (_, count) in state.recovery_counts.items():
        planned[block] = planned.get(block, 0) + count
    for block, count in planned.items():
        lines.append(f"  except block {block}: {state.recovery_done.get(block, 0)}/{count} actions finished")
    if state.skipped:
        lines.append(f"  {state.skipped} failed {'action was' if state.skipped == 1 else 'actions were'} skipped by "
                     f"the operator")
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
    write: Callable[[Sequence[ActionRecord], str, str, Sequence[dict]], None]  # records, path, title, holds


OUTPUTS = (
    Output("timeline", lambda records, path, title, holds: write_html(records, path, title, holds)),
    Output("trace", lambda records, path, title, holds: write_chrome_trace(records, path, holds)),
    Output("record", lambda records, path, title, holds: write_records(records, path)),
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
                  errors: TextIO, holds: Sequence[dict] = ()) -> bool:
    """Writes each requested output (option -> path); says on `out` what was written and on `errors`
    what could not be. `holds` are the pauses, interlock trips and decisions the timeline and the trace
    mark (the fold's bands). Returns whether all were written."""
    written = True
    for output in OUTPUTS:
        path = requested.get(output.option)
        if not path:
            continue
        try:
            _write_whole(path, lambda temporary: output.write(records, temporary, title, holds))
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
