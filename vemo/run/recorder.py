"""The run's recorder: names every action and writes what the module threads report about it to the journal."""

from __future__ import annotations

from typing import Any

from vemo.run.drive import describe_action
from vemo.run.journal import Journal


class Recorder:
    """Names every action of the plans by its module and its 1-based index in that module's list, and
    writes what the module threads report about each action to the journal as it happens. The actions
    of an except block are named on when it is about to run, after the module's others. An action's
    text is its own description (its `describe()`), the one place every view takes it from."""

    def __init__(self, plans: list, origin: Any, journal: Journal, order: list[str] | tuple[str, ...] = ()) -> None:
        self.journal = journal
        self.origin = origin
        self._keys: dict[int, tuple[str, int, str, str | None]] = {}
        self._counts: dict[str, int] = {}
        self.failed: list[Any] = []  # the actions that failed, in the order they did
        self._planned = self._name(plans)
        totals = {plan.name: len(plan.actions()) for plan in plans}
        # The modules in the cell's order (the order every view lists them in), then any the cell lacks.
        self.totals = {name: totals[name] for name in [*order, *totals] if name in totals}

    def _name(self, plans: list, recovery: str | None = None) -> list[dict]:
        planned: list[dict] = []
        by_signal: dict[int, list] = {}
        for plan in plans:
            for lane, actions in plan.lanes.items():
                for action in actions:
                    index = self._counts[plan.name] = self._counts.get(plan.name, 0) + 1
                    text = describe_action(action)
                    location = self.origin(action)
                    self._keys[id(action)] = (plan.name, index, text, location)
                    by_signal[id(action.finish_signal)] = [plan.name, index]
                    entry = {"module": plan.name, "index": index, "text": text, "location": location,
                             "kind": type(action).__name__, "lane": None if lane is None else str(lane),
                             "action": action}
                    planned.append({**entry, "recovery": recovery} if recovery is not None else entry)
        for entry in planned:
            action = entry.pop("action")
            entry["waits"] = [list(self._keys[id(d)][:2]) for d in action.dependency if id(d) in self._keys]
            entry["after"] = by_signal.get(id(action.script_dep)) if action.script_dep is not None else None
        return planned

    def write_plan(self) -> None:
        """One action_planned event per action, in plan order, so that the journal alone tells every
        action of the run, those that never start included."""
        for entry in self._planned:
            self.journal.write("action_planned", **entry)

    def plan_recovery(self, plans: list, name: str) -> None:
        """Names the actions of an except block and writes their action_planned events."""
        for entry in self._name(plans, name):
            self.journal.write("action_planned", **entry)

    def key(self, action: Any) -> list:
        """[module, index], as the journal refers to an action."""
        return list(self._keys[id(action)][:2])

    def on_start(self, action: Any) -> None:
        key = self._keys.get(id(action))
        if key is not None:
            module, index, text, location = key
            self.journal.write("action_started", module=module, index=index, text=text, location=location)

    def on_retry(self, action: Any, attempt: int, reason: str) -> None:
        key = self._keys.get(id(action))
        if key is not None:
            module, index, text, location = key
            self.journal.write("retry", module=module, index=index, text=text, location=location, attempt=attempt,
                               reason=reason)

    def on_end(self, action: Any, outcome: str, reason: str | None) -> None:
        if outcome == "error":
            self.failed.append(action)
        key = self._keys.get(id(action))
        if key is not None:
            module, index, text, location = key
            fields = {"reason": reason} if reason is not None else {}
            self.journal.write("action_ended", module=module, index=index, text=text, location=location,
                               outcome=outcome, **fields)
