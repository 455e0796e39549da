"""The catalogue of journal events: each name with its fields, its meaning and the readers that fold it. The
journal writer refuses a name that is not here; docs/running.md lists the same events (a test checks)."""

from __future__ import annotations

import json
import math
from typing import Any, Callable, NamedTuple

# The readers of a journal, each folding the events it names below and ignoring the others:
#   records  the action records behind the outputs, `vemo report` and the summary (outputs.RunRecords)
#   fold     the run's and modules' states that the terminal, `vemo ctl status`, the console and
#            `vemo report` show (fold.RunFold)
#   lines    the progress lines `vemo run` prints on a pipe (progress.PlainProgress)
#   console  what the console shows beside the fold: the run's files, the handler's loss and the end
#            (console.view.RunView)
READERS = ("records", "fold", "lines", "console")


class Event(NamedTuple):
    name: str
    fields: tuple[str, ...]
    meaning: str
    read_by: frozenset[str]


def _event(name: str, fields: str, meaning: str, read_by: str = "") -> Event:
    return Event(name, tuple(fields.split()), meaning, frozenset(read_by.split()))


_ACTION = "module index text location"

EVENTS = {event.name: event for event in (
    _event("run_started", "format script cell handler_settings digests handler simulator simulator_pid speed "
                          "retries on_error started pid modules interlocks",
           "the first line: what runs where, the modules in the cell's order", "records fold console"),
    _event("loop_planned", "loop location count iteration_estimate_s modules",
           "once per loop expanded as the run goes (format 2), before the first action_planned: which indices "
           "of each module its iterations hold", "records"),
    _event("action_planned", f"{_ACTION} kind lane waits after recovery",
           "once per action in plan order before any starts (an except block's when it is about to run); in "
           "format 2 not for the iterations of an expanded loop that follow its template", "records"),
    _event("iteration_started", "loop iteration", "the first action of an iteration of an expanded loop starts",
           "fold lines"),
    _event("cycle_stop_requested", "loop iteration by", "the operator asked the run to end after the "
                                                         "iteration of the loop that runs now", "fold lines"),
    _event("action_started", _ACTION, "an action begins", "records fold lines"),
    _event("action_ended", f"{_ACTION} outcome reason", "an action ends (finished, error, interrupted, "
                                                         "skipped or not_run)", "records fold lines"),
    _event("retry", f"{_ACTION} attempt reason", "a failed action's next attempt is sent, when it is sent",
           "records fold lines"),
    _event("paused", "mode cause failure by", "the run is held: by a pause, an interlock or a failure waiting "
                                           "for a decision (cause failure, with the failure)", "fold lines"),
    _event("resumed", "cause by", "the run goes on: a resume, an answered decision or an automatic resume",
           "fold lines"),
    _event("motion_interrupted", "module axes", "an immediate pause or an interlock stopped a module's motion",
           "fold lines"),
    _event("axis_stop_refused", "axis result", "the handler refused the MOTOR_STOP of an axis: it may still "
                                               "be moving", "fold lines"),
    _event("interlock_tripped", "name module input value", "an interlock's input left its safe level",
           "fold lines"),
    _event("interlock_cleared", "name module input value", "an interlock's input is at its safe level again",
           "fold lines"),
    _event("stopping", "cause by", "the run stops, once, with its first cause (vemo.run.states.STOP_CAUSES)",
           "fold lines"),
    _event("decided", "answer module text location by", "the operator answered a failure waiting for a decision (retry, "
                                              "skip or abort)", "fold lines"),
    _event("input_set", "module point value by", "the operator set a simulated input", "fold lines"),
    _event("recovery_started", "block location failed", "an except block begins after the run stopped on a "
                                                        "failure", "records fold lines"),
    _event("recovery_ended", "block outcome", "the except block has ended", "records lines"),
    _event("module_ended", "module", "a module's thread has ended", "records"),
    _event("handler_lost", "address reason silent_for", "the handler stopped answering", "fold console"),
    _event("run_ended", "exit_code outcome reason", "the last line (with a reason when the run ended before its "
                                                  "modules started)", "records fold console"),
)}


def read_by(reader: str) -> frozenset[str]:
    """The events that `reader` folds; it ignores every other."""
    return frozenset(name for name, event in EVENTS.items() if reader in event.read_by)


def check_name(name: str) -> None:
    """Raises ValueError for a name that is no journal event: a fault of the program that writes it."""
    if name not in EVENTS:
        raise ValueError(f"{name!r} is no journal event (see vemo.run.events)")


# The latest "t" a reader believes: a run of a year is longer than any cell runs unattended, and a time
# beyond it would only ask the timeline to draw a span no run has.
MAX_RUN_SECONDS = 366 * 24 * 3600


# --- the fields of events, checked where they appear --------------------------------------------------

def is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_index(value: Any) -> bool:
    return _is_int(value) and value >= 1


def _is_count(value: Any) -> bool:
    return _is_int(value) and value >= 0


