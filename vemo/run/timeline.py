"""Run timelines: a self-contained HTML page with an SVG Gantt chart, and a Chrome-trace JSON file."""

from __future__ import annotations

import html
import json
import math
from dataclasses import asdict, dataclass, field
from typing import Iterable, Sequence

OUTCOME_COLOURS = {"finished": "#4c9f70", "error": "#d64545", "interrupted": "#8a5fbf", "skipped": "#7fa7d9",
                   "not run": "#b8b8b8", "running": "#e0a030", "unfinished": "#e0a030"}
WAIT_COLOUR = "#d9e4f2"
# The time axis gets at most this many gridlines besides 0, whatever the span of the run: a chart is drawn
# again for every snapshot of the console, so its size must follow the number of actions, never the span.
MAX_TICKS = 10
# Gridline steps in seconds that read well for a run's usual spans; beyond them, 1, 2 or 5 times a power of ten.
TICK_STEPS = (0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 30, 60, 120, 300, 600)


@dataclass
class ActionRecord:
    """What one action did in a run. Times are seconds from the start of the run; None if it never ran."""

    number: int
    module: str
    kind: str
    target: str
    origin: str | None = None
    start: float | None = None
    end: float | None = None
    outcome: str = "not run"
    waits_on: list[int] = field(default_factory=list)
    lane: str | None = None  # the competitor lane of a module in lane mode
    after: int | None = None  # the action it follows in script order
    ready: float | None = None  # when its module could first have started it (the previous action's end)
    start_seq: int | None = None  # rank of its start among all starts and ends of the run
    end_seq: int | None = None
    reason: str | None = None  # why it failed
    text: str = ""  # the action as the script reads, e.g. "move @XAxis to pick"; target is its last part
    index: int | None = None  # its 1-based position in its module's list, as the journal names it
    retries: int = 0  # how many times it was tried again after failing
    recovery: str | None = None  # the except block (E1, ...) it belongs to, for an action of one

    @property
    def label(self) -> str:
        return f"{self.kind} {self.target}".strip()

    def as_dict(self) -> dict:
        return asdict(self)


def write_records(records: Sequence[ActionRecord], path: str) -> None:
    """The run's own record as JSON: one object per action, in plan order."""
    with open(path, "w", encoding="utf-8") as out:
        json.dump([record.as_dict() for record in records], out, indent=1)


def _modules(records: Sequence[ActionRecord]) -> list[str]:
    return list(dict.fromkeys(r.module for r in records))


def write_chrome_trace(records: Sequence[ActionRecord], path: str) -> None:
    """Chrome's trace-event format, as Perfetto and chrome://tracing open it: one track per module, one
    complete event per action, and a flow arrow from each awaited action to the action that waited."""
    tracks = {name: index + 1 for index, name in enumerate(_modules(records))}
    events: list[dict] = [
        {"ph": "M", "name": "process_name", "pid": 1, "args": {"name": "vemo run"}},
        *({"ph": "M", "name": "thread_name", "pid": 1, "tid": tid, "args": {"name": name}}
          for name, tid in tracks.items()),
    ]
    ran = {r.number: r for r in records if r.start is not None}
    for r in ran.values():
        end = r.end if r.end is not None else r.start
        events.append({
            "ph": "X", "name": r.label, "cat": r.kind, "pid": 1, "tid": tracks[r.module],
            "ts": round(r.start * 1e6, 1), "dur": round((end - r.start) * 1e6, 1),
            "args": {"outcome": r.outcome, "origin": r.origin or "", "action": r.number},
        })
    flow = 0
    for r in ran.values():
        for number in r.waits_on:
            source = ran.get(number)
            if source is None or source.end is None:
                continue
            flow += 1
            events.append({"ph": "s", "id": flow, "name": "waits on", "cat": "dependency", "pid": 1,
                           "tid": tracks[source.module], "ts": round(source.end * 1e6, 1) - 0.1})
            events.append({"ph": "f", "bp": "e", "id": flow, "name": "waits on", "cat": "dependency", "pid": 1,
                           "tid": tracks[r.module], "ts": round(r.start * 1e6, 1)})
    with open(path, "w", encoding="utf-8") as out:
        json.dump({"traceEvents": events, "displayTimeUnit": "ms"}, out, indent=1)


