"""The listing of a compiled script, for a person (text) and for tools (JSON)."""

from __future__ import annotations

from typing import Any

from vemo.analysis import Analysis
from vemo.frontend import CompiledScript
from vemo.text import printable


def describe(action: Any) -> str:
    describe_action = getattr(action, "describe", None)
    return describe_action() if describe_action is not None else repr(action)


def _kind_text(kind: type) -> str:
    spec = getattr(kind, "spec", None)
    return f"{spec.kind}, handler id {spec.handler_id}" if spec is not None else kind.__name__


def as_dict(compiled: CompiledScript, analysis: Analysis) -> dict[str, Any]:
    by_module: dict[str, list] = {}
    for step in analysis.steps:
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
        })
    return {
        "modules": [{
            "name": plan.name,
            "kind": _kind_text(plan.kind),
            "mode": "lanes" if isinstance(plan.sequence, dict) else "sequence",
            "actions": by_module.get(plan.name, []),
        } for plan in compiled.plans],
        "estimate": None if analysis.estimate is None else {
            "seconds": round(analysis.estimate, 6), "critical_path": analysis.critical_path},
        "unknown_durations": analysis.unknown_durations,
        "exception_block": [{"text": describe(a), "origin": compiled.origin(a)} for a in compiled.exception_actions],
    }


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}" if number == 1 else f"{number} {noun}s"


def as_text(compiled: CompiledScript, analysis: Analysis) -> str:
    if not compiled.plans:
        return "main runs no actions"
    out = []
    for plan in compiled.plans:
        steps = [step for step in analysis.steps if step.module == plan.name]
        mode = f"in {len(plan.lanes)} competing lanes" if isinstance(plan.sequence, dict) else "in sequence"
        out.append(f"module {plan.name} ({_kind_text(plan.kind)}): {_count(len(steps), 'action')} {mode}")
        width = max((len(step.label) for step in steps), default=0)
        text_width = max((len(describe(step.action)) for step in steps), default=0)
        for step in steps:
            line = f"  {step.label:<{width}}  {describe(step.action):<{text_width}}  {compiled.origin(step.action) or ''}"
            extras = []
            if step.waits:
                extras.append("waits for " + ", ".join(step.waits))
            if step.after:
                extras.append("after " + step.after)
            if step.duration is not None:
                extras.append(f"{step.duration:.2f} s")
            if extras:
                line += "  [" + "; ".join(extras) + "]"
            out.append(line.rstrip())
    if compiled.exception_actions:
        out.append("except block of main (recorded with it; the runtime does not run it):")
        out.extend(f"  {describe(a)}  {compiled.origin(a) or ''}".rstrip() for a in compiled.exception_actions)
    if analysis.estimate is not None:
        out.append(f"estimated duration: {analysis.estimate:.2f} s along "
                   + " -> ".join(analysis.critical_path))
    elif analysis.unknown_durations and not analysis.problems:
        out.append("estimated duration: not available (the cell gives no motion or switch time for "
                   + ", ".join(sorted({label.split('#')[0].split('[')[0] for label in analysis.unknown_durations}))
                   + ")")
    return "\n".join(printable(line) for line in out)
