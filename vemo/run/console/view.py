"""What the console shows of a run, folded from its journal events by the run's one fold (vemo.run.fold):
run state, modules, interlocks, the decision awaited, the commands that apply, and the Gantt chart drawn
by the timeline's own code."""

from __future__ import annotations

from typing import Any

from vemo.run.fold import RunFold
from vemo.run.outputs import UNFINISHED, records_from_events
from vemo.run.timeline import ActionRecord, render_chart, render_legend


class RunView:
    """Applies journal events in order; `snapshot()` is what a page needs to draw the run as it stands."""

    def __init__(self) -> None:
        self.events: list[dict] = []
        self.fold = RunFold()
        self.run: dict[str, Any] = {}
        self.ended: dict[str, Any] | None = None

    def apply(self, event: dict) -> None:
        self.events.append(event)
        self.fold.add(event)
        handler = self._handlers.get(event["event"])
        if handler is not None:
            handler(self, event)

    def _on_run_started(self, event: dict) -> None:
        self.run = {key: event.get(key) for key in ("script", "cell", "handler", "simulator", "started")
                    if key in event}

    def _on_handler_lost(self, event: dict) -> None:
        self.run["handler_lost"] = event["t"]

    def _on_run_ended(self, event: dict) -> None:
        self.ended = {key: event.get(key) for key in ("exit_code", "outcome")} | {"t": event["t"]}

    _handlers = {"run_started": _on_run_started, "handler_lost": _on_handler_lost, "run_ended": _on_run_ended}

    @property
    def state(self) -> str:
        return self.fold.state

    def snapshot(self, now: float | None = None) -> dict[str, Any]:
        """The run as it stands. `now` is the run's clock at this moment (seconds since its start), used for
        the elapsed time of what is still going; the time of the last event if not given."""
        fold = self.fold
        records = fold.records
        state = fold.state
        now = records.last_t if now is None or state == "ended" else max(now, records.last_t)
        modules = []
        for module in fold.modules():
            record = module["current"]
            current = None if record is None else {"index": record.index, "text": record.text,
                                                   "location": record.origin, "since": record.start}
            modules.append({**module, "current": current, "elapsed": records.finished_at.get(module["name"], now)})
        return {
            "run": self.run, "state": state, "packml": fold.packml(), "now": now, "ended": self.ended,
            "modules": modules, "interlocks": list(fold.interlocks.values()), "decision": fold.decision,
            "pause": fold.pause, "commands": fold.commands(),
            "chart": render_chart(self._chart_records(now)), "legend": render_legend(),
        }

    def _chart_records(self, now: float) -> list[ActionRecord]:
        """The records of the output files; while the run goes, what is in flight is running up to now."""
        records = records_from_events(self.events)
        if self.fold.state != "ended":
            for record in records:
                if record.outcome == UNFINISHED:
                    record.outcome, record.end = "running", now
        return records