def _is_time(value: Any) -> bool:
    return is_number(value) and 0 <= value <= MAX_RUN_SECONDS and math.isfinite(value)


def _is_text(value: Any) -> bool:
    return isinstance(value, str)


def _is_reference(value: Any) -> bool:
    return isinstance(value, list) and len(value) == 2 and _is_text(value[0]) and _is_int(value[1])


def _is_module_total(value: Any) -> bool:
    """{"name", "actions"}: the actions a module runs, null (never absent) when its plan ends in a loop without end."""
    return isinstance(value, dict) and _is_text(value.get("name")) and "actions" in value and \
        (value["actions"] is None or _is_count(value["actions"]))


def _optional(check: Callable[[Any], bool]) -> Callable[[Any], bool]:
    return lambda value: value is None or check(value)


def _list_of(check: Callable[[Any], bool]) -> Callable[[Any], bool]:
    return lambda value: isinstance(value, list) and all(map(check, value))


def _object_of(**fields: Callable[[Any], bool]) -> Callable[[Any], bool]:
    return lambda value: isinstance(value, dict) and all(check(value.get(name)) for name, check in fields.items())


# Each field a reader of the journal relies on, with what it must be wherever it appears; fields not named
# here are passed on unchecked. (value check, what the message calls it)
FIELDS: dict[str, tuple[Callable[[Any], bool], str]] = {
    "t": (_is_time, f"seconds from 0 to {MAX_RUN_SECONDS}"),
    "format": (_is_int, "an integer"),
    "script": (_is_text, "a path"),
    "cell": (_is_text, "a path"),
    "handler_settings": (_optional(_is_text), "a path"),
    "handler": (_is_text, "an address"),
    "digests": (lambda v: isinstance(v, dict) and all(map(_optional(_is_text), v.values())),
                "an object of SHA-256 digests by path"),
    "simulator": (lambda v: isinstance(v, bool), "true or false"),
    "started": (_is_text, "a time"),
    # In run_started {"name", "actions"} (actions null: the module's plan ends in a loop without end); in
    # loop_planned {"module", "first", "per_iteration"}.
    "modules": (lambda v: _list_of(_is_module_total)(v)
                or _list_of(_object_of(module=_is_text, first=_is_index, per_iteration=_is_count))(v),
                "a list of {\"name\", \"actions\"} or of {\"module\", \"first\", \"per_iteration\"}"),
    "loop": (_is_index, "a loop's number (1, 2, ...)"),
    "iteration": (_is_index, "an iteration's number (1, 2, ...)"),
    "count": (_optional(_is_count), "a loop's count or null"),
    "iteration_estimate_s": (_optional(_is_time), "seconds or null"),
    "interlocks": (_list_of(_object_of(name=_is_text)), "a list of {\"name\", \"module\", \"input\"}"),
    "module": (_is_text, "a module name"),
    "index": (_is_index, "an action's index (1, 2, ...)"),
    "text": (_is_text, "text"),
    "location": (_optional(_is_text), "FILE:LINE:COLUMN"),
    "kind": (_is_text, "an action kind"),
    "lane": (_optional(_is_text), "a lane name or null"),
    "recovery": (_optional(_is_text), "an except block's name or null"),
    "waits": (_list_of(_is_reference), "a list of [module, index] pairs"),
    "failed": (_list_of(_is_reference), "a list of [module, index] pairs"),
    "after": (_optional(_is_reference), "a [module, index] pair or null"),
    "reason": (_optional(_is_text), "text"),
    "attempt": (lambda v: _is_int(v) and v >= 1, "a count (1, 2, ...)"),
    "block": (_is_text, "an except block's name"),
    "mode": (_is_text, "a pause mode"),
    "cause": (_is_text, "a cause"),
    "name": (_is_text, "a name"),
    "failure": (lambda v: isinstance(v, dict), "an object"),
    "exit_code": (lambda v: _is_int(v) and 0 <= v <= 255, "an exit code (0 to 255)"),
}

# The outcomes each event that has one may name.
OUTCOMES: dict[str, tuple[str, ...]] = {
    "action_ended": ("finished", "error", "interrupted", "skipped", "not_run"),
    "recovery_ended": ("finished", "failed", "interrupted"),
    "run_ended": ("finished", "failed", "interrupted", "terminated"),
}


def check_fields(entry: dict) -> str | None:
    """What is wrong with a parsed event's fields (the first problem found), or None if nothing is."""
    for name, value in entry.items():
        rule = FIELDS.get(name)
        if rule is not None and not rule[0](value):
            return f"\"{name}\" must be {rule[1]}, not {_shown(value)}"
    outcomes = OUTCOMES.get(entry["event"])
    if outcomes is not None and "outcome" in entry and entry["outcome"] not in outcomes:
        return f"\"outcome\" must be one of {', '.join(outcomes)}, not {_shown(entry['outcome'])}"
    return None


def _shown(value: Any) -> str:
    """A field's value as a message quotes it: short, whatever its size."""
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= 40 else text[:37] + "..."
