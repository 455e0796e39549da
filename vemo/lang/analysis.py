"""Static checks of a compiled script (waits that can never be met, wait cycles) and its duration estimate."""

from __future__ import annotations

import dataclasses
from typing import Any

from vemo.lang.frontend import CompiledScript, ExpandedLoop, numbered


@dataclasses.dataclass
class Problem:
    """A fault found in a compiled script; `origin` is the script location it is reported at."""

    origin: str | None
    message: str
    actions: list[str] = dataclasses.field(default_factory=list)

    def report(self) -> str:
        return f"{self.origin or '<script>'}: {self.message}"


@dataclasses.dataclass
class Step:
    """One action of a module's plan, with the names of what it waits for."""

    label: str
    action: Any
    module: str
    lane: Any
    waits: list[str]
    after: str | None
    duration: float | None = None
    start: float | None = None
    finish: float | None = None
    recovery: str | None = None  # the except block that runs if the action fails (E1, ...)


@dataclasses.dataclass
class Analysis:
    steps: list[Step]
    problems: list[Problem]
    estimate: float | None
    critical_path: list[str]
    unknown_durations: list[str]
    recovery_steps: dict[str, list[Step]] = dataclasses.field(default_factory=dict)
    # Per expanded loop (by number): the seconds one more round adds to the run, None if unknown.
    round_seconds: dict[int, float | None] = dataclasses.field(default_factory=dict)
    endless: bool = False  # the script has a loop without end: `estimate` is None


def _labels(plans: list, prefix: str = "", loops: list[ExpandedLoop] = ()) -> dict[int, str]:
    """Each action's label: MODULE#INDEX by its index in the module's whole list, the rounds of expanded
    loops that are not built counted; MODULE[LANE]#INDEX by its index in its lane."""
    labels = {}
    for module, _, index, action, _ in numbered([p for p in plans if not isinstance(p.sequence, dict)], loops):
        labels[id(action)] = f"{prefix}{module}#{index}"
    for plan in plans:
        if isinstance(plan.sequence, dict):
            for lane, actions in plan.sequence.items():
                for index, action in enumerate(actions, 1):
                    labels[id(action)] = f"{prefix}{plan.name}[{lane}]#{index}"
    return labels


def analyse(compiled: CompiledScript) -> Analysis:
    """Names every action, finds waits that cannot be met and cycles, and estimates the run's duration.
    Each except block is checked too: it runs as a program of its own (its actions are named E1.XAxis#1,
    ...), so it may wait only on its own actions. It gets no estimate: where its axes start depends on
    where the run failed."""
    steps, problems, before, labels = _examine(compiled, compiled.plans, loops=compiled.loops)
    for step in steps:
        recovery = compiled.recovery_of(step.action)
        step.recovery = recovery.name if recovery is not None else None
    cycles = _cycle_problems(compiled, steps, before, labels, problems)
    estimate, path, unknown, ordered = (None, [], [], []) if cycles else _estimate(steps, before, labels)
    analysis = Analysis(steps, problems, estimate, path, unknown)
    _loop_estimates(analysis, compiled.loops, before, ordered)
    for recovery in compiled.recoveries:
        steps, found, before, labels = _examine(compiled, recovery.plans, f"{recovery.name}.")
        _cycle_problems(compiled, steps, before, labels, found)
        analysis.recovery_steps[recovery.name] = steps
        problems.extend(found)
    return analysis


