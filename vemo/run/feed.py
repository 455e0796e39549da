"""Hands each module of a run its actions in order, making the rounds of expanded loops as the run goes."""

from __future__ import annotations

import threading
from typing import Any, Callable, Iterator

from vemo.lang.frontend import CompiledScript, ExpandedLoop, ModulePlan

# Rounds of a loop made ahead of the round the furthest module has entered. Making a round takes about 20 µs
# per action and a round runs for as long as its slowest module's actions, so one round ahead would do; the
# second keeps one in hand when the modules of a cycle drift a round apart, as its waits let them.
LOOKAHEAD_ROUNDS = 2

# How an action of a round made from the second names what it waits for: an action of the same round
# (SAME, module, position), of the round before it (PREVIOUS, module, position), or anything outside the loop
# (FIXED, the object itself).
SAME, PREVIOUS, FIXED = "same", "previous", "fixed"


def _refs(loop: ExpandedLoop) -> tuple[dict[int, tuple[str, str, int]], dict[int, tuple[str, str, int]]]:
    """What the actions and finish signals of the first two rounds are, as seen from the second round."""
    actions, signals = {}, {}
    for module, rounds in loop.rounds.items():
        for kind, part in ((PREVIOUS, rounds[0]), (SAME, rounds[1])):
            for position, action in enumerate(part):
                actions[id(action)] = (kind, module, position)
                signals[id(action.finish_signal)] = (kind, module, position)
    return actions, signals


class LoopRounds:
    """The rounds of one expanded loop as the run makes them. Round 1, round 2 and (when the loop has an
    end) its last round are the compiler's; every other round k is a copy of round 2 whose waits on round
    2 name round k and whose waits on round 1 name round k - 1. A round is kept until every module of the
    loop has taken it; the round before the newest is kept to make the next."""

    def __init__(self, loop: ExpandedLoop, on_made: Callable[[ExpandedLoop, int, dict[str, list]], None]) -> None:
        self.loop = loop
        self.on_made = on_made
        actions, signals = _refs(loop)
        # The recipe of round 2, read once: round 2's own actions clear their waits once they have run.
        self.recipe: dict[str, list[tuple[Any, list, Any]]] = {}
        for module, rounds in loop.rounds.items():
            self.recipe[module] = [
                (action, [actions.get(id(d), (FIXED, d)) for d in action.dependency],
                 None if action.script_dep is None else signals.get(id(action.script_dep), (FIXED, action.script_dep)))
                for action in rounds[1]]
        self.made = 2
        self.kept: dict[int, dict[str, list]] = {1: {m: r[0] for m, r in loop.rounds.items()},
                                                 2: {m: r[1] for m, r in loop.rounds.items()}}
        self.taken: dict[int, set[str]] = {}  # per round kept: the modules that have taken it
        self.last_wanted: int | None = loop.count  # the last round that runs; a stop after a round lowers it

    def take(self, module: str, k: int) -> list | None:
        """Round k's actions on `module`, made with those ahead of it; None when round k does not run."""
        if self.last_wanted is not None and k > self.last_wanted:
            return None
        if self.loop.count is not None and k == self.loop.count:
            actions = self._last_round()[module]
        else:
            self._make_up_to(k + LOOKAHEAD_ROUNDS)
            actions = self.kept[k][module]
        self.taken.setdefault(k, set()).add(module)
        self._drop(k)
        return actions

    def _drop(self, k: int) -> None:
        """Lets round k go once every module has taken it, unless the next round is still to be made from it."""
        if k < self.made and len(self.taken.get(k, ())) == len(self.loop.rounds):
            del self.taken[k]
            self.kept.pop(k, None)

    def _make_up_to(self, wanted: int) -> None:
        if self.loop.count is not None:
            wanted = min(wanted, self.loop.count - 1)
        while self.made < wanted:
            k = self.made + 1
            previous = self.kept[self.made]
            made = {module: [action.copy() for action, _, _ in recipe] for module, recipe in self.recipe.items()}
            for module, recipe in self.recipe.items():
                for fresh, (_, waits, after) in zip(made[module], recipe):
                    fresh.dependency = [self._resolve(ref, made, previous) for ref in waits]
                    fresh.script_dep = None if after is None else self._signal(after, made, previous)
            self.kept[k] = made
            self.made = k
            self.on_made(self.loop, k, made)
            self._drop(k - 1)

    @staticmethod
    def _resolve(ref: tuple, made: dict[str, list], previous: dict[str, list]) -> Any:
        if ref[0] == FIXED:
            return ref[1]
        return (made if ref[0] == SAME else previous)[ref[1]][ref[2]]

    def _signal(self, ref: tuple, made: dict[str, list], previous: dict[str, list]) -> Any:
        return ref[1] if ref[0] == FIXED else self._resolve(ref, made, previous).finish_signal

    def _last_round(self) -> dict[str, list]:
        """The compiler's last round, once: its waits are met inside it, as every round's are, and its script
        order, which names round 2 where it was built, is turned to the round before it."""
        count = self.loop.count
        if count not in self.kept:
            self._make_up_to(count - 1)
            previous = self.kept[count - 1]
            _, signals = _refs(self.loop)
            for rounds in self.loop.rounds.values():
                for action in rounds[2]:
                    ref = signals.get(id(action.script_dep)) if action.script_dep is not None else None
                    if ref is not None and ref[0] == SAME:
                        action.script_dep = previous[ref[1]][ref[2]].finish_signal
            self.kept[count] = {m: r[2] for m, r in self.loop.rounds.items()}
            self.on_made(self.loop, count, self.kept[count])
        return self.kept[count]


