"""Hover texts: what an action sends to the handler and how long it takes; what a declared block runs."""

from __future__ import annotations

from typing import Any, Sequence

from vemo.lang.analysis import analyse
from vemo.lang.frontend import CompiledScript, plan_modules
from vemo.lang.listing import describe
from vemo.cell.handlercommands import POSITION_TOLERANCE, HandlerCommands

_LISTED = 12  # actions listed per module in a declaration's hover


class _Recorder(HandlerCommands):
    """Stands in for the run context of `vemo run` and notes the handler commands an action's `drive`
    would send there, so the hover shows what the run itself does."""

    def __init__(self) -> None:
        self.sent: list[str] = []

    def move_axes(self, targets: Sequence[tuple[int, float]], speed: float = -1, acceleration: float = -1,
                  what: str = "") -> None:
        axes = ", ".join(f"axis {kinra_id} to {target:g}" for kinra_id, target in targets)
        profile = "" if speed < 0 else f" at speed {speed:g}, acceleration {acceleration:g}"
        self.sent.append(f"point-to-point move of {axes}{profile}; waits until motion ends within "
                         f"{POSITION_TOLERANCE:g} of the target" + (f" ({what})" if what else ""))

    def home_axes(self, axes: Sequence[int], what: str = "") -> None:
        self.sent.append(f"homing of axis {', '.join(map(str, axes))}; waits for the end of homing")

    def set_output(self, kinra_id: int, pin: int, value: int, what: str = "") -> None:
        self.sent.append(f"output {pin} of IO module {kinra_id} set to {value}; waits until it is written")

    def dwell(self, seconds: float) -> None:
        self.sent.append(f"nothing: the module holds still for {seconds:g} s")

    def wait_input(self, kinra_id: int, pin: int, level: bool, limit: float | None, late: str) -> None:
        bound = "as long as it takes" if limit is None else f"at most {limit:g} s"
        self.sent.append(f"a reading of the inputs of IO module {kinra_id}, then an input condition on input {pin} "
                         f"being {'on' if level else 'off'}; waits {bound}")


def _sends(action: Any) -> list[str]:
    drive = getattr(action, "drive", None)
    if drive is None:
        return ["not known: the host's action kind does not drive the cell through the reference handler"]
    recorder = _Recorder()
    try:
        drive(recorder)
    except Exception as error:
        return [f"not known here: {type(error).__name__}: {error}"]
    return recorder.sent or ["nothing"]


def _seconds(values: list[float]) -> str:
    low, high = min(values), max(values)
    return f"{low:.2f} s" if high - low < 0.005 else f"{low:.2f} s to {high:.2f} s"


def _module_text(kind: Any) -> str:
    spec = getattr(kind, "spec", None)
    name = getattr(kind, "name", None) or getattr(kind, "__name__", "?")
    return f"{name} ({spec.kind}, handler id {spec.handler_id})" if spec is not None else str(name)


def _written_action(compiled: CompiledScript, origin: str) -> Any:
    """The action the compiler built where `origin` points, whether or not main runs it."""
    for item, location in compiled.semantics.origins.values():
        if str(location) == origin and hasattr(item, "module") and hasattr(item, "finish_signal"):
            return item
    return None


def action_hover(compiled: CompiledScript, analysis: Any, origin: str) -> str | None:
    steps = [step for step in analysis.steps if compiled.origin(step.action) == origin]
    action = steps[0].action if steps else _written_action(compiled, origin)
    if action is None:
        return None
    lines = [f"`{describe(action)}` on {_module_text(action.module)}", ""]
    lines += ["Sends to the handler:"] + [f"- {text}" for text in _sends(action)] + [""]
    durations = [step.duration for step in steps]
    if steps and all(d is not None for d in durations):
        repeats = [compiled.repeats(step.action) for step in steps]
        times = None if None in repeats else sum(repeats)
        runs = " (runs in every round of a loop without end)" if times is None else \
            f" (runs {times} times)" if times > 1 else ""
        lines.append(f"Estimated duration: {_seconds(durations)}{runs}")
    elif steps:
        lines.append("Estimated duration: not known (the cell gives no motion or switch time for this module, "
                     "or the script has a wait that cannot be met)")
    else:
        estimate = getattr(action, "estimate", None)
        seconds = estimate(None)[0] if estimate is not None else None
        known = f"{seconds:.2f} s from the module's home" if seconds is not None else "not known"
        lines.append(f"Estimated duration: {known}; main does not run this action")
    return "\n".join(lines)


def declaration_hover(compiled: CompiledScript, name: str) -> str | None:
    block = compiled.semantics.global_zone.get(name)
    if block is None:
        return None
    try:
        own = CompiledScript(block, plan_modules(block), compiled.semantics, [])
        found = analyse(own)
    except Exception as error:
        return f"**{name}**: cannot be evaluated on its own ({type(error).__name__}: {error})"
    lines = [f"**{name}**", ""]
    for plan in own.plans:
        actions = plan.actions()
        listed = ", ".join(f"`{describe(a)}`" for a in actions[:_LISTED])
        more = f", and {len(actions) - _LISTED} more" if len(actions) > _LISTED else ""
        lines.append(f"- {_module_text(plan.kind)}: {len(actions)} action{'s' * (len(actions) != 1)}: "
                     f"{listed}{more}")
    if not own.plans:
        lines.append("runs no actions")
    lines.append("")
    if found.estimate is not None:
        lines.append(f"Estimated duration: {found.estimate:.2f} s")
    elif found.problems:
        lines.append("Estimated duration: not known on its own (it waits on steps outside it)")
    else:
        lines.append("Estimated duration: not known (the cell gives no motion or switch time for "
                     + ", ".join(sorted({label.split('#')[0].split('[')[0] for label in found.unknown_durations}))
                     + ")")
    return "\n".join(lines)
