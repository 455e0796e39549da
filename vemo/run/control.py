"""Control of a live run: its state, the gate that module threads pass between actions, pauses, interlock
holds and decisions on failures; what the control socket (controlsocket.py) and the terminal keys call.
The states and their transitions are those of vemo.run.states, the commands those of vemo.run.commands."""

from __future__ import annotations

import contextlib
import threading
import time
from typing import Any, Callable, Iterator

from vemo.run import commands as table
from vemo.run.commands import DECISIONS, UnknownRequest
from vemo.run.states import PACKML, RUNNING, STOP_CAUSES, check_transition, run_state
from vemo.run.who import BadBy, checked as checked_by

COMMANDS = tuple(table.FIELDS)
# How long `input` waits for the interlock watch to read an interlock input it has just set, so that its
# answer tells the state the change put the run in (the watch reads every 20 ms; this leaves room for a
# busy machine).
INPUT_SETTLE_SECONDS = 1.0


class Refused(Exception):
    """A command that does not apply in the run's current state; the message says why."""


class _StopSignal(threading.Event):
    """The run's stop signal: an event that tells the control when it is set (the run stops; a failure
    unless a cause was given first) and cleared (the except blocks begin), and wakes every wait of it."""

    def __init__(self, on_set: Callable[[], None], on_clear: Callable[[], None]) -> None:
        super().__init__()
        self._on_set, self._on_clear = on_set, on_clear

    def set(self) -> None:
        super().set()
        self._on_set()

    def clear(self) -> None:
        super().clear()
        self._on_clear()


class Motion:
    """Axes with a motion in flight, of `module`; `interrupted` once an immediate pause has stopped them."""

    def __init__(self, axes: tuple[int, ...], module: str | None = None) -> None:
        self.axes = axes
        self.module = module
        self.interrupted = False


