"""The progress `vemo run` shows: one line per event on a pipe, or a live table on a terminal, both drawn
from the run's one fold of its journal (vemo.run.fold)."""

from __future__ import annotations

from typing import Any, Callable, TextIO

from vemo.run.commands import key_help
from vemo.run.fold import RunFold
from vemo.run.held import failure_text, held_reason
from vemo.run.who import by_text
from vemo.run.timeline import ActionRecord
from vemo.util.text import printable


def _failure(e: dict) -> str:
    failure = e.get("failure") if isinstance(e.get("failure"), dict) else {}
    return decision_text({"module": failure.get("module"), "text": failure.get("action"),
                          "location": failure.get("location"), "reason": failure.get("reason")})


decision_text = failure_text  # a failure waiting for the operator: module, action, script location and reason


def _by(e: dict) -> str:
    return f" [{by_text(e['by'])}]" if isinstance(e.get("by"), dict) else ""


def duration_text(seconds: float | None) -> str:
    """Seconds as the operator reads a time left: "45 s", "12 min 05 s", "2 h 03 min"; "?" when unknown."""
    if seconds is None:
        return "?"
    seconds = int(round(seconds))
    if seconds < 60:
        return f"{seconds} s"
    if seconds < 3600:
        return f"{seconds // 60} min {seconds % 60:02d} s"
    return f"{seconds // 3600} h {seconds % 3600 // 60:02d} min"


def done_text(module: dict) -> str:
    """A module's actions done of its total, and the iteration of an expanded loop it is in: "12/40",
    "1234 · iteration 7" (a module whose plan ends in a loop without end has no total)."""
    done = f"{module['done']}" + ("" if module.get("total") is None else f"/{module['total']}")
    return done if module.get("iteration") is None else f"{done} · iteration {module['iteration']}"


def loop_text(loop: dict) -> str:
    """Where an expanded loop has got (the fold's `loop_progress`): "iteration 7 of 1000", "iteration 7 (no
    end), about 2 s left in it", "..., ends after iteration 7"."""
    count = loop.get("count")
    text = f"iteration {loop.get('iteration')}" + (f" of {count}" if count is not None else " (no end)")
    left = loop.get("iteration_remaining_s")
    if left is not None and count is None and loop.get("ends_after") != loop.get("iteration"):  # else the run's
        text += f", about {duration_text(left)} left in it"
    if loop.get("ends_after") is not None:
        text += f", ends after iteration {loop['ends_after']}"
    return text


def progress_text(progress: dict) -> str:
    """Overall done/total, the share and the time left, and where the latest expanded loop has got, as one
    line; a run with a loop without end has no total, only its count and the loop's iteration."""
    left = "" if progress.get("remaining_s") is None else f", about {duration_text(progress['remaining_s'])} left"
    loop = f"; {loop_text(progress['loop'])}" if progress.get("loop") else ""
    if progress.get("total") is None:
        return f"{progress['done']} actions{left}{loop}"
    return f"{progress['done']}/{progress['total']} actions ({100 * progress['progress']:.0f} %){left}{loop}"


# How the plain progress tells the events of the run that are not an action's.
_RUN_EVENTS: dict[str, Callable[[dict], str]] = {
    "paused": lambda e: (f"waiting for a decision (retry, skip or abort) on {_failure(e)}"
                         if e.get("cause") == "failure" else f"paused ({e.get('mode')}, by {e.get('cause')}){_by(e)}"),
    "resumed": lambda e: f"resumed (by {e.get('cause')}){_by(e)}",
    "motion_interrupted": lambda e: f"{e.get('module')}: motion of axis {e.get('axes')} stopped",
    "axis_stop_refused": lambda e: f"warning: the handler refused to stop axis {e.get('axis')} (result "
                                   f"{e.get('result')}): it may still be moving",
    "interlock_tripped": lambda e: f"interlock {e.get('name')} tripped: {e.get('module')} {e.get('input')} "
                                   f"is {e.get('value')}",
    "interlock_cleared": lambda e: f"interlock {e.get('name')} safe again: {e.get('module')} {e.get('input')} "
                                   f"is {e.get('value')}",
    "stopping": lambda e: f"stopping (by {e.get('cause')}){_by(e)}",
    "decided": lambda e: f"{e.get('answer')} chosen for {e.get('module')}: {e.get('text')}{_by(e)}",
    "input_set": lambda e: f"input {e.get('module')} {e.get('point')} set {e.get('value')}{_by(e)}",
    "recovery_started": lambda e: f"except block {e.get('block')} started (the try at {e.get('location')})",
    "recovery_ended": lambda e: f"except block {e.get('block')} ended ({e.get('outcome')})",
    "iteration_started": lambda e: f"loop {e.get('loop')}: iteration {e.get('iteration')} started",
    "cycle_stop_requested": lambda e: f"the run ends after iteration {e.get('iteration')} of loop "
                                      f"{e.get('loop')}{_by(e)}",
}
# The events the plain progress prints a line for; it ignores the others.
LINE_EVENTS = frozenset({*_RUN_EVENTS, "action_started", "retry", "action_ended"})


