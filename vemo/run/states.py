"""The states of a run and of its modules, the legal transitions between them with the journal event that
records each, and their mapping to the PackML machine states (ISA-TR88.00.02)."""

from __future__ import annotations

from typing import NamedTuple

# --- the run ----------------------------------------------------------------------------------------------

STARTING, RUNNING, PAUSING, PAUSED, WAITING_DECISION, STOPPING, ENDED = (
    "starting", "running", "pausing", "paused", "waiting_decision", "stopping", "ended")
RUN_STATES = (STARTING, RUNNING, PAUSING, PAUSED, WAITING_DECISION, STOPPING, ENDED)
# States in which the run takes commands that change it.
LIVE = frozenset({RUNNING, PAUSING, PAUSED, WAITING_DECISION})


class Transition(NamedTuple):
    """One legal change of the run's state and the journal event that records it when it happens (None:
    the change follows from an event already journaled, such as the last action a pause waited for)."""

    source: str
    target: str
    event: str | None
    when: str


TRANSITIONS = (
    Transition(STARTING, RUNNING, "run_started", "the run starts"),
    Transition(RUNNING, PAUSING, "paused", "a deferred pause while modules execute actions"),
    Transition(RUNNING, PAUSED, "paused", "a pause with no action in flight, an immediate pause, an interlock trip"),
    Transition(PAUSING, PAUSED, None, "the last action in flight has ended (its action_ended)"),
    Transition(PAUSING, PAUSED, "paused", "an immediate pause or an interlock trip during a deferred pause"),
    Transition(PAUSING, RUNNING, "resumed", "resume before every module reached a boundary"),
    Transition(PAUSED, RUNNING, "resumed", "resume, or the last interlock with resume: auto is safe again"),
    Transition(RUNNING, WAITING_DECISION, "paused", "an action failed under --on-error ask (cause failure)"),
    Transition(PAUSING, WAITING_DECISION, "paused", "an action failed under --on-error ask (cause failure)"),
    Transition(PAUSED, WAITING_DECISION, "paused", "an action in flight failed under --on-error ask"),
    Transition(WAITING_DECISION, RUNNING, "resumed", "retry or skip with every interlock safe"),
    Transition(WAITING_DECISION, PAUSED, "paused", "skip while a pause or an interlock still holds the run"),
    Transition(WAITING_DECISION, PAUSING, "paused", "retry or skip while a deferred pause still holds the run"),
    *(Transition(state, STOPPING, "stopping", "stop, abort, a failure, a signal or a lost handler")
      for state in (RUNNING, PAUSING, PAUSED, WAITING_DECISION)),
    Transition(STOPPING, RUNNING, "recovery_started", "the except blocks of the failed actions begin"),
    Transition(STOPPING, PAUSED, "recovery_started", "the except blocks begin while an interlock holds the run"),
    *(Transition(state, ENDED, "run_ended", "the run has ended") for state in RUN_STATES if state != ENDED),
)
_LEGAL = {(t.source, t.target, t.event) for t in TRANSITIONS}


class IllegalTransition(RuntimeError):
    """A change of state the table does not allow: a fault of the program, never of the operator."""


def check_transition(source: str, target: str, event: str | None) -> None:
    """Raises IllegalTransition unless the table has a change from `source` to `target` recorded by `event`."""
    if source != target and (source, target, event) not in _LEGAL:
        raise IllegalTransition(f"the run cannot go from {source} to {target}"
                                + (f" by {event}" if event else " without an event"))


def run_state(*, started: bool, ended: bool, stopping: bool, decision: bool, pause: dict | None,
              in_flight: bool) -> str:
    """The run's state from what holds it: the run's control and the fold of its journal both decide it
    here. `pause` is the hold of a pause or an interlock ({"mode": "deferred"|"immediate", ...}) and
    `in_flight` whether a module still executes an action that the pause lets it finish."""
    if ended:
        return ENDED
    if not started:
        return STARTING
    if stopping:
        return STOPPING
    if decision:
        return WAITING_DECISION
    if pause is not None:
        return PAUSING if in_flight else PAUSED
    return RUNNING


# --- why a run stops ---------------------------------------------------------------------------------------

class StopCause(NamedTuple):
    """A cause of the `stopping` transition and what the stop does beyond ending the modules after their
    current action: stop the axes in motion and end dwells (`halts_motion`), end every wait on the handler
    at once (`ends_waits`), and end the run as interrupted, without its except blocks (`interrupts`).
    A later cause that is not a failure's takes over from a failure."""

    name: str
    halts_motion: bool
    ends_waits: bool
    interrupts: bool
    meaning: str


