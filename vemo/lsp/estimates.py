"""Inlay hints: the estimated duration of each declared block and each loop, from the analysis `vemo check`
does (each declaration is analysed on its own, as its hover does)."""

from __future__ import annotations

import functools
from typing import Any

from vemo.lang.analysis import Analysis, analyse
from vemo.lang.frontend import CompiledScript, plan_modules
from vemo.lsp.outline import Outline, Span, loop_head
from vemo.lang.parser import Script


NO_END = "no end"  # the hint of a loop without end, and of the declarations that run one


def _seconds(value: float) -> str:
    return f"≈ {value:.2f} s"


def _own_analysis(compiled: CompiledScript, name: str) -> Analysis | None:
    block = compiled.semantics.global_zone.get(name)
    if block is None:
        return None
    try:
        return analyse(CompiledScript(block, plan_modules(block), compiled.semantics, []))
    except Exception:  # a block that cannot run on its own (it waits on steps outside it) has no estimate
        return None


def _written_at(compiled: CompiledScript, script: Script, action: Any) -> int | None:
    """The offset of the script where an action was written (copies made by a use by name carry it)."""
    origin = compiled.origin(action)
    if origin is None:
        return None
    try:
        _, line, column = str(origin).rsplit(":", 2)
        return script.offset(int(line), int(column))
    except ValueError:
        return None


class Estimates:
    """The hints of one compiled script, each declaration's analysis made when first asked for."""

    def __init__(self, compiled: CompiledScript, script: Script, outline: Outline) -> None:
        self.compiled, self.script, self.outline = compiled, script, outline
        self._analyses: dict[str, Analysis | None] = {}
        self._names = {n.declaration: n for n in outline.names if n.kind == "declaration"}

    def _analysis(self, name: str) -> Analysis | None:
        if name not in self._analyses:
            self._analyses[name] = _own_analysis(self.compiled, name)
        return self._analyses[name]

    def hints(self, start: int, end: int) -> list[dict[str, Any]]:
        """Hints of the declarations that overlap offsets start..end: (offset, label, tooltip) dicts."""
        found = []
        for index, span in enumerate(self.outline.declarations):
            if span.end < start or span.start > end or index not in self._names:
                continue
            name = self._names[index]
            analysis = self._analysis(name.name)
            if index in self._endless_declarations:
                # Its estimate, if any, is of one round: the declaration's own hint says it has no end.
                found.append({"offset": name.span.end, "label": NO_END,
                              "tooltip": f"{name.name} runs a loop without end: it runs until the operator stops "
                                         f"the run; the loop's hint gives one round"})
            elif analysis is not None and analysis.estimate is not None:
                found.append({"offset": name.span.end, "label": _seconds(analysis.estimate),
                              "tooltip": f"estimated duration of {name.name}, from the cell's motion and switch "
                                         f"times (as `vemo check` estimates it)"})
            for declaration, loop in self.outline.details.loops:
                if declaration == index and start <= loop.start <= end:
                    found += self._loop_hint(index, loop, analysis)
        return found

    def _loop_hint(self, index: int, loop: Span, analysis: Analysis | None) -> list[dict[str, Any]]:
        """The hint after a loop's head: the whole loop, every round; for a loop without end, one round
        (the analysis holds one round of it, as `vemo check` estimates it), or only that it has no end."""
        head, endless = loop_head(self.script.text, loop)
        seconds = self._loop_seconds(index, loop, analysis) if analysis is not None else None
        if endless:
            return [{"offset": head.end, "label": NO_END if seconds is None else f"{_seconds(seconds)} a round",
                     "tooltip": "a loop without end: it runs until the operator stops the run"
                                + ("" if seconds is None else "; estimated duration of one round")}]
        if seconds is None:
            return []
        return [{"offset": head.end, "label": _seconds(seconds),
                 "tooltip": "estimated duration of the whole loop, every round"}]

    @functools.cached_property
    def _endless_declarations(self) -> set[int]:
        """The declarations that run a loop without end, written in them or in a block they use."""
        written = {index for index, loop in self.outline.details.loops if loop_head(self.script.text, loop)[1]}
        return {index for index in self._names
                if index in written or written & self._reached(
                    [n.name for n in self.outline.names if n.kind == "block" and n.declaration == index])}

    def endless(self, name: str) -> bool:
        """Whether the declared block `name` runs a loop without end."""
        return any(n.name == name and index in self._endless_declarations for index, n in self._names.items())

    def _reached(self, uses: list[str]) -> set[int]:
        """The declarations (by index) that the named blocks use, directly or through others."""
        by_name = {n.name: i for i, n in self._names.items()}
        pending, seen = [by_name[u] for u in uses if u in by_name], set()
        while pending:
            index = pending.pop()
            if index in seen:
                continue
            seen.add(index)
            pending += [by_name[n.name] for n in self.outline.names
                        if n.kind == "block" and n.declaration == index and n.name in by_name]
        return seen

    def _loop_seconds(self, index: int, loop: Span, analysis: Analysis) -> float | None:
        """From the first start to the last finish of the loop's actions in the declaration's schedule: the
        actions written in the loop and those of the blocks it uses by name. When a block used inside the
        loop is used elsewhere in the declaration too, its actions cannot be told apart: no hint then."""
        uses = [n for n in self.outline.names if n.kind == "block" and n.declaration == index]
        inside = self._reached([n.name for n in uses if n.span.start in loop])
        outside = self._reached([n.name for n in uses if n.span.start not in loop])
        if inside & outside:
            return None
        spans = [loop] + [self.outline.declarations[i] for i in inside]
        times = []
        for step in analysis.steps:
            written = _written_at(self.compiled, self.script, step.action)
            if written is not None and any(written in span for span in spans):
                if step.start is None or step.finish is None:
                    return None
                times.append((step.start, step.finish))
        if not times:
            return None
        return max(f for _, f in times) - min(s for s, _ in times)
