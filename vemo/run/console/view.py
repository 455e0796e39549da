"""What the console shows of a run, folded from its journal events: run state, modules, interlocks, the
decision awaited, and the Gantt chart drawn by the timeline's own code."""

from __future__ import annotations

from typing import Any

from vemo.run.outputs import records_from_events
from vemo.run.timeline import render_chart, render_legend

# Outcomes after which an action counts as done for its module's done/total.
DONE_OUTCOMES = ("finished", "skipped")


class RunView:
    """Applies journal events in order; `snapshot()` is what a page needs to draw the run as it stands."""

    def __init__(self) -> None:
        self.events: list[dict] = []
        self.run: dict[str, Any] = {}
        self.state = "starting"
        self.modules: dict[str, dict[str, Any]] = {}
        self.interlocks: dict[str, dict[str, Any]] = {}
        self.decision: dict[str, Any] | None = None
        self.ended: dict[str, Any] | None = None
        self.last_t = 0.0
        self._last_failure: dict[str, Any] | None = None

    def apply(self, event: dict) -> None:
        self.events.append(event)
        self.last_t = max(self.last_t, float(event["t"]))
        handler = getattr(self, "_on_" + event["event"], None)
        if handler is not None:
            handler(event)

    def _module(self, name: Any) -> dict[str, Any]:
        name = str(name)
        if name not in self.modules:
            self.modules[name] = {"name": name, "total": 0, "done": 0, "current": None, "failed": False,
                                  "last_end": None}
        return self.modules[name]

    def _on_run_started(self, event: dict) -> None:
        self.state = "running"
        self.run = {key: event.get(key) for key in ("script", "cell", "handler", "simulator", "run_dir")
                    if key in event}
        modules = event.get("modules") or {}
        for name, total in (modules.items() if isinstance(modules, dict) else ()):
            self._module(name)["total"] = total if isinstance(total, int) else 0
        for name in event.get("interlocks") or ():
            self.interlocks.setdefault(str(name), {"name": str(name), "state": "safe", "since": event["t"]})

    def _on_action_started(self, event: dict) -> None:
        module = self._module(event.get("module"))
        module["current"] = {key: event.get(key) for key in ("index", "text", "location")} | {"since": event["t"]}

    def _on_action_ended(self, event: dict) -> None:
        module = self._module(event.get("module"))
        outcome = event.get("outcome")
        current = module["current"]
        if current is not None and current.get("index") == event.get("index"):
            module["current"] = None
        if outcome in DONE_OUTCOMES:
            module["done"] += 1
        if outcome == "error":
            module["failed"] = True
            self._last_failure = {key: event.get(key) for key in ("module", "index", "text", "location", "reason")}
        elif outcome == "skipped" and self.decision is not None:
            self.decision = None
        module["last_end"] = event["t"]

    def _on_paused(self, event: dict) -> None:
        self.state = "paused"
        if event.get("cause") == "failure":
            self.state = "waiting_decision"
            self.decision = dict(self._last_failure or {})
            for key in ("module", "text", "location", "reason"):
                if event.get(key) is not None:
                    self.decision[key] = event[key]

    def _on_resumed(self, event: dict) -> None:
        self.state = "running"
        self.decision = None

    def _on_retry(self, event: dict) -> None:
        self.decision = None
        module = self.modules.get(str(event.get("module")))
        if module is not None:
            module["failed"] = False

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

    def _module_state(self, module: dict[str, Any]) -> str:
        if module["current"] is not None:
            return "running" if self.state in ("running", "ended") else "pausing"
        if module["failed"]:
            return "failed"
        if module["total"] and module["done"] >= module["total"]:
            return "done"
        if self.state == "ended":
            return "stopped"
        if self.state in ("paused", "waiting_decision"):
            return "paused"
        return "waiting"

    def snapshot(self, now: float | None = None) -> dict[str, Any]:
        """The run as it stands. `now` is the run's clock at this moment (seconds since its start), used for
        the elapsed time of what is still going; the time of the last event if not given."""
        now = self.last_t if now is None or self.state == "ended" else max(now, self.last_t)
        modules = []
        for module in self.modules.values():
            state = self._module_state(module)
            finished = state in ("done", "stopped", "failed") and module["last_end"] is not None
            modules.append({"name": module["name"], "state": state, "current": module["current"],
                            "done": module["done"], "total": module["total"],
                            "elapsed": module["last_end"] if finished else now})
        return {
            "run": self.run, "state": self.state, "now": now, "ended": self.ended, "modules": modules,
            "interlocks": list(self.interlocks.values()), "decision": self.decision,
            "chart": render_chart(records_from_events(self.events)), "legend": render_legend(),
        }
