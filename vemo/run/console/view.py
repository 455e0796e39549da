"""What the console shows of a run, folded from its journal events: run state, modules, interlocks, the
decision awaited, and the Gantt chart drawn by the timeline's own code."""

from __future__ import annotations

from typing import Any

from vemo.run.outputs import UNFINISHED, RunRecords, records_from_events
from vemo.run.timeline import ActionRecord, render_chart, render_legend


class RunView:
    """Applies journal events in order; `snapshot()` is what a page needs to draw the run as it stands. The
    actions are folded by the same `RunRecords` as the run's own progress table."""

    def __init__(self) -> None:
        self.events: list[dict] = []
        self.actions = RunRecords()
        self.run: dict[str, Any] = {}
        self.state = "starting"
        self.interlocks: dict[str, dict[str, Any]] = {}
        self.decision: dict[str, Any] | None = None
        self.ended: dict[str, Any] | None = None
        self._pause_mode: str | None = None

    def apply(self, event: dict) -> None:
        self.events.append(event)
        self.actions.add(event)
        handler = getattr(self, "_on_" + str(event["event"]), None)
        if handler is not None:
            handler(event)

    def _on_run_started(self, event: dict) -> None:
        self.state = "running"
        self.run = {key: event.get(key) for key in ("script", "cell", "handler", "simulator", "started")
                    if key in event}
        interlocks = event.get("interlocks")
        for entry in interlocks if isinstance(interlocks, list) else ():
            if isinstance(entry, dict) and isinstance(entry.get("name"), str):
                self.interlocks[entry["name"]] = {"name": entry["name"], "state": "safe", "since": event["t"]}

    def _on_action_ended(self, event: dict) -> None:
        if event.get("outcome") == "skipped":
            self.decision = None

    def _on_paused(self, event: dict) -> None:
        self.state = "paused"
        self._pause_mode = event.get("mode")
        if event.get("cause") == "failure":
            self.state = "waiting_decision"
            failure = event.get("failure") if isinstance(event.get("failure"), dict) else {}
            self.decision = {"module": failure.get("module"), "text": failure.get("action"),
                             "location": failure.get("location"), "reason": failure.get("reason"),
                             "attempts": failure.get("attempts")}

    def _on_resumed(self, event: dict) -> None:
        self.state = "running"
        self.decision = None

    def _on_retry(self, event: dict) -> None:
        self.decision = None

    def _on_interlock_tripped(self, event: dict) -> None:
        name = str(event.get("name", event.get("interlock")))
        self.interlocks[name] = {"name": name, "state": "tripped", "since": event["t"]}

    def _on_interlock_cleared(self, event: dict) -> None:
        name = str(event.get("name", event.get("interlock")))
        self.interlocks[name] = {"name": name, "state": "safe", "since": event["t"]}

    def _on_handler_lost(self, event: dict) -> None:
        self.run["handler_lost"] = event["t"]

    def _on_run_ended(self, event: dict) -> None:
        self.state = "ended"
        self.decision = None
        self.ended = {key: event.get(key) for key in ("exit_code", "outcome")} | {"t": event["t"]}

    def _module_state(self, name: str, failed: bool) -> str:
        actions = self.actions
        if actions.current.get(name) is not None:
            if self.state in ("running", "ended"):
                return "running"
            return "paused" if self._pause_mode == "immediate" else "pausing"
        if failed:
            return "failed"
        if actions.totals[name] and actions.done[name] >= actions.totals[name]:
            return "done"
        if self.state == "ended" or name in actions.finished_at:
            return "stopped"
        if self.state in ("paused", "waiting_decision"):
            return "paused"
        return "waiting"

    def snapshot(self, now: float | None = None) -> dict[str, Any]:
        """The run as it stands. `now` is the run's clock at this moment (seconds since its start), used for
        the elapsed time of what is still going; the time of the last event if not given."""
        actions = self.actions
        now = actions.last_t if now is None or self.state == "ended" else max(now, actions.last_t)
        failed = {r.module for r in actions.records if r.outcome == "error"}
        modules = []
        for name, total in actions.totals.items():
            record = actions.current.get(name)
            current = None if record is None else {"index": record.index, "text": record.text,
                                                   "location": record.origin, "since": record.start}
            modules.append({"name": name, "state": self._module_state(name, name in failed), "current": current,
                            "done": actions.done[name], "total": total,
                            "elapsed": actions.finished_at.get(name, now)})
        state = self.state
        if state == "paused" and self._pause_mode != "immediate" and any(actions.current.values()):
            state = "pausing"  # a deferred pause: modules finish the action they execute
        return {
            "run": self.run, "state": state, "now": now, "ended": self.ended, "modules": modules,
            "interlocks": list(self.interlocks.values()), "decision": self.decision,
            "chart": render_chart(self._chart_records(now)), "legend": render_legend(),
        }

    def _chart_records(self, now: float) -> list[ActionRecord]:
        """The records of the output files; while the run goes, what is in flight is running up to now."""
        records = records_from_events(self.events)
        if self.state != "ended":
            for record in records:
                if record.outcome == UNFINISHED:
                    record.outcome, record.end = "running", now
        return records