class PlainProgress:
    """One line per action start and failure and per event of the run, for logs and pipes."""

    def __init__(self, fold: RunFold, out: TextIO, clock: Any) -> None:
        self.fold, self.out = fold, out

    @property
    def width(self) -> int:
        return max([len(name) for name in self.fold.records.totals] + [1])

    def __enter__(self) -> PlainProgress:
        return self

    def __exit__(self, *exc: Any) -> None:
        pass

    def _print(self, t: float, text: str) -> None:
        print(f"{t:8.3f} s  {printable(text)}", file=self.out, flush=True)

    def event(self, event: dict, record: ActionRecord | None) -> None:
        kind = event["event"]
        if kind in _RUN_EVENTS:
            self._print(event["t"], _RUN_EVENTS[kind](event))
        if record is None:
            return
        s = self.fold.records
        if kind == "action_started":
            if record.recovery is None:
                count, total = s.started_count[record.module], s.totals[record.module]
            else:
                count, total = s.recovery_counts.get((record.module, record.recovery), (0, 0))
            block_name = f"{record.recovery} " if record.recovery is not None else ""
            of = "" if total is None else f"/{total}"
            self._print(record.start, f"{record.module:<{self.width}}  [{block_name}{count}{of}] {record.text}")
        elif kind == "retry":
            self._print(event["t"], f"{record.module:<{self.width}}  RETRY {event.get('attempt')}: {record.text}")
        elif kind == "action_ended" and record.outcome in ("error", "interrupted", "skipped"):
            self._print(event["t"], f"{record.module:<{self.width}}  {record.outcome.upper()}: {record.text}")

    def refresh(self) -> None:
        pass


# Colours of the held line by its tone (the words say it too).
_TONES = {"failed": "bold red", "attention": "bold yellow", "held": "yellow", "finished": "green"}
# Colours of the module states in the live table.
_COLOURS = {"failed": "[red]", "done": "[green]", "stopped": "[yellow]", "running": "[cyan]",
            "interrupted": "[magenta]", "waiting_decision": "[red]", "paused": "[yellow]", "pausing": "[yellow]"}


class LiveProgress:
    """A table with one row per module (state, current action, done/total, elapsed), redrawn while the run
    goes; under it the run's state, a failure waiting for a decision, and the keys that apply."""

    def __init__(self, fold: RunFold, out: TextIO, clock: Any, control: Any = None, keys: Any = None) -> None:
        from rich.console import Console
        from rich.live import Live

        self.fold, self.clock, self.control, self.keys = fold, clock, control, keys
        self.live = Live(self._view(), console=Console(file=out), refresh_per_second=8, transient=False)

    def __enter__(self) -> LiveProgress:
        self.live.__enter__()
        if self.keys is not None:
            self.keys.__enter__()
        return self

    def __exit__(self, *exc: Any) -> None:
        if self.keys is not None:
            self.keys.__exit__(*exc)
            self.keys = None
        self.live.update(self._view())
        self.live.__exit__(*exc)

    def event(self, event: dict, record: ActionRecord | None) -> None:
        pass

    def refresh(self) -> None:
        self.live.update(self._view())

    def lines(self) -> list[str]:
        """The lines under the table: the run's state and interlocks, the failure waiting for a decision,
        the keys that apply (while keys are read) and the answer to the last key while it holds."""
        fold = self.fold
        tripped = fold.tripped()
        line = fold.state + (f"  interlock not safe: {', '.join(tripped)}" if tripped else "")
        if self.control is not None and self.keys is not None:
            line += f"    keys: {key_help(self.control.state, self.control.tripped(), self.control.loops) or 'none'}"
        lines = [line, progress_text(fold.progress(self.clock()))]
        reason = held_reason(fold)
        if reason is not None:
            lines.append(printable(reason["text"]))
        for refused in fold.refused_stops:
            lines.append(f"warning: the handler refused to stop axis {refused.get('axis')}: it may still be moving")
        if self.keys is not None and self.keys.message:
            lines.append(self.keys.message)
        return lines

    def _view(self) -> Any:
        from rich.console import Group
        from rich.text import Text

        reason = held_reason(self.fold)
        held = printable(reason["text"]) if reason is not None else None
        return Group(self._table(), *(Text(line, style=_TONES.get(reason["tone"], "") if line == held else "")
                                      for line in self.lines()))

    def _table(self) -> Any:
        from rich.table import Table
        from rich.text import Text

        s = self.fold.records
        now = self.clock()
        recovering = f"  except block {s.recovering} running" if s.recovering is not None else ""
        table = Table(title=f"vemo run  {now:.1f} s{recovering}", title_justify="left")
        for column in ("module", "state", "current action", "done", "elapsed"):
            table.add_column(column, justify="right" if column in ("done", "elapsed") else "left")
        for module in self.fold.modules():
            current = module["current"]
            elapsed = s.finished_at.get(module["name"], now)
            # Text, not a string: rich would read square brackets in the script's text as markup.
            table.add_row(module["name"], _COLOURS.get(module["state"], "") + module["state"],
                          Text(printable(current.text)) if current is not None else "",
                          done_text(module), f"{elapsed:.1f} s")
        return table