def _loop_estimates(analysis: Analysis, loops: list[ExpandedLoop], before: dict[int, list[Any]],
                    ordered: list[Step]) -> None:
    """What a round of each expanded loop adds to the run: the finish of its last built round less that of
    the round before (rounds after the first run alike, each after the one before); and the estimate of
    the whole run with every round counted, none for a loop without end.

    The rounds not built lie between a loop's second round and its last, so what waits on the last round
    from the second, and everything after that, is later by their time. Loops side by side on different
    modules delay different actions: their rounds overlap in the estimate as they do in the run."""
    finish = {id(step.action): step.finish for step in ordered}
    place: dict[int, tuple[int, int]] = {}  # an action of a built round: (loop, round)
    extra: dict[int, float] = {}  # per loop, the seconds of its rounds not built
    last_round: dict[int, int] = {}  # per counted loop, its last built round
    for loop in loops:
        built = len(loop.rounds[next(iter(loop.rounds))])
        ends = [max((finish.get(id(a)) for rounds in loop.rounds.values() for a in rounds[r]
                     if finish.get(id(a)) is not None), default=None) for r in range(built)]
        known = ends[-1] is not None and ends[-2] is not None
        seconds = analysis.round_seconds[loop.number] = max(ends[-1] - ends[-2], 0.0) if known else None
        if loop.count is None:
            analysis.endless = True
        elif seconds is not None:
            extra[loop.number] = (loop.count - built) * seconds
            last_round[loop.number] = built
        place.update((id(a), (loop.number, r)) for rounds in loop.rounds.values()
                     for r, part in enumerate(rounds, 1) for a in part)
    if analysis.endless:
        analysis.estimate = None
    if analysis.estimate is None or not extra:
        return
    # Lanes, whose module is busy with the sum of their actions, hold no loop made as the run goes.
    later: dict[int, float] = {}  # per action, the seconds of rounds not built that it comes after
    for step in ordered:
        loop, r = place.get(id(step.action), (-1, 0))
        gap = extra.get(loop, 0.0) if r == last_round.get(loop) else 0.0
        later[id(step.action)] = max((later[id(need)] + (gap if place.get(id(need)) == (loop, r - 1) else 0.0)
                                      for need in before[id(step.action)]), default=0.0)
    analysis.estimate = max([analysis.estimate] + [step.finish + later[id(step.action)] for step in ordered])


def _examine(compiled: CompiledScript, plans: list, prefix: str = "", loops: list[ExpandedLoop] = ()) \
        -> tuple[list[Step], list[Problem], dict[int, list[Any]], dict[int, str]]:
    """The steps of the plans with what each must wait for, and the waits that can never be met."""
    from _vemoprimitives import VemoId

    labels = _labels(plans, prefix, loops)
    # The last round of a long loop is built after its second and waits on it; the run makes it wait on
    # the round before it, and the listing names that one.
    rounds = {id(action): (loop, r) for loop in loops for built in loop.rounds.values()
              for r, part in enumerate(built, 1) for action in part}

    def label_of(action: Any, target: Any) -> str:
        mine, theirs = rounds.get(id(action)), rounds.get(id(target))
        if mine and theirs and mine[0] is theirs[0] and mine[1] == 3 and theirs[1] == 2:
            module, _, index = labels[id(target)].rpartition("#")
            loop = mine[0]
            return f"{module}#{int(index) + (loop.count - 3) * loop.size(module.removeprefix(prefix))}"
        return labels[id(target)]

    by_signal = {}
    for plan in plans:
        for action in plan.actions():
            by_signal[id(action.finish_signal)] = action
    problems: list[Problem] = []
    steps: list[Step] = []
    # Edges: what must have finished before an action can start (its waits, its script-order signal,
    # and, within a module's list or lane, the action queued before it).
    before: dict[int, list[Any]] = {}
    for plan in plans:
        for lane, actions in plan.lanes.items():
            previous = None
            for action in actions:
                label = labels[id(action)]
                owner = getattr(action.module, "name", None)
                if owner != plan.name:
                    # The compiler's module check is an assertion, skipped under `python -O`.
                    problems.append(Problem(compiled.origin(action), f"{label} is an action of {owner} but "
                                                                     f"would run on {plan.name}: a block mixes "
                                                                     f"modules", [label]))
                waits, needs = [], []
                for dependency in action.dependency:
                    if isinstance(dependency, VemoId):
                        where = compiled.origin(dependency) or compiled.origin(action)
                        problems.append(Problem(where, f"wait on {dependency.id!r} names no block that {label} "
                                                       f"can see (a named block of its chain or of another branch "
                                                       f"of the same async or compete block)", [label]))
                        waits.append(f"?{dependency.id}")
                    elif id(dependency) in labels:
                        waits.append(label_of(action, dependency))
                        needs.append(dependency)
                    else:
                        problems.append(Problem(compiled.origin(action), f"{label} waits on an action that no "
                                                                         f"module runs, so it never starts",
                                                [label]))
                        waits.append("?unscheduled")
                after = None
                if action.script_dep is not None:
                    source = by_signal.get(id(action.script_dep))
                    if source is None:
                        problems.append(Problem(compiled.origin(action), f"{label} waits in script order on a "
                                                                         f"signal that no action of the program "
                                                                         f"sets, so it never starts", [label]))
                        after = "?unscheduled"
                    else:
                        after = label_of(action, source)
                        needs.append(source)
                if previous is not None:
                    needs.append(previous)
                before[id(action)] = needs
                steps.append(Step(label, action, plan.name, lane, waits, after))
                previous = action
    return steps, problems, before, labels


