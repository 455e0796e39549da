"""The reference host's action kinds (the host module `actions`): IO switches, moves, tray transfers."""

from __future__ import annotations

from typing import Any

from _vemoaction import VemoAction
from _vemoprimitives import VemoState

from vemo.lang.grammar import LIMIT_UNITS
from vemo.cell.handlercommands import HandlerCommands, coordinates


def _spec(module: Any) -> Any:
    """The cell entry of a module kind built from a cell description; None for other hosts' kinds."""
    return getattr(module, "spec", None)


def _module_name(module: Any) -> str:
    return getattr(module, "name", None) or getattr(module, "__name__", str(module))


def _profile(spec: Any) -> tuple[float, float]:
    """Speed and acceleration of the cell's motion settings; -1 leaves the drive's own."""
    return (spec.motion.speed, spec.motion.acceleration) if spec.motion is not None else (-1, -1)


def _known(names: Any) -> str:
    return ", ".join(sorted(names)) or "none"


class HostAction(VemoAction):
    """Base of the reference host's actions.

    Every action accepts an `origin` setting, the script location it was written at, a `recovery`
    setting, the number of the except block of the innermost `try` around it, and a `loop` setting,
    [loop, round] when it belongs to a round built of an expanded loop. Keeping them among the settings
    means copies made while blocks are resolved and repeated carry them too.
    """

    verb = "action"

    def setup(self, origin: str | None = None, recovery: int | None = None, loop: list | None = None,
              **settings: Any) -> None:
        self.origin = origin
        self.recovery = recovery
        self.loop = loop
        self.settings = settings
        self.configure(**settings)

    def configure(self, **settings: Any) -> None:
        """Reads and checks the kind's own settings; the module-level settings are ignored here."""

    def target(self) -> str:
        return ""

    def describe(self) -> str:
        """How the action reads in a script."""
        return f"{self.verb} @{_module_name(self.module)} {self.target()}".rstrip()

    def estimate(self, position: float | None) -> tuple[float | None, float | None]:
        """(seconds the action takes or None if unknown, axis position afterwards) from `position`."""
        return None, position

    def execute(self) -> None:
        context = getattr(self.module, "run_context", None)
        if context is not None:
            context.execute(self)
            return
        self.state = VemoState.Executing
        self.state = VemoState.Finished
        self.finish_signal.set()

    def drive(self, context: HandlerCommands) -> None:
        """Carries the action out on the cell through the run context's handler client."""

    def _cell_entry(self) -> Any:
        spec = _spec(self.module)
        if spec is None:
            raise RuntimeError(f"{_module_name(self.module)} has no cell entry to drive it by")
        return spec


class IOAction(HostAction):
    """Switches one IO point of an IO module on or off."""

    verb = "set"

    def configure(self, io_id: str, status: Any, **settings: Any) -> None:
        spec = _spec(self.module)
        if spec is not None and io_id not in spec.points:
            raise ValueError(f"{spec.name} has no IO point {io_id!r} (known: {_known(spec.points)})")
        if status in ("on", 1) and not isinstance(status, bool):
            self.value = 1
        elif status in ("off", 0) and not isinstance(status, bool):
            self.value = 0
        else:
            raise ValueError(f"IO status must be on, off, 1 or 0, got {status!r}")
        self.io_id = io_id
        self.status = status

    def target(self) -> str:
        return f"{self.io_id} {'on' if self.value else 'off'}"

    def drive(self, context: HandlerCommands) -> None:
        spec = self._cell_entry()
        context.set_output(spec.handler_id, spec.points[self.io_id], self.value)

    def estimate(self, position: float | None) -> tuple[float | None, float | None]:
        spec = _spec(self.module)
        return (spec.switch_time if spec is not None else None), position


class Move(HostAction):
    """Moves an axis to one of its named positions."""

    verb = "move"

    def configure(self, position: str, **settings: Any) -> None:
        spec = _spec(self.module)
        if spec is not None and position not in spec.positions:
            raise ValueError(f"{spec.name} has no position {position!r} (known: {_known(spec.positions)})")
        self.position = position

    def target(self) -> str:
        return f"to {self.position}"

    def destination(self) -> float | None:
        spec = _spec(self.module)
        return spec.positions[self.position] if spec is not None else None

    def drive(self, context: HandlerCommands) -> None:
        spec = self._cell_entry()
        context.move_axes(coordinates(spec, self.destination()), *_profile(spec))

    def estimate(self, position: float | None) -> tuple[float | None, float | None]:
        spec = _spec(self.module)
        goal = self.destination()
        if spec is None or spec.motion is None or goal is None:
            return None, goal
        start = spec.home if position is None else position
        return spec.motion.travel(start, goal), goal


class Home(Move):
    """Homes an axis: it ends at the module's home position."""

    verb = "call"

    def configure(self, **settings: Any) -> None:
        self.position = "home"

    def describe(self) -> str:
        return f"call @{_module_name(self.module)}.home()"

    def drive(self, context: HandlerCommands) -> None:
        context.home_axes(self._cell_entry().drives)

    def destination(self) -> float | None:
        spec = _spec(self.module)
        return spec.home if spec is not None else None


