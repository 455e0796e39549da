"""The run's recorder: names every action and writes what the module threads report about it to the journal."""

from __future__ import annotations

import threading
from typing import Any

from vemo.lang.frontend import ExpandedLoop, numbered
from vemo.run.drive import describe_action
from vemo.run.journal import Journal


class Recorder:
    """Names every action of the plans by its module and its 1-based index in that module's list, and
    writes what the module threads report about each action to the journal as it happens. The actions
    of an except block are named on when it is about to run, after the module's others. An action's
    text is its own description (its `describe()`), the one place every view takes it from.

    Rounds of expanded loops are named as the run makes them (`name_round`), and an action's name is let go
    once it has ended (but for the failed ones), so that a run of any length keeps only the names of the
    actions to come. The first action of each round to start writes the round's iteration_started."""

    def __init__(self, plans: list, origin: Any, journal: Journal, order: list[str] | tuple[str, ...] = (),
                 loops: list[ExpandedLoop] = (), totals: dict[str, int | None] | None = None) -> None:
        self.journal = journal
        self.origin = origin
        self.loops = list(loops)
        self._keys: dict[int, tuple[str, int, str, str | None, tuple | None]] = {}
        self._counts: dict[str, int] = {}
        self._first: dict[tuple[int, str], int] = {}  # (loop, module) -> the index before its first action
        self._round_started: dict[int, int] = {}
        self._lock = threading.Lock()
        self.failed: list[Any] = []  # the actions that failed, in the order they did
        self.failures: list[tuple[str | None, str]] = []  # (except block or None, reason) of each failure
        self.last_end = 0.0  # when the last action ended, on the journal's clock
        self._planned = self._name(numbered(plans, self.loops))
        for loop in self.loops:
            for module in loop.rounds:
                self._first[(loop.number, module)] = self._keys[id(loop.rounds[module][0][0])][1] - 1
        if totals is None:
            totals = {plan.name: len(plan.actions()) for plan in plans}
        # The modules in the cell's order (the order every view lists them in), then any the cell lacks.
        self.totals = {name: totals[name] for name in [*order, *totals] if name in totals}

    def _name(self, entries: Any, recovery: str | None = None) -> list[dict]:
        planned: list[dict] = []
        by_signal: dict[int, Any] = {}
        for module, lane, index, action, round_ in entries:
            self._counts[module] = max(self._counts.get(module, 0), index)
            text = describe_action(action)
            location = self.origin(action)
            self._keys[id(action)] = (module, index, text, location, round_ if recovery is None else recovery)
            by_signal[id(action.finish_signal)] = action
            entry = {"module": module, "index": index, "text": text, "location": location,
                     "kind": type(action).__name__, "lane": None if lane is None else str(lane),
                     "action": action}
            planned.append({**entry, "recovery": recovery} if recovery is not None else entry)
        for entry in planned:
            action = entry.pop("action")
            part = self._keys[id(action)][4]
            entry["waits"] = [self._reference(part, d) for d in action.dependency if id(d) in self._keys]
            after = by_signal.get(id(action.script_dep)) if action.script_dep is not None else None
            entry["after"] = self._reference(part, after) if after is not None else None
        return planned

    def _reference(self, part: Any, target: Any) -> list:
        """[module, index] of what an action waits for. The last round of a loop is built after its second
        and waits on it; the run makes it wait on the round before it instead, and so does its plan line."""
        module, index, _, _, other = self._keys[id(target)]
        if isinstance(part, tuple) and isinstance(other, tuple) and other[0] == part[0] and other[1] == 2 < part[1]:
            loop = next(candidate for candidate in self.loops if candidate.number == part[0])
            index += (part[1] - 3) * loop.size(module)
        return [module, index]

    def write_plan(self, round_estimates: dict[int, float | None] | None = None) -> None:
        """One loop_planned event per expanded loop, then one action_planned event per action the plans
        hold, in plan order, so that the journal alone tells every action of the run, those that never
        start included: the rounds of a loop not written are its second's copies."""
        for loop in self.loops:
            self.journal.write("loop_planned", loop=loop.number, location=str(loop.origin), count=loop.count,
                               iteration_estimate_s=(round_estimates or {}).get(loop.number),
                               modules=[{"module": module, "first": self._first[(loop.number, module)] + 1,
                                         "per_iteration": loop.size(module)} for module in loop.rounds])
        for entry in self._planned:
            self.journal.write("action_planned", **entry)
        self._planned = []

    def plan_recovery(self, plans: list, name: str) -> None:
        """Names the actions of an except block, after the module's others, and writes their
        action_planned events."""
        entries = []
        for plan in plans:
            for lane, actions in plan.lanes.items():
                for action in actions:
                    self._counts[plan.name] = self._counts.get(plan.name, 0) + 1
                    entries.append((plan.name, lane, self._counts[plan.name], action, None))
        for entry in self._name(entries, name):
            self.journal.write("action_planned", **entry)

    def name_round(self, loop: ExpandedLoop, k: int, made: dict[str, list]) -> None:
        """Names round k of an expanded loop, as the run makes it."""
        for module, actions in made.items():
            first = self._first[(loop.number, module)] + (k - 1) * len(actions)
            for j, action in enumerate(actions, 1):
                if id(action) not in self._keys:
                    self._keys[id(action)] = (module, first + j, describe_action(action), self.origin(action),
                                              (loop.number, k))
            self._counts[module] = max(self._counts.get(module, 0), first + len(actions))

    def key(self, action: Any) -> list:
        """[module, index], as the journal refers to an action."""
        return list(self._keys[id(action)][:2])

    def on_start(self, action: Any) -> None:
        key = self._keys.get(id(action))
        if key is not None:
            module, index, text, location, round_ = key
            if isinstance(round_, tuple):
                with self._lock:
                    if round_[1] > self._round_started.get(round_[0], 0):
                        self._round_started[round_[0]] = round_[1]
                        self.journal.write("iteration_started", loop=round_[0], iteration=round_[1])
            self.journal.write("action_started", module=module, index=index, text=text, location=location)

    def on_retry(self, action: Any, attempt: int, reason: str) -> None:
        key = self._keys.get(id(action))
        if key is not None:
            module, index, text, location, _ = key
            self.journal.write("retry", module=module, index=index, text=text, location=location, attempt=attempt,
                               reason=reason)

    def on_end(self, action: Any, outcome: str, reason: str | None) -> None:
        if outcome == "error":
            self.failed.append(action)
            key = self._keys.get(id(action))
        else:
            key = self._keys.pop(id(action), None)  # ended for good: its name is not needed any more
        if key is not None:
            module, index, text, location, part = key
            if outcome == "error":
                self.failures.append((part if isinstance(part, str) else None, reason or text))
            # A finished action's line names it by module and index alone (its action_started gives the text):
            # it is the line a long run writes most.
            fields = {} if outcome == "finished" else {"text": text, "location": location}
            if reason is not None:
                fields["reason"] = reason
            entry = self.journal.write("action_ended", module=module, index=index, outcome=outcome, **fields)
            self.last_end = max(self.last_end, entry["t"]) if isinstance(entry, dict) else self.last_end
