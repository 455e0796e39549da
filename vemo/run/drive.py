"""Drives a cell through the handler client during `vemo run`: the run context that host actions execute in,
which implements the handler commands an action may send (vemo.cell.handlercommands.HandlerCommands)."""

from __future__ import annotations

import itertools
import threading
import time
from typing import Any, Callable, Sequence

from vemo.cell.handlercommands import POSITION_TOLERANCE, HandlerCommands
from vemo.run.commands import DECISIONS
from vemo.run.control import RunControl

BLANK_CONDITION = 150
ERROR_STATE_INDEX = 1  # KINRA_ID_ERROR_STATE, the data index of a log request
# Numbers the awaited requests of this process; next() on a count is atomic under the GIL.
_awaited_serial = itertools.count(1)


class ActionFailed(RuntimeError):
    """An action that did not complete on the handler; the message names module, action and script location."""


class HandlerLost(ActionFailed):
    """The handler stopped answering while the action needed it."""


class RunStopped(Exception):
    """The run is being stopped (another action failed, or the operator interrupted it)."""


# A completion the handler owes is given up on after twice the action's expected duration plus this margin.
COMPLETION_MARGIN_SECONDS = 5.0


def expected_seconds(action: Any) -> float | None:
    """How long the action takes by its estimate (an axis's motion profile, an IO module's switch time),
    from the farthest of its module's named places (if it has any), since the start is not known at run
    time; None without an estimate."""
    estimate = getattr(action, "estimate", None)
    if estimate is None:
        return None
    spec = getattr(action.module, "spec", None)
    starts = [None] if spec is None or not spec.positions else [None, spec.home, *spec.positions.values()]
    try:
        durations = [estimate(start)[0] for start in starts]
    except (TypeError, ValueError, KeyError):
        return None
    if any(d is None for d in durations):
        return None
    return max(durations)


