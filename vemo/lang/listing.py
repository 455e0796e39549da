"""The listing of a compiled script, for a person (text) and for tools (JSON)."""

from __future__ import annotations

from typing import Any

from vemo.lang.analysis import Analysis, Step
from vemo.lang.frontend import CompiledScript
from vemo.util.text import printable


def describe(action: Any) -> str:
    describe_action = getattr(action, "describe", None)
    return describe_action() if describe_action is not None else repr(action)


def _kind_text(kind: type) -> str:
    spec = getattr(kind, "spec", None)
    return f"{spec.kind}, handler id {spec.handler_id}" if spec is not None else kind.__name__


def _modules_dict(compiled: CompiledScript, plans: list, steps: list[Step]) -> list[dict[str, Any]]:
    by_module: dict[str, list] = {}
    for step in steps:
        by_module.setdefault(step.module, []).append({
            "label": step.label,
            "lane": step.lane,
            "kind": type(step.action).__name__,
            "text": describe(step.action),
            "origin": compiled.origin(step.action),
            "waits": step.waits,
            "after": step.after,
            "seconds": step.duration,
            "start": step.start,
            "except": step.recovery,
        })
    return [{
        "name": plan.name,
        "kind": _kind_text(plan.kind),
        "mode": "lanes" if isinstance(plan.sequence, dict) else "sequence",
        "actions": by_module.get(plan.name, []),
    } for plan in plans]


def _input_waits(compiled: CompiledScript, steps: list[Step]) -> list[dict[str, Any]]:
    """The input waits as written, each with its limit, the time the estimate counts for it (the cell's
    `expected:`) and the labels of the actions made from it (a loop makes several)."""
    written: dict[Any, dict[str, Any]] = {}
    for step in steps:
        action = step.action
        if getattr(action, "verb", None) != "wait" or not hasattr(action, "limit_seconds"):
            continue
        origin = compiled.origin(action)
        entry = written.setdefault((origin, describe(action)), {
            "module": step.module, "input": action.input_id, "level": action.level,
            "limit_seconds": action.limit_seconds, "expected_seconds": step.duration,
            "origin": origin, "actions": []})
        entry["actions"].append(step.label)
    return list(written.values())


def _input_wait_lines(compiled: CompiledScript, steps: list[Step]) -> list[str]:
    waits = _input_waits(compiled, steps)
    if not waits:
        return []
    out = ["input waits (they end when the cell's input comes; the estimate counts each as the expected time "
           "of its input in the cell, 0 s where the cell gives none):"]
    for wait in waits:
        limit = "no limit" if wait["limit_seconds"] is None else f"limit {wait['limit_seconds']:g} s"
        expected = "" if wait["expected_seconds"] is None else f", expected {wait['expected_seconds']:.2f} s"
        times = len(wait["actions"])
        out.append(f"  {wait['module']}.{wait['input']} {wait['level']}  {wait['origin'] or ''}  [{limit}{expected}"
                   f"{'' if times == 1 else f'; {times} times'}]")
    return out


def _loops(compiled: CompiledScript, analysis: Analysis) -> list[dict[str, Any]]:
    return [{"loop": loop.number, "origin": str(loop.origin), "count": loop.count,
             "round_seconds": None if analysis.round_seconds.get(loop.number) is None
             else round(analysis.round_seconds[loop.number], 6),
             "modules": {module: {"per_round": loop.size(module), "actions": loop.total(module)}
                         for module in loop.rounds}} for loop in compiled.loops]


def _loop_lines(compiled: CompiledScript, analysis: Analysis) -> list[str]:
    out = []
    for entry in _loops(compiled, analysis):
        rounds = "without end" if entry["count"] is None else f"{entry['count']} rounds"
        built = "rounds 1 and 2" if entry["count"] is None else f"rounds 1, 2 and {entry['count']}"
        seconds = entry["round_seconds"]
        each = "" if seconds is None else f"; a round takes {seconds:.2f} s"
        per = ", ".join(f"{module} {info['per_round']}" for module, info in entry["modules"].items())
        out.append(f"loop at {entry['origin']}: {rounds} of {per} actions, made as the run goes (listed: {built})"
                   f"{each}")
    return out