class MoveTray(HostAction):
    """Moves a tray handler through one of its named position sequences, carrying tray `tray_id`."""

    verb = "transfer"

    def configure(self, tray_id: Any, position_seq: str, **settings: Any) -> None:
        spec = _spec(self.module)
        if spec is not None:
            if isinstance(tray_id, bool) or not isinstance(tray_id, int) or not 1 <= tray_id <= spec.trays:
                raise ValueError(f"{spec.name} holds trays 1 to {spec.trays}, not {tray_id!r}")
            if position_seq not in spec.sequences:
                raise ValueError(f"{spec.name} has no sequence {position_seq!r} (known: {_known(spec.sequences)})")
        self.tray_id = tray_id
        self.position_seq = position_seq

    def target(self) -> str:
        return f"tray {self.tray_id} along {self.position_seq}"

    def drive(self, context: HandlerCommands) -> None:
        spec = self._cell_entry()
        for step in spec.sequences[self.position_seq]:
            context.move_axes(coordinates(spec, spec.positions[step]), *_profile(spec),
                              what=f"step to {step}")

    def estimate(self, position: float | None) -> tuple[float | None, float | None]:
        spec = _spec(self.module)
        if spec is None:
            return None, position
        steps = [spec.positions[name] for name in spec.sequences[self.position_seq]]
        if spec.motion is None:
            return None, steps[-1]
        here = spec.home if position is None else position
        total = 0.0
        for step in steps:
            total += spec.motion.travel(here, step)
            here = step
        return total, here


# The longest dwell: what a 32-bit count of milliseconds holds (24.8 days).
MAX_DWELL_MS = 2**31 - 1


class Dwell(HostAction):
    """Holds its module for a given number of milliseconds."""

    verb = "call"

    def configure(self, milliseconds: int, reason: str = "", **settings: Any) -> None:
        if isinstance(milliseconds, bool) or not isinstance(milliseconds, int) or not 0 <= milliseconds <= MAX_DWELL_MS:
            raise ValueError(f"dwell takes a whole number of milliseconds from 0 to {MAX_DWELL_MS}, "
                             f"got {milliseconds!r}")
        if not isinstance(reason, str):
            raise ValueError(f"the reason of a dwell is a quoted text, got {reason!r}")
        self.milliseconds = milliseconds
        self.reason = reason

    def describe(self) -> str:
        reason = f", {chr(34)}{self.reason}{chr(34)}" if self.reason else ""
        return f"call @{_module_name(self.module)}.dwell({self.milliseconds}{reason})"

    def drive(self, context: HandlerCommands) -> None:
        context.dwell(self.milliseconds / 1000.0)

    def estimate(self, position: float | None) -> tuple[float | None, float | None]:
        return self.milliseconds / 1000.0, position


# The longest `within` limit of an input wait: the longest dwell, for the same reason.
MAX_WITHIN_MS = MAX_DWELL_MS


class WaitInput(HostAction):
    """Waits until an input of an IO module is at a level, at most `within` (in `unit`) when given."""

    verb = "wait"

    def configure(self, input_id: str, level: str, within: int | None = None, unit: str = "s",
                  **settings: Any) -> None:
        spec = _spec(self.module)
        if spec is not None and input_id not in spec.inputs:
            if input_id in spec.points:
                raise ValueError(f"{spec.name}: {input_id} is an output (an IO point that scripts set), not an "
                                 f"input; inputs: {_known(spec.inputs)}")
            raise ValueError(f"{spec.name} has no input {input_id!r} (inputs: {_known(spec.inputs)})")
        if level not in ("on", "off"):
            raise ValueError(f"an input wait waits for on or off, got {level!r}")
        if within is not None:
            if unit not in LIMIT_UNITS:
                raise ValueError(f"a time limit is in ms or s, got {unit!r}")
            if isinstance(within, bool) or not isinstance(within, int) or \
                    not 1 <= within * LIMIT_UNITS[unit] <= MAX_WITHIN_MS:
                raise ValueError(f"a time limit is from 1 ms to {MAX_WITHIN_MS // 1000} s, got {within!r} {unit}")
        self.input_id = input_id
        self.level = level
        self.within = within
        self.unit = unit

    @property
    def limit_seconds(self) -> float | None:
        """The time limit in seconds of run time, None when the wait has none."""
        return None if self.within is None else self.within * LIMIT_UNITS[self.unit] / 1000.0

    def limit_text(self) -> str:
        return "" if self.within is None else f"within {self.within} {self.unit}"

    def describe(self) -> str:
        """What the views show while the action runs: "waiting for Feeder.part_present on within 2 s"."""
        return f"waiting for {_module_name(self.module)}.{self.input_id} {self.level} {self.limit_text()}".rstrip()

    def drive(self, context: HandlerCommands) -> None:
        spec = self._cell_entry()
        context.wait_input(spec.handler_id, spec.inputs[self.input_id], self.level == "on", self.limit_seconds,
                           f"{spec.name}: {self.input_id} did not turn {self.level} {self.limit_text()}")

    def estimate(self, position: float | None) -> tuple[float | None, float | None]:
        """The input's `expected:` time from the cell (0 without one): the cell decides when it comes."""
        spec = _spec(self.module)
        return (spec.input_expected.get(self.input_id, 0.0) if spec is not None else None), position