class RunContext(HandlerCommands):
    """What host actions need while a script runs: one shared handler client, the run's control (its stop
    signal, pauses and holds), the time factor of dwells, what to do when an action fails, and the
    callbacks that record what each action did.

    A failed action is tried again up to `retries` times; after that `decide(failure)` (the operator's
    answer, when the run asks) says whether to try once more, skip the action or abort the run. Without
    `decide` the run stops at once, as it does for every failure while an except block runs."""

    def __init__(self, client: Any, *, time_factor: float = 1.0,
                 on_start: Callable[[Any], None] | None = None,
                 on_end: Callable[[Any, str, str | None], None] | None = None,
                 control: RunControl | None = None,
                 retries: int = 0, decide: Callable[[dict], str] | None = None,
                 on_retry: Callable[[Any, int, str], None] | None = None) -> None:
        self.client = client
        self.time_factor = time_factor
        self.control = control or RunControl()
        if self.control.stop_axis is None:
            self.control.stop_axis = getattr(client, "motor_stop", None)
        self.stopping = self.control.stopping
        self.on_start = on_start or (lambda action: None)
        self.on_end = on_end or (lambda action, outcome, reason: None)
        self.retries = retries
        self.decide = decide
        self.on_retry = on_retry or (lambda action, attempt, reason: None)
        self.handler_lost: str | None = None  # why the handler is taken for lost, once it is
        self._lost = threading.Event()
        # How long a request that found no handler waits for the handler watch's verdict (none without a watch).
        self.loss_verdict_seconds = 0.0
        self._local = threading.local()  # the action this thread executes: its completion bound

    # --- executing one action -------------------------------------------------------------------

    def execute(self, action: Any) -> None:
        """Runs `action.drive(self)` with its state, record and finish signal kept right. The action
        starts only once the run is not held (paused, or waiting for a decision). The finish signal is
        set in every case, after the outcome is recorded, so whatever waits on the action wakes to a run
        that already knows whether to go on: a skipped action releases what waits on it like a finished
        one."""
        try:
            if self.stopping.is_set() or not self.control.enter_action():
                self.on_end(action, "not_run", None)
                return
            try:
                self._run(action)
            finally:
                self.control.leave_action()
        finally:
            action.finish_signal.set()

    def _run(self, action: Any) -> None:
        from _vemoprimitives import VemoState

        action.state = VemoState.Executing
        self.on_start(action)
        self._local.expected = expected_seconds(action)
        self._local.module = _module_name(action)
        attempt = 1
        while True:
            self._start_completion_bound()
            try:
                action.drive(self)
                break
            except RunStopped:
                action.state = VemoState.Error
                self.on_end(action, "interrupted", None)
                return
            except Exception as error:
                if self.stopping.is_set() and not isinstance(error, HandlerLost):
                    # Ended by the stop, not by a fault of its own.
                    action.state = VemoState.Error
                    self.on_end(action, "interrupted", None)
                    return
                reason = str(error) if isinstance(error, ActionFailed) else f"{type(error).__name__}: {error}"
                text = _failure_text(action, reason)
                decision, text = self._after_failure(action, text, attempt)
                if decision == "retry":
                    # The attempt is journaled when it is made: not before a pause or an interlock that
                    # holds the run lets the module move again.
                    if not self.control.wait_resumed():
                        action.state = VemoState.Error
                        self.on_end(action, "interrupted", None)
                        return
                    attempt += 1
                    self.on_retry(action, attempt, text)
                    continue
                action.state = VemoState.Error
                if decision == "skip":
                    self.on_end(action, "skipped", text)
                    return
                self.control.begin_stop("handler_lost" if self.handler_lost is not None else "failure")
                self.stopping.set()
                self.on_end(action, "error", text)
                raise ActionFailed(text) from error
        action.state = VemoState.Finished
        self.on_end(action, "finished", None)

    def _start_completion_bound(self) -> None:
        """The time by which the action this thread executes must be complete, counted from now: from
        the start of each attempt, and again when a motion that a pause interrupted is sent anew."""
        expected = getattr(self._local, "expected", None)
        self._local.deadline = None if expected is None else \
            time.monotonic() + 2 * expected / self.time_factor + COMPLETION_MARGIN_SECONDS

    def _after_failure(self, action: Any, text: str, attempt: int) -> tuple[str, str]:
        """("retry", "skip" or "abort", the failure's text) for an action whose attempt number `attempt`
        just failed. A lost handler is not tried again. A run stopped while it waited for the answer, or
        an answer that cannot be had, aborts: the run must not hang on a module that waits for nobody."""
        if self.handler_lost is not None:
            return "abort", text
        if attempt <= self.retries:
            return "retry", text
        if self.decide is None:
            return "abort", text
        try:
            decision = self.decide({"module": _module_name(action), "action": describe_action(action),
                                    "location": getattr(action, "origin", None), "reason": text,
                                    "attempts": attempt})
        except Exception as error:
            return "abort", f"{text}; no decision could be had: {type(error).__name__}: {error}"
        if self.stopping.is_set() or decision not in DECISIONS:
            return "abort", text
        return decision, text

    def begin_recovery(self) -> None:
        """Lets actions run again after the run stopped on a failure, for its except blocks: a failure
        there is not tried again and asks nothing, it ends the recovery."""
        self.retries, self.decide = 0, None
        self.stopping.clear()

    # --- handler commands -----------------------------------------------------------------------

    def lose_handler(self, reason: str) -> None:
        """Takes the handler for lost: every wait on it in progress ends now and its action fails with
        `reason`, and so does every later request that finds no handler."""
        self.handler_lost = reason
        self._lost.set()
        self.client.cancel_waits()

    def _await_loss_verdict(self) -> None:
        """A request found no handler: the watch decides within its probe cycle whether the handler is gone,
        and if it is, the action fails for the loss like every other action waiting on the handler, rather
        than for a connection failure of its own that happened to come first."""
        deadline = time.monotonic() + self.loss_verdict_seconds
        while not self.stopping.is_set() and not self._lost.wait(min(0.1, max(deadline - time.monotonic(), 0.0))):
            if time.monotonic() >= deadline:
                return

    def _check(self, result: Any, what: str, detail: str = "") -> None:
        if result == 1 and not isinstance(result, bool):
            return
        if result == -3 and self.handler_lost is None:
            self._await_loss_verdict()
        if self.handler_lost is not None:
            raise HandlerLost(f"{what}: {self.handler_lost}" if what else self.handler_lost)
        if self.stopping.is_set():
            raise RunStopped()
        if isinstance(result, list):
            meaning = "the handler published no result for it"
        else:
            meaning = {0: "the handler refused it or reported it failed", -2: "invalid request for this module",
                       -3: "the handler server cannot be reached"}.get(result, "unexpected result")
            meaning += f" (result {result})"
        if detail:
            meaning += f"; {detail}"
        raise ActionFailed(f"{what}: {meaning}" if what else meaning)

    def _built(self, request: Any, what: str) -> Any:
        if isinstance(request, int):
            raise ActionFailed(f"{what}: the handler client cannot build the request (result {request})" if what
                               else f"the handler client cannot build the request (result {request})")
        return request

    def _drive(self, build: Callable[[], list], what: str, axes: Sequence[int] = ()) -> None:
        """Sends the requests `build()` gives and waits for the published result of the last one. A
        motion that an immediate pause stopped is built and sent again, to the same targets, once the
        run is resumed.

        The awaited identifier gets a suffix ".N." with N counting the process's awaited requests. The
        client's identifiers repeat every 1000 requests, and a result published for an earlier request
        with the same identifier (still in flight after a stop, or re-sent by a server to a subscriber)
        must not end this wait; with N no two awaited identifiers of a run are equal. The closing dot
        keeps the identifier from being the prefix of another (…-12.7. of …-12.70.), since topics
        match by prefix. Nothing depends on the target, so the other requests keep their identifiers."""
        while True:
            with self.control.motion(tuple(axes), getattr(self._local, "module", None)) as motion:
                requests = build()
                target = requests[-1]
                target.cmd_id = f"{target.cmd_id}.{next(_awaited_serial)}."
                deadline = getattr(self._local, "deadline", None)
                if deadline is None:
                    result = self.client.receive_dequeue_action(requests, target.cmd_id, [target.cmd_id])
                else:
                    result = self.client.receive_dequeue_action(requests, target.cmd_id, [target.cmd_id],
                                                                timeout=max(deadline - time.monotonic(), 0.0))
            if result == 1 and not isinstance(result, bool) or not motion.interrupted or self.stopping.is_set() \
                    or self.handler_lost is not None:
                break
            if not self.control.wait_resumed():
                raise RunStopped()
            self._start_completion_bound()
        if isinstance(result, list) and deadline is not None and time.monotonic() >= deadline \
                and self.handler_lost is None and not self.stopping.is_set():
            for axis in axes:
                self.client.motor_stop(axis)  # whatever the axis is doing, it is not what was asked
            expected = self._local.expected / self.time_factor
            bound = f"{2 * expected + COMPLETION_MARGIN_SECONDS:.1f} s (twice the expected {expected:.2f} s plus " \
                    f"{COMPLETION_MARGIN_SECONDS:g} s)"
            raise ActionFailed(f"{what}: its completion did not arrive within {bound}" if what
                               else f"its completion did not arrive within {bound}")
        detail = self._error_states(axes) if result == 0 and axes and not self.stopping.is_set() else ""
        self._check(result, what, detail)

    def _error_states(self, axes: Sequence[int]) -> str:
        """The axes' own error codes after a failed motion, as the handler reports them (the codes are
        the handler's: on the simulator 1 is a target beyond the travel, 2 disabled, 3 not homed)."""
        states = []
        for axis in axes:
            code = self.client.get_logger(axis, ERROR_STATE_INDEX)
            if isinstance(code, str) and code.strip() not in ("", "0"):
                states.append(f"axis {axis} reports error state {code.strip()}")
        return ", ".join(states)

    def move_axes(self, targets: Sequence[tuple[int, float]], speed: float = -1, acceleration: float = -1,
                  what: str = "") -> None:
        """Moves the axes to their targets together and returns once every axis has stopped at its
        target (end-of-motion condition, then a position check, per axis)."""
        client = self.client

        def build() -> list:
            requests, checks = [], []
            for kinra_id, target in targets:
                motion = self._built(client.motor_ptp(kinra_id, target, speed, acceleration, acceleration,
                                                      return_action=True), what)
                ended = self._built(client.generate_condition(
                    kinra_id, condition_type_name="KONRA_ID_SLAVE_STATUS_CONDITION", arg_list=["END_MOVING"],
                    dep_list=[motion.cmd_id]), what)
                there = self._built(client.generate_condition(
                    kinra_id, condition_type_name="KINRA_ID_POS_CONDITION",
                    arg_list=["POS_NEAR", target, POSITION_TOLERANCE], dep_list=[ended.cmd_id]), what)
                requests += [motion, ended, there]
                checks.append(there)
            return requests + self._gather(checks, what)

        self._drive(build, what, [kinra_id for kinra_id, _ in targets])

    def home_axes(self, axes: Sequence[int], what: str = "") -> None:
        """Homes the axes together and returns once every one has reported the end of its homing."""
        client = self.client

        def build() -> list:
            requests, checks = [], []
            for kinra_id in axes:
                homing = self._built(client.motor_home(kinra_id, return_action=True), what)
                ended = self._built(client.generate_condition(
                    kinra_id, condition_type_name="KONRA_ID_SLAVE_STATUS_CONDITION", arg_list=["END_HOMING"],
                    dep_list=[homing.cmd_id]), what)
                requests += [homing, ended]
                checks.append(ended)
            return requests + self._gather(checks, what)

        self._drive(build, what, list(axes))

    def _gather(self, checks: list, what: str = "") -> list:
        """A blank condition over several axes' checks, so that one published result ends the wait."""
        if len(checks) == 1:
            return []
        # A request carries at most four dependencies; chain the blank conditions beyond that.
        gathered = []
        pending = [check.cmd_id for check in checks]
        while len(pending) > 1:
            blank = self._built(self.client.generate_condition(0, BLANK_CONDITION, dep_list=pending[:4]), what)
            gathered.append(blank)
            pending = [blank.cmd_id] + pending[4:]
        return gathered

    def set_output(self, kinra_id: int, pin: int, value: int, what: str = "") -> None:
        """Sets one output and returns once the handler reports it written."""
        self._drive(lambda: [self._built(self.client.io_set(kinra_id, pin, value, return_action=True), what)], what)

    def dwell(self, seconds: float) -> None:
        """Holds still for `seconds` of run time; an immediate pause suspends it and it goes on with the
        time left on resume; a stop of the run ends it early."""
        if not self.control.sleep(seconds / self.time_factor):
            raise RunStopped()

    def wait_input(self, kinra_id: int, pin: int, level: bool, limit: float | None, late: str) -> None:
        """Returns once an input is at `level`; past `limit` seconds of run time fails with `late`."""
        from vemo.run.sensing import wait_for_input  # which imports this module

        wait_for_input(self, kinra_id, pin, level, limit, late, _awaited_serial)

    def stop_motion(self) -> list[int]:
        """Stops every axis that has a motion in flight, so that waits on those motions end. Returns them."""
        axes = self.control.moving_axes()
        for axis in axes:
            self.client.motor_stop(axis)
        return axes


def _module_name(action: Any) -> str:
    return getattr(action.module, "name", None) or getattr(action.module, "__name__", "?")


def describe_action(action: Any) -> str:
    describe = getattr(action, "describe", None)
    return describe() if describe is not None else str(action)


def _failure_text(action: Any, reason: str) -> str:
    origin = getattr(action, "origin", None)
    return f"{_module_name(action)}: {describe_action(action)}{f' ({origin})' if origin else ''} failed: {reason}"
