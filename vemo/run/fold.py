"""The one fold of a run's journal into its state: the run's state, each module's in the cell's order, the
pause, the decision awaited, the interlocks and the commands that apply. The terminal, `vemo ctl status`,
the console and `vemo report` all show what this fold gives."""

from __future__ import annotations

from typing import Any, Callable

from vemo.run import commands as table
from vemo.run.outputs import RunRecords
from vemo.run.states import PACKML, PACKML_ENDED, ENDED, module_state, run_state
from vemo.run.timeline import ActionRecord


class RunFold:
    """Applies journal events in order (`add`); its properties and `modules()` tell the run as it stands.
    The actions are folded by a `RunRecords`, the one behind the output files."""

    def __init__(self) -> None:
        self.records = RunRecords()
        self.started = False
        self.ended: dict | None = None
        self.pause: dict | None = None  # {"mode", "cause"} while a pause or an interlock holds the run
        self.decision: dict | None = None  # the failure that waits for the operator's answer
        self.stop_cause: str | None = None
        self.interlocks: dict[str, dict[str, Any]] = {}
        self.interrupted: set[str] = set()  # modules whose motion a pause or an interlock stopped
        self.refused_stops: list[dict] = []  # axis_stop_refused events: axes that may still move

    def add(self, event: dict) -> ActionRecord | None:
        """Folds in one event; returns the action record it changed, if any."""
        record = self.records.add(event)
        handler = self._handlers.get(event.get("event"))
        if handler is not None:
            handler(self, event)
        return record

    # --- the events ------------------------------------------------------------------------------

    def _run_started(self, event: dict) -> None:
        self.started = True
        interlocks = event.get("interlocks")
        for entry in interlocks if isinstance(interlocks, list) else ():
            if isinstance(entry, dict) and isinstance(entry.get("name"), str):
                self.interlocks[entry["name"]] = {"name": entry["name"], "state": "safe", "since": event["t"]}

    def _action_changed(self, event: dict) -> None:
        if isinstance(event.get("module"), str):
            self.interrupted.discard(event["module"])
        if event.get("event") == "retry" or event.get("outcome") == "skipped":
            self.decision = None  # journals written before the answer was journaled as resumed

    def _paused(self, event: dict) -> None:
        if event.get("cause") == "failure":
            failure = event.get("failure") if isinstance(event.get("failure"), dict) else {}
            self.decision = {"module": failure.get("module"), "text": failure.get("action"),
                             "location": failure.get("location"), "reason": failure.get("reason"),
                             "attempts": failure.get("attempts")}
            return
        self.decision = None
        self.pause = {"mode": event.get("mode"), "cause": event.get("cause")}

    def _resumed(self, event: dict) -> None:
        self.pause = self.decision = None
        self.interrupted.clear()

    def _motion_interrupted(self, event: dict) -> None:
        if isinstance(event.get("module"), str):
            self.interrupted.add(event["module"])

    def _axis_stop_refused(self, event: dict) -> None:
        self.refused_stops.append(event)

    def _interlock(self, event: dict) -> None:
        name = str(event.get("name"))
        state = "tripped" if event["event"] == "interlock_tripped" else "safe"
        self.interlocks[name] = {"name": name, "state": state, "since": event["t"]}

    def _stopping(self, event: dict) -> None:
        self.stop_cause = str(event.get("cause"))

    def _recovery_started(self, event: dict) -> None:
        self.stop_cause = None

    def _run_ended(self, event: dict) -> None:
        self.ended = event
        self.decision = None

    _handlers: dict[str, Callable[[RunFold, dict], Any]] = {
        "run_started": _run_started, "action_started": _action_changed, "action_ended": _action_changed,
        "retry": _action_changed, "paused": _paused, "resumed": _resumed,
        "motion_interrupted": _motion_interrupted, "axis_stop_refused": _axis_stop_refused,
        "interlock_tripped": _interlock, "interlock_cleared": _interlock, "stopping": _stopping,
        "recovery_started": _recovery_started, "run_ended": _run_ended,
    }

    # --- the run as it stands ----------------------------------------------------------------------

    @property
    def state(self) -> str:
        records = self.records
        return run_state(started=self.started, ended=self.ended is not None, stopping=self.stop_cause is not None,
                         decision=self.decision is not None, pause=self.pause,
                         in_flight=self.pause is not None and self.pause["mode"] == "deferred"
                         and any(records.current.values()))

    def tripped(self) -> list[str]:
        return sorted(name for name, entry in self.interlocks.items() if entry["state"] == "tripped")

    def commands(self) -> list[str]:
        """The operator commands that apply now (vemo.run.commands)."""
        return table.applicable(self.state, self.tripped())

    def packml(self) -> dict:
        """The run's state as a PackML state number and name."""
        state = PACKML_ENDED.get(str(self.ended.get("outcome")), PACKML[ENDED]) if self.ended else PACKML[self.state]
        return {"state": state.number, "name": state.name}

    def module_state(self, name: str) -> str:
        records = self.records
        planned = [r for r in records.records if r.module == name and r.recovery is None]
        complete = len(planned) == records.totals.get(name, 0) and \
            all(r.outcome in ("finished", "skipped") for r in planned)
        return module_state(run=self.state, ended=name in records.finished_at, failed=name in records.failed,
                            complete=complete, in_flight=records.current.get(name) is not None,
                            interrupted=name in self.interrupted,
                            deciding=self.decision is not None and self.decision.get("module") == name,
                            pause_mode=None if self.pause is None else self.pause["mode"])

    def modules(self) -> list[dict]:
        """Every module in the cell's order: `name`, `state`, `current` (its action in flight, a record or
        None), `done` (actions finished) and `total`."""
        records = self.records
        return [{"name": name, "state": self.module_state(name), "current": records.current.get(name),
                 "done": records.done[name], "total": total} for name, total in records.totals.items()]

    def status_modules(self) -> dict:
        """The modules as `vemo ctl status` gives them: by name, with `state`, `current` (the action's
        text), `done` and `total`."""
        return {m["name"]: {"state": m["state"], "current": m["current"].text if m["current"] else None,
                            "done": m["done"], "total": m["total"]} for m in self.modules()}