def render_chart(records: Sequence[ActionRecord]) -> str:
    """The Gantt chart as inline SVG: one row per module, one bar per action with its tooltip, dependency
    arrows and the time a module waited. The timeline page and the live console both draw with it."""
    modules = _modules(records)
    row_h, bar_h, left, width, top = 34, 20, 150, 960, 40
    ran = [r for r in records if r.start is not None]
    span = max([(r.end if r.end is not None else r.start) for r in ran] + [0.001])
    scale = width / span

    def x(t: float) -> float:
        return left + t * scale

    height = top + row_h * len(modules) + 30
    rows = {name: top + i * row_h for i, name in enumerate(modules)}
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{left + width + 20}" height="{height}" '
             f'font-family="sans-serif" font-size="12">',
             '<defs><marker id="arrow" markerWidth="8" markerHeight="8" refX="7" refY="4" orient="auto">'
             '<path d="M0,0 L8,4 L0,8 z" fill="#555"/></marker></defs>']
    for tick in _ticks(span):
        parts.append(f'<line x1="{x(tick):.1f}" y1="{top - 6}" x2="{x(tick):.1f}" y2="{height - 24}" '
                     f'stroke="#eee"/><text x="{x(tick):.1f}" y="{top - 10}" text-anchor="middle" '
                     f'fill="#666">{tick:g} s</text>')
    for name, y in rows.items():
        parts.append(f'<text x="{left - 10}" y="{y + bar_h / 2 + 4}" text-anchor="end" font-weight="bold">'
                     f'{html.escape(name)}</text>')
    by_number = {r.number: r for r in ran}
    for r in ran:
        end = r.end if r.end is not None else r.start
        y = rows[r.module]
        if r.ready is not None and r.start - r.ready > 0 and (r.waits_on or r.after is not None):
            parts.append(f'<rect x="{x(r.ready):.1f}" y="{y + bar_h / 2 - 3}" width="{(r.start - r.ready) * scale:.1f}" '
                         f'height="6" fill="{WAIT_COLOUR}"><title>{html.escape(r.module)} waits '
                         f'{r.start - r.ready:.3f} s before {html.escape(r.text or r.label)}</title></rect>')
        colour = OUTCOME_COLOURS.get(r.outcome, "#888")
        lane = f" (competitor {r.lane})" if r.lane is not None else ""
        tip = f"{r.module}{lane}: {r.text or r.label}\n{r.outcome}, {r.start:.3f} s to {end:.3f} s"
        if r.origin:
            tip += f"\n{r.origin}"
        if r.reason:
            tip += f"\n{r.reason}"
        if r.retries:
            tip += f"\ntried again {r.retries} times" if r.retries > 1 else "\ntried again once"
        if r.recovery:
            tip += f"\nof except block {r.recovery}"
        w = max((end - r.start) * scale, 2.0)
        parts.append(f'<g><title>{html.escape(tip)}</title><rect x="{x(r.start):.1f}" y="{y}" width="{w:.1f}" '
                     f'height="{bar_h}" rx="3" fill="{colour}" stroke="#333" stroke-width="0.5"/>')
        if w > 40:
            parts.append(f'<text x="{x(r.start) + 4:.1f}" y="{y + 14}" fill="#fff" clip-path="none">'
                         f'{html.escape(_fit(r.target or r.kind, w))}</text>')
        parts.append('</g>')
        for number in r.waits_on:
            source = by_number.get(number)
            if source is None or source.end is None or source.module == r.module:
                continue
            y0 = rows[source.module] + bar_h / 2
            parts.append(f'<line x1="{x(source.end):.1f}" y1="{y0}" x2="{x(r.start):.1f}" '
                         f'y2="{y + bar_h / 2}" stroke="#555" stroke-dasharray="3,2" marker-end="url(#arrow)"/>')
    parts.append("</svg>")
    return "".join(parts)


def render_legend() -> str:
    """The key to the chart's colours, as HTML."""
    return "".join(f'<span class="key" style="background:{c}"></span>{html.escape(o)} '
                   for o, c in OUTCOME_COLOURS.items())


CHART_CSS = ".key{display:inline-block;width:12px;height:12px;margin:0 4px 0 12px;vertical-align:middle}"


def render_html(records: Sequence[ActionRecord], title: str) -> str:
    """A page that opens without network: inline SVG and CSS, bars with tooltips, dependency arrows."""
    counts: dict[str, int] = {}
    for r in records:
        counts[r.outcome] = counts.get(r.outcome, 0) + 1
    summary = f"{len(records)} actions: " + ", ".join(f"{n} {outcome}" for outcome, n in counts.items())
    failures = "".join(f"<li>{html.escape(r.reason or r.text or r.label)}</li>"
                       for r in records if r.outcome == "error")
    if failures:
        summary += f"<ul>{failures}</ul>"
    return (f"<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>{html.escape(title)}</title>"
            f"<style>body{{font-family:sans-serif;margin:20px}}{CHART_CSS}</style></head><body>"
            f"<h2>{html.escape(title)}</h2><p>One row per module, one bar per action; dashed arrows show an "
            f"action waiting on another module's action; a thin pale bar is the time a module waited before an action. "
            f"{render_legend()}</p>{render_chart(records)}<p>{summary}</p></body></html>\n")


def write_html(records: Sequence[ActionRecord], path: str, title: str) -> None:
    with open(path, "w", encoding="utf-8") as out:
        out.write(render_html(records, title))


def _fit(text: str, width_px: float) -> str:
    room = int(width_px / 7)
    return text if len(text) <= room else text[: max(room - 1, 1)] + "…"


def _ticks(span: float) -> Iterable[float]:
    """At most MAX_TICKS + 1 gridline times from 0 to `span`."""
    step = next((step for step in TICK_STEPS if span / step <= MAX_TICKS), None)
    if step is None:
        power = 10.0 ** math.floor(math.log10(span / MAX_TICKS))
        step = next(factor * power for factor in (1, 2, 5, 10) if span / (factor * power) <= MAX_TICKS)
    return [round(i * step, 6) for i in range(int(span / step + 1e-9) + 1)]