STOP_CAUSES = {cause.name: cause for cause in (
    StopCause("failure", False, False, False, "an action failed and its failure counts"),
    StopCause("abort", False, False, False, "the operator's answer to a failure waiting for a decision"),
    StopCause("journal", False, False, False, "the journal could not be written (a full disk)"),
    StopCause("handler_lost", False, True, False, "the handler stopped answering"),
    StopCause("operator", True, True, True, "vemo ctl DIR stop, the s key, the console's Stop"),
    StopCause("signal", True, True, True, "Ctrl-C, SIGTERM or SIGHUP"),
)}


def stop_cause(name: str | None) -> StopCause | None:
    return STOP_CAUSES.get(name) if name is not None else None


# --- the modules ------------------------------------------------------------------------------------------

M_WAITING, M_RUNNING, M_PAUSING, M_PAUSED, M_INTERRUPTED, M_WAITING_DECISION, M_DONE, M_FAILED, M_STOPPED = (
    "waiting", "running", "pausing", "paused", "interrupted", "waiting_decision", "done", "failed", "stopped")


class ModuleState(NamedTuple):
    name: str
    meaning: str


MODULE_STATES = (
    ModuleState(M_WAITING, "no action in flight: before its first, or waiting for another module's action"),
    ModuleState(M_RUNNING, "executes an action"),
    ModuleState(M_PAUSING, "finishes the action it executes; a deferred pause holds it after that"),
    ModuleState(M_PAUSED, "held by a pause or a decision: at a boundary, or in a dwell that an immediate pause "
                          "suspended"),
    ModuleState(M_INTERRUPTED, "its motion was stopped (MOTOR_STOP) by an immediate pause or an interlock; it "
                               "is sent again to the same target on resume"),
    ModuleState(M_WAITING_DECISION, "its failed action waits for the operator's retry, skip or abort"),
    ModuleState(M_DONE, "ended with every action finished or skipped"),
    ModuleState(M_FAILED, "an action of it failed"),
    ModuleState(M_STOPPED, "ended with actions not run (the run stopped)"),
)


def module_state(*, run: str, ended: bool, failed: bool, complete: bool, in_flight: bool, interrupted: bool,
                 deciding: bool, pause_mode: str | None) -> str:
    """One module's state from the run's state and what the journal says of the module: whether its
    thread has `ended`, an action of it `failed`, every action finished or was skipped (`complete`), an
    action is `in_flight`, its motion was `interrupted`, its failure waits for a decision (`deciding`)."""
    if failed:
        return M_FAILED
    if deciding:
        return M_WAITING_DECISION
    if ended or run == ENDED:
        return M_DONE if complete else M_STOPPED
    if in_flight:
        if interrupted:
            return M_INTERRUPTED
        if run in (PAUSING, PAUSED, WAITING_DECISION):
            return M_PAUSED if pause_mode == "immediate" else M_PAUSING
        return M_RUNNING
    if run in (PAUSING, PAUSED, WAITING_DECISION):
        return M_PAUSED
    return M_WAITING


# --- PackML -----------------------------------------------------------------------------------------------

class PackML(NamedTuple):
    """A PackML state of ISA-TR88.00.02: its number and name."""

    number: int
    name: str


# Each run state as the plant sees it in PackML terms. A deferred pause is PackML's Holding (the machine
# completes its current step), the held run Held; a failure waiting for the operator is Suspended (held by
# a condition outside the machine's normal flow until the operator answers); a stop in progress Stopping
# (Aborting is not used: every stop lets the modules end their action or stops the axes in order).
PACKML = {
    STARTING: PackML(3, "Starting"),
    RUNNING: PackML(6, "Execute"),
    PAUSING: PackML(10, "Holding"),
    PAUSED: PackML(11, "Held"),
    WAITING_DECISION: PackML(5, "Suspended"),
    STOPPING: PackML(7, "Stopping"),
    ENDED: PackML(2, "Stopped"),
}
# The end of a run by its outcome: a run that finished is Complete, one that failed or was stopped Stopped.
PACKML_ENDED = {"finished": PackML(17, "Complete"), "failed": PackML(2, "Stopped"),
                "interrupted": PackML(2, "Stopped"), "terminated": PackML(2, "Stopped")}