def _cycle_problems(compiled: CompiledScript, steps: list[Step], before: dict[int, list[Any]],
                    labels: dict[int, str], problems: list[Problem]) -> bool:
    """Adds a problem per wait cycle; whether there was one."""
    cycles = _cycles(steps, before)
    for cycle in cycles:
        names = [labels[id(action)] for action in cycle]
        problems.append(Problem(compiled.origin(cycle[0]), "wait cycle: these actions wait on each other and can "
                                                           "never start: " + " -> ".join(names + names[:1]), names))
    return bool(cycles)


def _cycles(steps: list[Step], before: dict[int, list[Any]]) -> list[list[Any]]:
    """Strongly connected groups of actions that wait on each other (Tarjan, without recursion)."""
    index: dict[int, int] = {}
    low: dict[int, int] = {}
    on_stack: set[int] = set()
    stack: list[Any] = []
    found: list[list[Any]] = []
    counter = 0
    for step in steps:
        if id(step.action) in index:
            continue
        work = [(step.action, iter(before[id(step.action)]))]
        index[id(step.action)] = low[id(step.action)] = counter
        counter += 1
        stack.append(step.action)
        on_stack.add(id(step.action))
        while work:
            node, edges = work[-1]
            advanced = False
            for target in edges:
                if id(target) not in before:
                    continue
                if id(target) not in index:
                    index[id(target)] = low[id(target)] = counter
                    counter += 1
                    stack.append(target)
                    on_stack.add(id(target))
                    work.append((target, iter(before[id(target)])))
                    advanced = True
                    break
                if id(target) in on_stack:
                    low[id(node)] = min(low[id(node)], index[id(target)])
            if advanced:
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[id(parent)] = min(low[id(parent)], low[id(node)])
            if low[id(node)] == index[id(node)]:
                group = []
                while True:
                    member = stack.pop()
                    on_stack.discard(id(member))
                    group.append(member)
                    if member is node:
                        break
                if len(group) > 1 or any(need is node for need in before[id(node)]):
                    # Members come off the stack last-visited first; the search visits what an action
                    # waits for after the action, so reversed they read "a waits for b waits for ...".
                    found.append(group[::-1])
    return found


def _estimate(steps: list[Step], before: dict[int, list[Any]], labels: dict[int, str]) \
        -> tuple[float | None, list[str], list[str], list[Step]]:
    """Earliest finish of the last action when every action takes its estimated time, with its critical
    path, the actions without a time, and the steps in the order their waits allow."""
    unknown = []
    positions: dict[Any, Any] = {}
    by_id = {id(step.action): step for step in steps}
    for step in steps:
        estimate = getattr(step.action, "estimate", None)
        key = (step.module, step.lane)
        if estimate is None:
            unknown.append(step.label)
            continue
        step.duration, positions[key] = estimate(positions.get(key))
        if step.duration is None:
            unknown.append(step.label)
    if unknown:
        return None, [], unknown, []
    # Kahn's order over the wait edges: an action starts when the last thing it waits for finishes.
    waiting_on = {id(step.action): len(before[id(step.action)]) for step in steps}
    dependants: dict[int, list[Step]] = {}
    for step in steps:
        for need in before[id(step.action)]:
            dependants.setdefault(id(need), []).append(step)
    cause: dict[int, Any] = {}
    ready = [step for step in steps if waiting_on[id(step.action)] == 0]
    ordered = []
    while ready:
        step = ready.pop()
        ordered.append(step)
        latest = max(before[id(step.action)], key=lambda need: by_id[id(need)].finish, default=None)
        step.start = by_id[id(latest)].finish if latest is not None else 0.0
        step.finish = step.start + step.duration
        cause[id(step.action)] = latest
        for dependant in dependants.get(id(step.action), []):
            waiting_on[id(dependant.action)] -= 1
            if waiting_on[id(dependant.action)] == 0:
                ready.append(dependant)
    # Lanes of one module share it: the module is busy at least the sum of its actions.
    busy = {}
    for step in steps:
        busy[step.module] = busy.get(step.module, 0.0) + step.duration
    last = max(steps, key=lambda s: s.finish, default=None)
    if last is None:
        return 0.0, [], [], []
    path = []
    node = last.action
    while node is not None:
        path.append(labels[id(node)])
        node = cause.get(id(node))
    return max([last.finish, *busy.values()]), path[::-1], [], ordered