class RunControl:
    """The state of a live run and every way to change it. Module threads call `enter_action` before an
    action and `leave_action` after it, `motion` around a motion and `sleep` for a dwell; the control
    socket, the terminal keys and the interlock watch call the commands. All waits are on one condition
    variable: a held module sleeps until something changes, and uses no CPU meanwhile.

    Every change of the run's state goes through `_settle`, which checks it against the table of legal
    transitions and journals it once, as it happens.

    `journal(event, **fields)` writes the run's journal; `stop_axis(axis)` stops one axis (the handler
    client's motor_stop); `set_input(kinra_id, pin, value)` sets a simulated input, None when the run
    drives a real handler; `modules()` gives the per-module part of the status."""

    def __init__(self, *, journal: Callable[..., Any] | None = None,
                 stop_axis: Callable[[int], Any] | None = None,
                 set_input: Callable[[int, int, bool], None] | None = None,
                 inputs: dict[tuple[str, str], tuple[int, int]] | None = None,
                 interlocks: tuple = (),
                 modules: Callable[[], dict] | None = None,
                 progress: Callable[[], dict] | None = None,
                 end_after_round: Callable[[dict | None], None] | None = None) -> None:
        self._changed = threading.Condition()
        self._journal = journal or (lambda event, **fields: None)
        self.stop_axis = stop_axis
        self._set_input = set_input
        self._inputs = inputs or {}
        self._interlocks = {interlock.name: interlock for interlock in interlocks}
        self._modules = modules or dict
        self._progress = progress or dict  # `progress` and `remaining_s` of the status, from the run's fold
        # Ends the run's loops after their current round (the run's feed); None when the script has none.
        self._end_after_round = end_after_round
        self.loops = end_after_round is not None
        self.stopping = _StopSignal(lambda: self.begin_stop("failure"), self._stop_cleared)
        self.stop_requested = threading.Event()  # the operator's stop, which the run's main thread carries out
        self.stop_cause: str | None = None  # why the run stops, once it does
        self._ended = False
        self._pause: dict | None = None  # {"mode", "causes", "auto"} while a pause or an interlock holds the run
        self._decision: dict | None = None  # {"failure", "answer"} while a failure waits for one
        self._decision_lock = threading.Lock()  # one failure at a time waits for its decision
        self._tripped: set[str] = set()
        self._active: set[int] = set()  # threads inside an action and not held there
        self._motions: list[Motion] = []
        self._last = RUNNING  # the state last settled

    # --- state ----------------------------------------------------------------------------------

    @property
    def state(self) -> str:
        with self._changed:
            return self._state()

    def _state(self) -> str:
        return run_state(started=True, ended=self._ended,
                         stopping=self.stop_cause is not None or self.stopping.is_set() or self.stop_requested.is_set(),
                         decision=self._decision is not None, pause=self._pause,
                         in_flight=self._pause is not None and self._pause["mode"] == "deferred" and bool(self._active))

    def _settle(self, event: str | None = None, *, journal: bool = True, **fields: Any) -> None:
        """Takes the state the last change put the run in: checks that the transition is legal and, when
        the state did change, journals `event` with `fields` (unless the caller journals it itself)."""
        state = self._state()
        if state == self._last:
            return
        check_transition(self._last, state, event)
        self._last = state
        if event is not None and journal:
            self._journal(event, **fields)
        self._changed.notify_all()

    def _wake(self) -> None:
        with self._changed:
            self._changed.notify_all()

    def _holding(self) -> bool:
        return self._pause is not None or self._decision is not None

    def _stopped(self) -> bool:
        return self.stopping.is_set() or self._ended

    def _pause_fields(self) -> dict:
        causes = self._pause["causes"]
        return {"mode": self._pause["mode"], "cause": "operator" if "operator" in causes else sorted(causes)[0]}

    def ended(self) -> None:
        """The run is over: every command is refused from now on and every wait ends. The run journals
        its run_ended itself, with its exit code."""
        with self._changed:
            self._ended = True
            self._settle("run_ended", journal=False)
            self._changed.notify_all()

    def status(self) -> dict:
        with self._changed:
            state = self._state()
            status = {"state": state, "pause": None if self._pause is None else self._pause_fields(),
                      "decision": None if self._decision is None else self._decision["failure"],
                      "interlocks": {name: "tripped" if name in self._tripped else "safe" for name in self._interlocks},
                      "commands": table.applicable(state, sorted(self._tripped), self.loops),
                      "packml": {"state": PACKML[state].number, "name": PACKML[state].name}}
        status.update(self._progress())
        status["modules"] = self._modules()
        return status

    # --- what module threads call ---------------------------------------------------------------

    def enter_action(self) -> bool:
        """Waits at the boundary before an action while the run is held; False when the run stops."""
        with self._changed:
            while self._holding() and not self._stopped():
                self._changed.wait()
            if self._stopped():
                return False
            self._active.add(threading.get_ident())
            return True

    def leave_action(self) -> None:
        with self._changed:
            self._active.discard(threading.get_ident())
            self._settle()
            self._changed.notify_all()

    @contextlib.contextmanager
    def _held(self) -> Iterator[None]:
        """The calling module counts as held (not moving anything) inside the block."""
        me = threading.get_ident()
        was_active = me in self._active
        self._active.discard(me)
        self._settle()
        self._changed.notify_all()
        try:
            yield
        finally:
            if was_active:
                self._active.add(me)

    def _paused_now(self) -> bool:
        return self._pause is not None and self._pause["mode"] == "immediate"

    def _wait_while_paused_now(self) -> bool:
        with self._held():
            while self._paused_now() and not self._stopped():
                self._changed.wait()
        return not self._stopped()

    @contextlib.contextmanager
    def motion(self, axes: tuple[int, ...], module: str | None = None) -> Iterator[Motion]:
        """Registers a motion of `axes` (of `module`) for its whole flight, so that an immediate pause or a
        stop can halt it. A motion is not started while an immediate pause holds the run."""
        record = Motion(tuple(axes), module)
        with self._changed:
            if axes:
                self._wait_while_paused_now()
            self._motions.append(record)
        try:
            yield record
        finally:
            with self._changed:
                self._motions.remove(record)

    def moving_axes(self) -> list[int]:
        with self._changed:
            return sorted({axis for motion in self._motions for axis in motion.axes})

    def paused_now(self) -> bool:
        """Whether an immediate pause holds the run."""
        with self._changed:
            return self._paused_now()

    def wait_resumed(self) -> bool:
        """Holds the module while an immediate pause holds the run (after it interrupted a motion, and
        before a new attempt at a failed action). False when the run stops meanwhile."""
        with self._changed:
            return self._wait_while_paused_now()

    def sleep(self, seconds: float) -> bool:
        """Waits `seconds` of run time: an immediate pause suspends the count, which goes on with the
        time left on resume. False when the run stops first."""
        left = seconds
        with self._changed:
            while not self._stopped():
                if self._paused_now():
                    self._wait_while_paused_now()
                    continue
                if left <= 0:
                    return True
                started = time.monotonic()
                self._changed.wait(left)
                left -= time.monotonic() - started
        return False

    def hold_for_decision(self, failure: dict) -> str:
        """Called by the module whose action failed: holds the other modules at their next boundary and
        waits for the operator's answer. Returns "retry", "skip" or "abort" ("abort" when the run stops).
        An interlock that trips meanwhile keeps the decision pending; answering retry or skip with every
        interlock safe is the operator's go-ahead after it too. A pause of the operator's own holds on."""
        with self._decision_lock, self._changed:
            if self._stopped() or self.stop_requested.is_set():
                return "abort"
            self._decision = {"failure": failure, "answer": None, "by": None}
            self._settle("paused", mode="deferred", cause="failure", failure=failure)
            with self._held():
                while self._decision["answer"] is None and not self._stopped() and not self.stop_requested.is_set():
                    self._changed.wait()
            answer = self._decision["answer"] or "abort"
            by = self._decision["by"]
            if answer == "abort":
                self.stop_cause = self.stop_cause or "abort"
                self._decision = None
                self._settle("stopping", cause=self.stop_cause, **({"by": by} if by else {}))
            else:
                if self._pause is not None and "operator" not in self._pause["causes"] and not self._tripped:
                    self._pause = None  # an interlock that held the run meanwhile is safe again
                self._decision = None
                if self._pause is None:
                    self._settle("resumed", cause="operator", **({"by": by} if by else {}))
                else:
                    self._settle("paused", **self._pause_fields())
            self._changed.notify_all()
            return answer

    def begin_stop(self, cause: str, by: dict | None = None) -> None:
        """The run stops (operator, abort, failure, signal, handler_lost, journal): journaled once, with
        the first cause and who stopped it (`by`). A cause not in the table of causes is a fault of the
        program: ValueError."""
        if cause not in STOP_CAUSES:
            raise ValueError(f"{cause!r} is no cause of a stop (see vemo.run.states.STOP_CAUSES)")
        with self._changed:
            if self._ended:
                return
            if self.stop_cause is None:
                self.stop_cause = cause
            self._settle("stopping", cause=self.stop_cause, **({"by": by} if by else {}))
            self._changed.notify_all()

    def _stop_cleared(self) -> None:
        """The run that stopped on a failure goes on with its except blocks; the run journals their
        recovery_started itself, with the block."""
        with self._changed:
            self.stop_cause = None
            self._settle("recovery_started", journal=False)

    # --- commands -------------------------------------------------------------------------------

    def _check(self, command: str) -> None:
        """Refused unless `command` applies in the run's state now (vemo.run.commands)."""
        reason = table.refusal(table.BY_NAME[command], self._state(), sorted(self._tripped), self.loops)
        if reason is not None:
            raise Refused(reason)

    def pause(self, now: bool = False, cause: str = "operator", by: dict | None = None) -> None:
        with self._changed:
            self._check("pause-now" if now else "pause")
            mode = "immediate" if now else "deferred"
            if self._pause is None:
                self._pause = {"mode": mode, "causes": {cause}, "auto": False}
            else:
                self._pause["causes"].add(cause)
                self._pause["mode"] = mode
            self._settle("paused", mode=mode, cause=cause, **({"by": by} if by else {}))
            halted = self._interrupt_motions() if now else []
            self._changed.notify_all()
        self._stop_axes(halted)

    def _interrupt_motions(self) -> list[int]:
        for motion in self._motions:
            if motion.axes and not motion.interrupted:
                motion.interrupted = True
                self._journal("motion_interrupted", module=motion.module, axes=list(motion.axes))
        return sorted({axis for motion in self._motions for axis in motion.axes})

    def _stop_axes(self, axes: list[int]) -> None:
        if self.stop_axis is None:
            return
        for axis in axes:
            result = self.stop_axis(axis)
            if isinstance(result, int) and result != 1:
                # The axis may still be moving: the journal must say so, not only the terminal.
                self._journal("axis_stop_refused", axis=axis, result=result)

    def resume(self, by: dict | None = None) -> None:
        with self._changed:
            self._check("resume")
            self._pause = None
            self._settle("resumed", cause="operator", **({"by": by} if by else {}))

    def stop(self, by: dict | None = None) -> None:
        with self._changed:
            self._check("stop")
            self.stop_requested.set()
            self.begin_stop("operator", by)
            self._changed.notify_all()

    def stop_after_cycle(self, by: dict | None = None) -> None:
        """Lets every module finish the current iteration of its loop, then the run ends."""
        with self._changed:
            self._check("stop-after-cycle")
        self._end_after_round(by)

    def decide(self, answer: str, by: dict | None = None) -> None:
        with self._changed:
            self._check(answer)
            if self._decision["answer"] is not None:
                raise Refused(f"the decision was already answered ({self._decision['answer']})")
            failure = self._decision["failure"]
            self._journal("decided", answer=answer, module=failure.get("module"), text=failure.get("action"),
                          location=failure.get("location"), **({"by": by} if by else {}))
            self._decision["answer"], self._decision["by"] = answer, by
            self._changed.notify_all()

    def set_input(self, module: str, point: str, value: bool, by: dict | None = None) -> None:
        with self._changed:
            self._check("input")
        if self._set_input is None:
            raise Refused("input sets inputs of the embedded simulator; this run drives a handler server")
        where = self._inputs.get((module, point))
        if where is None:
            known = ", ".join(f"{m} {p}" for m, p in self._inputs) or "none"
            raise Refused(f"{module} has no input {point} in the cell (inputs: {known})")
        try:
            self._set_input(*where, value)
        except Exception as error:  # the simulator's refusal or a lost simulator, told to the operator
            raise Refused(f"the simulator did not set {module} {point}: {error}") from None
        self._journal("input_set", module=module, point=point, value="on" if value else "off",
                      **({"by": by} if by else {}))
        self._await_interlocks(module, point, value)

    def _await_interlocks(self, module: str, point: str, value: bool) -> None:
        """Waits, bounded, until the interlock watch has read an interlock input just set, so that the
        answer to `input` tells the state the run is in after the change, not before it."""
        expected = {name: value == interlock.safe for name, interlock in self._interlocks.items()
                    if (interlock.module, interlock.input) == (module, point)}
        deadline = time.monotonic() + INPUT_SETTLE_SECONDS
        with self._changed:
            while any((name not in self._tripped) != safe for name, safe in expected.items()) and not self._ended:
                left = deadline - time.monotonic()
                if left <= 0:
                    return
                self._changed.wait(left)

    # --- interlocks -----------------------------------------------------------------------------

    def interlock_changed(self, name: str, safe: bool, **details: Any) -> None:
        """What the interlock watch reports: the input of interlock `name` is (not) at its safe level. A
        trip holds the run at once (over a pause or a pending decision, which it keeps); once every
        interlock is safe, the run goes on by itself only if the hold was the interlocks' alone and each
        that tripped says resume: auto."""
        interlock = self._interlocks[name]
        halted: list[int] = []
        with self._changed:
            if self._ended:
                return
            if not safe and name not in self._tripped:
                self._tripped.add(name)
                self._journal("interlock_tripped", name=name, module=interlock.module, input=interlock.input,
                              **details)
                if self._pause is None:
                    self._pause = {"mode": "immediate", "causes": {"interlock"}, "auto": interlock.auto_resume}
                else:
                    self._pause["mode"] = "immediate"
                    self._pause["auto"] = self._pause["auto"] and interlock.auto_resume \
                        if "interlock" in self._pause["causes"] else interlock.auto_resume
                    self._pause["causes"].add("interlock")
                if not self._stopped():
                    self._settle("paused", mode="immediate", cause="interlock",
                                 by={"channel": "interlock", "name": name})
                halted = self._interrupt_motions()
                self._changed.notify_all()
            elif safe and name in self._tripped:
                self._tripped.discard(name)
                self._journal("interlock_cleared", name=name, module=interlock.module, input=interlock.input,
                              **details)
                if not self._tripped and self._pause is not None and self._pause["causes"] == {"interlock"} \
                        and self._pause["auto"] and not self._stopped():
                    self._pause = None
                    self._settle("resumed", cause="interlock", by={"channel": "interlock", "name": name})
                self._changed.notify_all()
        self._stop_axes(halted)

    def tripped(self) -> list[str]:
        with self._changed:
            return sorted(self._tripped)

    # --- requests from the socket and the keys --------------------------------------------------

    def handle(self, request: Any) -> dict:
        """The answer to one control request (see vemo.run.commands); never raises for a bad request."""
        try:
            return {"ok": True, **self._handle(request)}
        except Refused as refusal:
            with self._changed:
                state = self._state()
                return {"ok": False, "error": str(refusal), "state": state,
                        "commands": table.applicable(state, sorted(self._tripped), self.loops)}

    def _handle(self, request: Any) -> dict:
        if not isinstance(request, dict):
            raise Refused("a request is a JSON object with a \"command\"")
        try:
            command = table.find(request)
        except UnknownRequest as error:
            raise Refused(str(error)) from None
        if command.name == "status":
            return self.status()
        try:
            by = checked_by(request.get("by"))
        except BadBy as error:
            raise Refused(str(error)) from None
        if command.name in ("pause", "pause-now"):
            self.pause(now=command.name == "pause-now", by=by)
        elif command.name == "resume":
            self.resume(by)
        elif command.name == "stop":
            self.stop(by)
        elif command.name == "stop-after-cycle":
            self.stop_after_cycle(by)
        elif command.name in DECISIONS:
            self.decide(command.name, by)
        else:
            module, point, value = (request.get(key) for key in ("module", "point", "value"))
            if not isinstance(module, str) or not isinstance(point, str) or value not in ("on", "off"):
                raise Refused("input needs \"module\", \"point\" and \"value\" on or off")
            self.set_input(module, point, value == "on", by)
        with self._changed:
            state = self._state()
            return {"state": state, "commands": table.applicable(state, sorted(self._tripped), self.loops)}