class Feed:
    """The actions of every module of a run in order, the rounds of expanded loops made as the modules
    reach them. A module takes its next action with `next(module)`; `stop_after_round()` ends every loop
    running now after its current round, and the run with it."""

    def __init__(self, compiled: CompiledScript, on_made: Callable[[ExpandedLoop, int, dict[str, list]], None]) -> None:
        self._lock = threading.Lock()
        self.loops = [LoopRounds(loop, on_made) for loop in compiled.loops]
        # Modules in lane mode (a compete block) hold no expanded loop: they take their lanes as they are.
        self._streams = {plan.name: self._stream(plan) for plan in compiled.plans if isinstance(plan.sequence, list)}
        self._entered: dict[int, int] = {}  # per loop: the furthest round a module has entered
        self._last_handed: dict[str, Any] = {}
        self.ending = False  # a stop after the current round was asked for
        self.release = True  # whether an action's waits are let go once the module asks for its next
        # The module each built action is on, by its finish signal: what an action outside a loop may wait on.
        self._owners = {action.finish_signal: plan.name for plan in compiled.plans
                        if isinstance(plan.sequence, list) for action in plan.sequence}

    def _stream(self, plan: ModulePlan) -> Iterator[tuple[Any, LoopRounds | None, int]]:
        """A module's actions in order, each with its loop and round (None and 0 outside loops)."""
        sequence = plan.sequence
        position = 0
        uses = sorted(((rounds.loop.start[plan.name], rounds) for rounds in self.loops
                       if plan.name in rounds.loop.start), key=lambda use: use[0])
        for start, rounds in uses:
            for action in sequence[position:start]:
                yield action, None, 0
            built = sum(map(len, rounds.loop.rounds[plan.name]))
            position = start + built
            k = 1
            while True:
                actions = rounds.take(plan.name, k)
                if actions is None:
                    if self.ending:
                        return
                    break
                for action in actions:
                    yield action, rounds, k
                k += 1
        if not self.ending:
            for action in sequence[position:]:
                yield action, None, 0

    def feeds(self, module: str) -> bool:
        """Whether `module` takes its actions from the feed (a module in lane mode takes its lanes)."""
        return module in self._streams

    def next(self, module: str) -> Any:
        """The module's next action, or None when it has no more. The action it took before has run by
        now: its waits are let go, so that the actions of finished rounds can be freed."""
        with self._lock:
            previous = self._last_handed.pop(module, None)
            if previous is not None and self.release:
                previous.dependency = []
            stream = self._streams.get(module)
            entry = next(stream, None) if stream is not None else None
            if entry is None:
                self._streams.pop(module, None)
                return None
            action, rounds, k = entry
            if rounds is not None and k > self._entered.get(rounds.loop.number, 0):
                self._entered[rounds.loop.number] = k
            self._last_handed[module] = action
            return action

    def stop_after_round(self) -> list[tuple[int, int]]:
        """Ends every loop after the round the furthest module has entered (the first, if none has entered
        one yet), and the modules after that: what follows the loop does not run. Returns (loop, last
        round) for each loop that will end so."""
        with self._lock:
            self.ending = True
            ended = []
            for rounds in self.loops:
                last = max(self._entered.get(rounds.loop.number, 0), 1)
                if rounds.last_wanted is None or last < rounds.last_wanted:
                    rounds.last_wanted = last
                ended.append((rounds.loop.number, rounds.last_wanted))
            return ended

    def stranded(self, ended: set[str]) -> list[str]:
        """After a stop after the round: the modules not in `ended` whose action in hand waits on an action of a
        module in `ended` that did not finish it. A module finishes its actions on its own thread, so that
        action will never run; nor will the one that waits on it, which follows the loop."""
        with self._lock:
            if not self.ending:
                return []
            stuck = []
            for module, action in self._last_handed.items():
                waits = [entry.finish_signal for entry in action.dependency]
                if action.script_dep is not None:
                    waits.append(action.script_dep)
                if module not in ended and any(self._owners.get(signal) in ended and not signal.is_set()
                                               for signal in waits):
                    stuck.append(module)
            return stuck


def _take_next(module: Any) -> Any:
    return module.feed.next(module.feed_name)


def _never_cleared(module: Any) -> bool:
    return False  # the feed says when the module is done: its next action is None


def fed_module(kind: type, feed: Feed, name: str) -> Any:
    """A module of `kind` that takes its actions from `feed` instead of its queues."""
    fed = type(kind.__name__, (kind,), {"__module__": kind.__module__, "__doc__": kind.__doc__,
                                         "queue_cleared": _never_cleared, "get_next_queue_action": _take_next})
    module = fed([])
    module.feed, module.feed_name = feed, name
    return module
