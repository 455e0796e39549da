"""The one fold of a run's journal into its state: the run's state, each module's in the cell's order, the
pause, the decision awaited, the interlocks and the commands that apply. The terminal, `vemo ctl status`,
the console and `vemo report` all show what this fold gives."""

from __future__ import annotations

from typing import Any, Callable

from vemo.run import commands as table
from vemo.run import eta
from vemo.run.held import log_entry
from vemo.run.outputs import RunRecords
from vemo.run.states import PACKML, PACKML_ENDED, ENDED, module_state, run_state
from vemo.run.timeline import ActionRecord


class RunFold:
    """Applies journal events in order (`add`); its properties and `modules()` tell the run as it stands.
    The actions are folded by a `RunRecords`, the one behind the output files: `live` keeps only what the
    views of a run that goes on show (the run's own views, the console), so that a run of a week does not
    fill them; `vemo report` and the output files fold in full."""

    def __init__(self, live: bool = False) -> None:
        self.records = RunRecords(live)
        self.started = False
        self.ended: dict | None = None
        self.pause: dict | None = None  # {"mode", "cause"} while a pause or an interlock holds the run
        self.decision: dict | None = None  # the failure that waits for the operator's answer
        self.stop_cause: str | None = None
        self.interlocks: dict[str, dict[str, Any]] = {}
        self.interrupted: set[str] = set()  # modules whose motion a pause or an interlock stopped
        self.refused_stops: list[dict] = []  # axis_stop_refused events: axes that may still move
        self.estimate: float | None = None  # the plan's duration at the run's speed, from run_started
        self.start_t = 0.0  # when the run started, on the journal's clock
        self.held_for = 0.0  # seconds the run was held (paused, tripped, waiting for a decision), ended holds
        self.held_since: float | None = None  # when the hold that holds the run now began
        self.holds: list[dict] = []  # bands of the chart: {"kind", "name", "start", "end", "by"}, in order
        self.log: list[dict] = []  # the operator's event log: {"t", "kind", "text", "by"}
        self.handler_lost: dict | None = None
        self.pause_by: dict | None = None  # who paused the run, with when ({"t", "by"})
        self.stop_by: dict | None = None  # who stopped it ({"t", "by"})
        self.iterations: dict[int, dict] = {}  # per expanded loop, its latest iteration: {"iteration", "t",
        #                                        "held" (held_s then), "period" (the active seconds of the one before)}
        self.loop: int | None = None  # the expanded loop whose iteration started last
        self.module_iteration: dict[str, int] = {}  # per module, the iteration its latest action belongs to
        self.cycle_stop: dict | None = None  # the operator's stop after an iteration: {"loop", "iteration", "t", "by"}
        self._open: dict[tuple[str, str], dict] = {}  # the bands still open, by kind and name

    def add(self, event: dict) -> ActionRecord | None:
        """Folds in one event; returns the action record it changed, if any."""
        record = self.records.add(event)
        handler = self._handlers.get(event.get("event"))
        if handler is not None:
            handler(self, event)
            entry = log_entry(event, self)
            if entry is not None:
                self.log.append(entry)
        return record

    # --- the events ------------------------------------------------------------------------------

    def _run_started(self, event: dict) -> None:
        self.started = True
        self.start_t = float(event["t"])
        estimate = event.get("estimate_s")
        if isinstance(estimate, (int, float)) and not isinstance(estimate, bool) and estimate >= 0:
            self.estimate = float(estimate)
        interlocks = event.get("interlocks")
        for entry in interlocks if isinstance(interlocks, list) else ():
            if isinstance(entry, dict) and isinstance(entry.get("name"), str):
                self.interlocks[entry["name"]] = {"name": entry["name"], "state": "safe", "since": event["t"]}

    def _action_changed(self, event: dict) -> None:
        if isinstance(event.get("module"), str):
            self.interrupted.discard(event["module"])
            if event["event"] == "action_started" and isinstance(event.get("index"), int):
                where = self.records.iteration(event["module"], event["index"])
                if where is not None:
                    self.module_iteration[event["module"]] = where[1]
        if event.get("event") == "retry" or event.get("outcome") == "skipped":
            self.decision = None  # journals written before the answer was journaled as resumed

    def _hold(self, t: float) -> None:
        if self.held_since is None:
            self.held_since = t

    def _unhold(self, t: float) -> None:
        if self.held_since is not None:
            self.held_for += max(t - self.held_since, 0.0)
            self.held_since = None

    def _band(self, kind: str, name: str, t: float, by: Any = None) -> None:
        if (kind, name) not in self._open:
            band = {"kind": kind, "name": name, "start": t, "end": None, "by": by}
            self._open[(kind, name)] = band
            self.holds.append(band)

    def _close(self, kind: str, name: str | None, t: float) -> None:
        for key in [key for key in self._open if key[0] == kind and (name is None or key[1] == name)]:
            self._open.pop(key)["end"] = t

    def _paused(self, event: dict) -> None:
        t = float(event["t"])
        self._hold(t)
        if event.get("cause") == "failure":
            self._band("decision", str((event.get("failure") or {}).get("module")
                                       if isinstance(event.get("failure"), dict) else None), t)
            failure = event.get("failure") if isinstance(event.get("failure"), dict) else {}
            self.decision = {"module": failure.get("module"), "text": failure.get("action"),
                             "location": failure.get("location"), "reason": failure.get("reason"),
                             "attempts": failure.get("attempts")}
            return
        self._close("decision", None, t)
        self.decision = None
        self.pause = {"mode": event.get("mode"), "cause": event.get("cause")}
        if event.get("cause") == "operator":
            if self.pause_by is None or "by" in event:
                self.pause_by = {"t": t, "by": event.get("by")}
            self._band("pause", "operator", t, event.get("by"))

    def _resumed(self, event: dict) -> None:
        t = float(event["t"])
        self.pause = self.decision = self.pause_by = None
        self.interrupted.clear()
        self._unhold(t)
        self._close("pause", None, t)
        self._close("decision", None, t)

    def _motion_interrupted(self, event: dict) -> None:
        if isinstance(event.get("module"), str):
            self.interrupted.add(event["module"])

    def _axis_stop_refused(self, event: dict) -> None:
        self.refused_stops.append(event)

    def _interlock(self, event: dict) -> None:
        name = str(event.get("name"))
        state = "tripped" if event["event"] == "interlock_tripped" else "safe"
        entry = self.interlocks.get(name, {})
        self.interlocks[name] = {**entry, "name": name, "state": state, "since": event["t"],
                                 "module": event.get("module"), "input": event.get("input"),
                                 "value": event.get("value")}
        if state == "tripped":
            self._band("interlock", name, float(event["t"]), {"channel": "interlock", "name": name})
        else:
            self._close("interlock", name, float(event["t"]))

    def _stopping(self, event: dict) -> None:
        self.stop_cause = str(event.get("cause"))
        if self.stop_by is None:
            self.stop_by = {"t": float(event["t"]), "by": event.get("by"), "cause": self.stop_cause}

    def _recovery_started(self, event: dict) -> None:
        self.stop_cause = None

    def _held(self, now: float) -> float:
        """Seconds the run has been held up to `now`."""
        return self.held_for + (max(now - self.held_since, 0.0) if self.held_since is not None else 0.0)

    def _iteration_started(self, event: dict) -> None:
        loop, k, t = event.get("loop"), event.get("iteration"), float(event["t"])
        if not isinstance(loop, int) or not isinstance(k, int):
            return
        before = self.iterations.get(loop)
        period = before["period"] if before is not None else None
        if before is not None and k == before["iteration"] + 1:
            period = max(t - before["t"] - (self._held(t) - before["held"]), 0.0)
        self.iterations[loop] = {"iteration": k, "t": t, "held": self._held(t), "period": period}
        self.loop = loop

    def _cycle_stop_requested(self, event: dict) -> None:
        self.cycle_stop = {key: event.get(key) for key in ("loop", "iteration", "by")} | {"t": float(event["t"])}

    def _handler_lost(self, event: dict) -> None:
        self.handler_lost = event

    def _quiet(self, event: dict) -> None:
        """Events that change no state of the fold; they reach the operator's event log."""

    def _run_ended(self, event: dict) -> None:
        t = float(event["t"])
        self.ended = event
        self.decision = None
        self._unhold(t)
        for kind, name in list(self._open):
            self._close(kind, name, t)

    _handlers: dict[str, Callable[[RunFold, dict], Any]] = {
        "run_started": _run_started, "action_started": _action_changed, "action_ended": _action_changed,
        "retry": _action_changed, "paused": _paused, "resumed": _resumed,
        "motion_interrupted": _motion_interrupted, "axis_stop_refused": _axis_stop_refused,
        "interlock_tripped": _interlock, "interlock_cleared": _interlock, "stopping": _stopping,
        "recovery_started": _recovery_started, "run_ended": _run_ended, "handler_lost": _handler_lost,
        "decided": _quiet, "input_set": _quiet, "iteration_started": _iteration_started,
        "cycle_stop_requested": _cycle_stop_requested,
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
        """The operator commands that apply now (vemo.run.commands); a stop after the current iteration only
        with a loop the run expands as it goes."""
        return table.applicable(self.state, self.tripped(), loops=bool(self.records.loops))

    def packml(self) -> dict:
        """The run's state as a PackML state number and name."""
        state = PACKML_ENDED.get(str(self.ended.get("outcome")), PACKML[ENDED]) if self.ended else PACKML[self.state]
        return {"state": state.number, "name": state.name}

    def module_state(self, name: str) -> str:
        records = self.records
        total = records.totals.get(name, 0)
        # A module whose plan ends in a loop without end has run it all when the run finished (after an iteration).
        complete = records.settled.get(name, 0) == total if total is not None else \
            self.ended is not None and self.ended.get("outcome") == "finished"
        return module_state(run=self.state, ended=name in records.finished_at, failed=name in records.failed,
                            complete=complete, in_flight=records.current.get(name) is not None,
                            interrupted=name in self.interrupted,
                            deciding=self.decision is not None and self.decision.get("module") == name,
                            pause_mode=None if self.pause is None else self.pause["mode"])

    def modules(self) -> list[dict]:
        """Every module in the cell's order: `name`, `state`, `current` (its action in flight, a record or
        None), `done` (actions finished), `total` (None when its plan ends in a loop without end) and
        `iteration` (of the expanded loop its latest action belongs to, else None)."""
        records = self.records
        return [{"name": name, "state": self.module_state(name), "current": records.current.get(name),
                 "done": records.done[name], "total": total, "iteration": self.module_iteration.get(name)}
                for name, total in records.totals.items()]

    def status_modules(self) -> dict:
        """The modules as `vemo ctl status` gives them: by name, with `state`, `current` (the action's
        text), `done`, `total` and `iteration`."""
        return {m["name"]: {"state": m["state"], "current": m["current"].text if m["current"] else None,
                            "done": m["done"], "total": m["total"], "iteration": m["iteration"]}
                for m in self.modules()}

    # --- how far it has got ------------------------------------------------------------------------

    def progress(self, now: float | None = None) -> dict:
        """`done` and `total` actions of the run, `progress` (0 to 1), `remaining_s` (the plan's estimate
        corrected by the run's pace; None without an estimate and before any action is done), `held_s` and
        `loop` (see `loop_progress`). A run with a loop without end has a `total`, `progress` and
        `remaining_s` of None, until a stop after an iteration gives it an end: then `remaining_s` is that
        iteration's. `now` is the run's clock (the last event's time if not given)."""
        records = self.records
        now = records.last_t if now is None or self.ended is not None else max(now, records.last_t)
        endless = None in records.totals.values()
        total = None if endless else sum(records.totals.values())
        done = sum(records.settled.values())
        held = self._held(now)
        loop = self.loop_progress(now)
        if endless:
            share = remaining = None
            if self.ended is not None:
                remaining = 0.0
            elif loop is not None and loop["ends_after"] == loop["iteration"]:
                remaining = loop["iteration_remaining_s"]
        else:
            share = eta.progress(done, total)
            remaining = eta.remaining_seconds(self.estimate, share, max(now - self.start_t - held, 0.0),
                                              ended=self.ended is not None)
        return {"done": done, "total": total, "progress": None if share is None else round(share, 4),
                "remaining_s": None if remaining is None else round(remaining, 1), "held_s": round(held, 1),
                "loop": loop}

    def loop_progress(self, now: float) -> dict | None:
        """The expanded loop whose iteration started last: `loop`, `iteration`, `count` (None without end),
        `ends_after` (the iteration the operator's stop after an iteration ends it with, else None) and
        `iteration_remaining_s` (the last iteration's pace, or the plan's estimate before one has ended, less
        what this one has run; None when neither is known). None before any such loop has started."""
        latest = self.iterations.get(self.loop) if self.loop is not None else None
        if latest is None:
            return None
        loop = self.records.loops.get(self.loop)
        stop = self.cycle_stop
        ends_after = stop["iteration"] if stop is not None and stop.get("loop") == self.loop else None
        active = max(now - latest["t"] - (self._held(now) - latest["held"]), 0.0)
        remaining = eta.iteration_remaining(latest["period"] if latest["period"] is not None
                                            else loop.iteration_estimate if loop is not None else None,
                                            active, ended=self.ended is not None)
        return {"loop": self.loop, "iteration": latest["iteration"], "count": loop.count if loop is not None else None,
                "ends_after": ends_after, "iteration_remaining_s": None if remaining is None else round(remaining, 1)}
