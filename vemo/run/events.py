"""The catalogue of journal events: each name with its fields, its meaning and the readers that fold it. The
journal writer refuses a name that is not here; docs/running.md lists the same events (a test checks)."""

from __future__ import annotations

from typing import NamedTuple

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
    _event("action_planned", f"{_ACTION} kind lane waits after recovery",
           "once per action in plan order before any starts (an except block's when it is about to run)",
           "records"),
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
    _event("run_ended", "exit_code outcome", "the last line", "records fold console"),
)}


def read_by(reader: str) -> frozenset[str]:
    """The events that `reader` folds; it ignores every other."""
    return frozenset(name for name, event in EVENTS.items() if reader in event.read_by)


def check_event(name: str) -> None:
    """Raises ValueError for a name that is no journal event: a fault of the program that writes it."""
    if name not in EVENTS:
        raise ValueError(f"{name!r} is no journal event (see vemo.run.events)")