def as_dict(compiled: CompiledScript, analysis: Analysis) -> dict[str, Any]:
    return {
        "input_waits": _input_waits(compiled, analysis.steps),
        "modules": _modules_dict(compiled, compiled.plans, analysis.steps),
        "loops": _loops(compiled, analysis),
        "endless": analysis.endless,
        "estimate": None if analysis.estimate is None else {
            "seconds": round(analysis.estimate, 6), "critical_path": analysis.critical_path},
        "unknown_durations": analysis.unknown_durations,
        "except_blocks": [{
            "name": recovery.name,
            "try": str(recovery.origin),
            "covers": [step.label for step in analysis.steps if step.recovery == recovery.name],
            "modules": _modules_dict(compiled, recovery.plans, analysis.recovery_steps.get(recovery.name, [])),
        } for recovery in compiled.recoveries],
    }


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}" if number == 1 else f"{number} {noun}s"


def _module_lines(compiled: CompiledScript, plans: list, all_steps: list[Step], indent: str) -> list[str]:
    out = []
    for plan in plans:
        steps = [step for step in all_steps if step.module == plan.name]
        mode = f"in {len(plan.lanes)} competing lanes" if isinstance(plan.sequence, dict) else "in sequence"
        total = compiled.total(plan) if plan in compiled.plans else len(steps)
        count = "actions without end" if total is None else _count(total, "action")
        out.append(f"{indent}module {plan.name} ({_kind_text(plan.kind)}): {count} {mode}")
        width = max((len(step.label) for step in steps), default=0)
        text_width = max((len(describe(step.action)) for step in steps), default=0)
        for step in steps:
            line = (f"{indent}  {step.label:<{width}}  {describe(step.action):<{text_width}}  "
                    f"{compiled.origin(step.action) or ''}")
            extras = []
            if step.waits:
                extras.append("waits for " + ", ".join(step.waits))
            if step.after:
                extras.append("after " + step.after)
            if step.duration is not None:
                extras.append(f"{step.duration:.2f} s")
            if step.recovery:
                extras.append("except " + step.recovery)
            if extras:
                line += "  [" + "; ".join(extras) + "]"
            out.append(line.rstrip())
    return out


def as_text(compiled: CompiledScript, analysis: Analysis) -> str:
    if not compiled.plans:
        return "main runs no actions"
    out = _module_lines(compiled, compiled.plans, analysis.steps, "")
    for recovery in compiled.recoveries:
        covered = sum(1 for step in analysis.steps if step.recovery == recovery.name)
        which = "its action" if covered == 1 else f"one of its {covered} actions"
        out.append(f"except block {recovery.name} of the try at {recovery.origin}: runs when the run ends "
                   f"because {which} failed")
        steps = analysis.recovery_steps.get(recovery.name, [])
        out.extend(_module_lines(compiled, recovery.plans, steps, "  ") if steps else ["  (no actions)"])
    out.extend(_input_wait_lines(compiled, analysis.steps))
    out.extend(_loop_lines(compiled, analysis))
    if analysis.endless:
        out.append("estimated duration: no end (a loop without end runs until the run is stopped)")
    elif analysis.estimate is not None:
        out.append(f"estimated duration: {analysis.estimate:.2f} s along "
                   + " -> ".join(analysis.critical_path))
    elif analysis.unknown_durations and not analysis.problems:
        out.append("estimated duration: not available (the cell gives no motion or switch time for "
                   + ", ".join(sorted({label.split('#')[0].split('[')[0] for label in analysis.unknown_durations}))
                   + ")")
    return "\n".join(printable(line) for line in out)
