"""Control of a live run: its state, the gate that module threads pass between actions, pauses, interlock
holds and decisions on failures; what the control socket (controlsocket.py) and the terminal keys call."""

from __future__ import annotations

import contextlib
import threading
import time
from typing import Any, Callable, Iterator

RUNNING, PAUSING, PAUSED, WAITING_DECISION, STOPPING, ENDED = (
    "running", "pausing", "paused", "waiting_decision", "stopping", "ended")
DECISIONS = ("retry", "skip", "abort")
COMMANDS = ("status", "pause", "resume", "stop", *DECISIONS, "input")


class Refused(Exception):
    """A command that does not apply in the run's current state; the message says why."""


class _StopSignal(threading.Event):
    """The run's stop signal: an event that also wakes every wait of the control when it is set."""

    def __init__(self, on_set: Callable[[], None]) -> None:
        super().__init__()
        self._on_set = on_set

    def set(self) -> None:
        super().set()
        self._on_set()


class Motion:
    """Axes with a motion in flight; `interrupted` once an immediate pause has stopped them."""

    def __init__(self, axes: tuple[int, ...]) -> None:
        self.axes = axes
        self.interrupted = False


class RunControl:
    """The state of a live run and every way to change it. Module threads call `enter_action` before an
    action and `leave_action` after it, `motion` around a motion and `sleep` for a dwell; the control
    socket, the terminal keys and the interlock watch call the commands. All waits are on one condition
    variable: a held module sleeps until something changes, and uses no CPU meanwhile.

    `journal(event, **fields)` writes the run's journal; `stop_axis(axis)` stops one axis (the handler
    client's motor_stop); `set_input(kinra_id, pin, value)` sets a simulated input, None when the run
    drives a real handler; `modules()` gives the per-module part of the status."""

    def __init__(self, *, journal: Callable[..., Any] | None = None,
                 stop_axis: Callable[[int], Any] | None = None,
                 set_input: Callable[[int, int, bool], None] | None = None,
                 inputs: dict[tuple[str, str], tuple[int, int]] | None = None,
                 interlocks: tuple = (),
                 modules: Callable[[], dict] | None = None) -> None:
        self._changed = threading.Condition()
        self._journal = journal or (lambda event, **fields: None)
        self.stop_axis = stop_axis
        self._set_input = set_input
        self._inputs = inputs or {}
        self._interlocks = {interlock.name: interlock for interlock in interlocks}
        self._modules = modules or dict
        self.stopping = _StopSignal(self._wake)
        self.stop_requested = threading.Event()
        self._ended = False
        self._pause: dict | None = None  # {"mode", "cause", "auto"} while paused
        self._decision: dict | None = None  # {"failure", "answer"} while a failure waits for one
        self._decision_lock = threading.Lock()  # one failure at a time waits for its decision
        self._tripped: set[str] = set()
        self._active: set[int] = set()  # threads inside an action and not held there
        self._motions: list[Motion] = []

    # --- state ----------------------------------------------------------------------------------

    @property
    def state(self) -> str:
        with self._changed:
            return self._state()

    def _state(self) -> str:
        if self._ended:
            return ENDED
        if self.stopping.is_set() or self.stop_requested.is_set():
            return STOPPING
        if self._decision is not None:
            return WAITING_DECISION
        if self._pause is not None:
            return PAUSED if not self._active else PAUSING
        return RUNNING

    def _wake(self) -> None:
        with self._changed:
            self._changed.notify_all()

    def _holding(self) -> bool:
        return self._pause is not None or self._decision is not None

    def _stopped(self) -> bool:
        return self.stopping.is_set() or self._ended

    def ended(self) -> None:
        """The run is over: every command is refused from now on and every wait ends."""
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    def status(self) -> dict:
        with self._changed:
            status = {"state": self._state(),
                      "pause": None if self._pause is None else {k: self._pause[k] for k in ("mode", "cause")},
                      "decision": None if self._decision is None else self._decision["failure"],
                      "interlocks": {name: "tripped" if name in self._tripped else "safe" for name in self._interlocks}}
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
            self._changed.notify_all()

    @contextlib.contextmanager
    def _held(self) -> Iterator[None]:
        """The calling module counts as held (not moving anything) inside the block."""
        me = threading.get_ident()
        was_active = me in self._active
        self._active.discard(me)
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
    def motion(self, axes: tuple[int, ...]) -> Iterator[Motion]:
        """Registers a motion of `axes` for its whole flight, so that an immediate pause or a stop can
        halt it. A motion is not started while an immediate pause holds the run."""
        record = Motion(tuple(axes))
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

    def wait_resumed(self) -> bool:
        """After an immediate pause interrupted a motion: holds the module until the run is resumed.
        False when the run stops meanwhile."""
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
        waits for the operator's answer. Returns "retry", "skip" or "abort" ("abort" when the run stops)."""
        with self._decision_lock, self._changed:
            if self._stopped() or self.stop_requested.is_set():
                return "abort"
            self._decision = {"failure": failure, "answer": None}
            self._journal("paused", mode="deferred", cause="failure", failure=failure)
            with self._held():
                while self._decision["answer"] is None and not self._stopped() and not self.stop_requested.is_set():
                    self._changed.wait()
            answer = self._decision["answer"] or "abort"
            self._decision = None
            if answer != "abort" and self._pause is None:
                self._journal("resumed", cause="operator")
            self._changed.notify_all()
            return answer

    # --- commands -------------------------------------------------------------------------------

    def _refuse_unless_live(self) -> None:
        state = self._state()
        if state == ENDED:
            raise Refused("the run has ended")
        if state == STOPPING:
            raise Refused("the run is stopping")

    def pause(self, now: bool = False, cause: str = "operator") -> None:
        with self._changed:
            self._refuse_unless_live()
            state = self._state()
            if state == WAITING_DECISION:
                raise Refused("the run waits for a decision on a failure: retry, skip or abort")
            if state == PAUSED or (state == PAUSING and not now):
                raise Refused(f"the run is already {state}")
            self._pause = {"mode": "immediate" if now else "deferred", "cause": cause, "auto": False}
            self._journal("paused", mode=self._pause["mode"], cause=cause)
            halted = self._interrupt_motions() if now else []
            self._changed.notify_all()
        self._stop_axes(halted)

    def _interrupt_motions(self) -> list[int]:
        for motion in self._motions:
            if motion.axes:
                motion.interrupted = True
        return sorted({axis for motion in self._motions for axis in motion.axes})

    def _stop_axes(self, axes: list[int]) -> None:
        if self.stop_axis is None:
            return
        for axis in axes:
            result = self.stop_axis(axis)
            if isinstance(result, int) and result != 1:
                # The axis may still be moving: the journal must say so, not only the terminal.
                self._journal("axis_stop_refused", axis=axis, result=result)

    def resume(self) -> None:
        with self._changed:
            self._refuse_unless_live()
            state = self._state()
            if state == WAITING_DECISION:
                raise Refused("the run waits for a decision on a failure: retry, skip or abort")
            if state == RUNNING:
                raise Refused("the run is not paused")
            if self._tripped:
                raise Refused(f"interlock {', '.join(sorted(self._tripped))} is not safe: "
                              f"resume once it is safe again")
            self._resume("operator")

    def _resume(self, cause: str) -> None:
        self._pause = None
        self._journal("resumed", cause=cause)
        self._changed.notify_all()

    def stop(self) -> None:
        with self._changed:
            self._refuse_unless_live()
            self.stop_requested.set()
            self._changed.notify_all()

    def decide(self, answer: str) -> None:
        with self._changed:
            self._refuse_unless_live()
            if self._decision is None or self._decision["answer"] is not None:
                raise Refused(f"no failure waits for a decision: {answer} applies only then")
            self._decision["answer"] = answer
            self._changed.notify_all()

    def set_input(self, module: str, point: str, value: bool) -> None:
        with self._changed:
            self._refuse_unless_live()
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

    # --- interlocks -----------------------------------------------------------------------------

    def interlock_changed(self, name: str, safe: bool, **details: Any) -> None:
        """What the interlock watch reports: the input of interlock `name` is (not) at its safe level."""
        interlock = self._interlocks[name]
        halted: list[int] = []
        with self._changed:
            if self._ended:
                return
            if not safe and name not in self._tripped:
                self._tripped.add(name)
                self._journal("interlock_tripped", name=name, module=interlock.module, input=interlock.input,
                              **details)
                if self._pause is None or self._pause["mode"] != "immediate" or self._pause["cause"] != "interlock":
                    self._pause = {"mode": "immediate", "cause": "interlock", "auto": interlock.auto_resume}
                    self._journal("paused", mode="immediate", cause="interlock")
                else:
                    self._pause["auto"] = self._pause["auto"] and interlock.auto_resume
                halted = self._interrupt_motions()
                self._changed.notify_all()
            elif safe and name in self._tripped:
                self._tripped.discard(name)
                self._journal("interlock_cleared", name=name, module=interlock.module, input=interlock.input,
                              **details)
                if not self._tripped and self._pause is not None and self._pause["cause"] == "interlock" \
                        and self._pause["auto"] and not self._stopped():
                    self._resume("interlock")
                self._changed.notify_all()
        self._stop_axes(halted)

    def tripped(self) -> list[str]:
        with self._changed:
            return sorted(self._tripped)

    # --- requests from the socket and the keys --------------------------------------------------

    def handle(self, request: Any) -> dict:
        """The answer to one control request (see `COMMANDS`); never raises for a bad request."""
        try:
            return {"ok": True, **self._handle(request)}
        except Refused as refusal:
            return {"ok": False, "error": str(refusal)}

    def _handle(self, request: Any) -> dict:
        if not isinstance(request, dict):
            raise Refused("a request is a JSON object with a \"command\"")
        command = request.get("command")
        if command not in COMMANDS:
            raise Refused(f"unknown command {command!r}: one of {', '.join(COMMANDS)}")
        allowed = {"command"} | {"pause": {"now"}, "input": {"module", "point", "value"}}.get(command, set())
        unknown = set(request) - allowed
        if unknown:
            raise Refused(f"{command} takes no {', '.join(sorted(map(str, unknown)))}")
        if command == "status":
            return self.status()
        if command == "pause":
            now = request.get("now", False)
            if not isinstance(now, bool):
                raise Refused("\"now\" is true or false")
            self.pause(now=now)
        elif command == "resume":
            self.resume()
        elif command == "stop":
            self.stop()
        elif command in DECISIONS:
            self.decide(command)
        else:
            module, point, value = (request.get(key) for key in ("module", "point", "value"))
            if not isinstance(module, str) or not isinstance(point, str) or value not in ("on", "off"):
                raise Refused("input needs \"module\", \"point\" and \"value\" on or off")
            self.set_input(module, point, value == "on")
        return {"state": self.state}
