"""The rules of `vemo check`'s analysis on plans of stand-in actions: which waits can never be met, which
actions form a wait cycle, and the duration estimate along waits, script order, module order and lanes."""

import types

import pytest

from _vemoprimitives import VemoId
from vemo.lang.analysis import Problem, analyse
from vemo.lang.frontend import CompiledScript, ModulePlan, Recovery


class Module:
    def __init__(self, name):
        self.name = name


class Action:
    """What the analysis reads of an action. `word` is `mN` (an axis move to position N: |N - from| seconds,
    from 0 at the start), `dN` (N seconds where it stands), `?` (time unknown) or `-` (no estimate at all);
    `word@M` puts an action of module M into another module's plan, `word@` one of a module without a name."""

    def __init__(self, word, module, label):
        word, at, owner = word.partition("@")
        self.word = word
        self.module = (Module(owner) if owner else object()) if at else module
        self.origin = label  # where it is reported: its own label, to tell the places apart
        self.dependency = []
        self.script_dep = None
        self.finish_signal = object()
        self.recovery = None
        if word != "-":
            self.estimate = self._estimate

    def _estimate(self, position):
        if self.word == "?":
            return None, position
        value = float(self.word[1:])
        if self.word[0] == "m":
            return abs(value - (position or 0.0)), value
        return value, position


def build(plans, wiring=(), prefix=""):
    """Module plans from {module: [words] or {lane: [words]}}, and the actions by label. `wiring` lines:
    `A waits B` (a wait), `A after B` (script order: A waits for B's finish signal); B may be `?name` (a
    wait on a name no block has) or `!name` (an action no module runs)."""
    actions, plans_built = {}, []
    for name, sequence in plans.items():
        module = Module(name)
        lanes = sequence if isinstance(sequence, dict) else {None: sequence}
        built = {}
        for lane, words in lanes.items():
            stem = name if lane is None else f"{name}[{lane}]"
            built[lane] = []
            for index, word in enumerate(words, 1):
                label = f"{prefix}{stem}#{index}"
                built[lane].append(actions.setdefault(label, Action(word, module, label)))
        plans_built.append(ModulePlan(name, module, built if isinstance(sequence, dict) else built[None]))
    strays = {}
    for line in wiring:
        waiter, how, waited = line.split()
        if waited.startswith("?"):
            target = VemoId(waited[1:])
        elif waited.startswith("!"):
            target = strays.setdefault(waited, Action("d1", Module("Stray"), waited))
        else:
            target = actions[waited]
        if how == "waits":
            actions[waiter].dependency.append(target)
        else:
            actions[waiter].script_dep = target.finish_signal
    return plans_built, actions


def analysed(plans, wiring=(), origins=None, recoveries=()):
    main, actions = build(plans, wiring)
    semantics = types.SimpleNamespace(origin=lambda item: (origins or {}).get(getattr(item, "id", None)))
    compiled = CompiledScript(None, main, semantics, [], list(recoveries))
    return analyse(compiled), actions


def problems(analysis):
    return [(p.origin, p.message, p.actions) for p in analysis.problems]


def estimate(analysis):
    return (analysis.estimate if analysis.estimate is None else round(analysis.estimate, 6),
            analysis.critical_path, analysis.unknown_durations)


CYCLE = "wait cycle: these actions wait on each other and can never start: "


@pytest.mark.parametrize("plans, wiring, cycles", [
    ({"X": ["d1"], "Z": ["d1"]}, ["X#1 waits Z#1", "Z#1 waits X#1"], [["X#1", "Z#1"]]),
    # Members read in wait order: X#1 waits for Z#1, which waits for G#1, which waits for X#1.
    ({"X": ["d1"], "Z": ["d1"], "G": ["d1"]}, ["X#1 waits Z#1", "Z#1 waits G#1", "G#1 waits X#1"],
     [["X#1", "Z#1", "G#1"]]),
    ({"G": ["d1"], "X": ["d1"], "Z": ["d1"]}, ["X#1 waits Z#1", "Z#1 waits G#1", "G#1 waits X#1"],
     [["G#1", "X#1", "Z#1"]]),
    # Through module order: X#2 comes after X#1, which waits for Z#1, which waits for X#2.
    ({"X": ["d1", "d1"], "Z": ["d1"]}, ["X#1 waits Z#1", "Z#1 waits X#2"], [["X#1", "Z#1", "X#2"]]),
    ({"X": ["d1", "d1"], "Z": ["d1"]}, ["Z#1 after X#2", "X#1 waits Z#1"], [["X#1", "Z#1", "X#2"]]),
    # An action waiting on itself is a cycle of one, reported once also when the search reached it earlier.
    ({"X": ["d1", "d1"]}, ["X#2 waits X#2"], [["X#2"]]),
    ({"Z": ["d1"], "X": ["d1"]}, ["Z#1 waits X#1", "X#1 waits X#1"], [["X#1"]]),
    # Two separate cycles; the action that waits on a cycle without being in it is not listed.
    ({"X": ["d1"], "Z": ["d1"], "G": ["d1"], "V": ["d1"], "W": ["d1"]},
     ["X#1 waits Z#1", "Z#1 waits X#1", "G#1 waits V#1", "V#1 waits G#1", "W#1 waits G#1"],
     [["X#1", "Z#1"], ["G#1", "V#1"]]),
    ({"W": ["d1"], "X": ["d1"], "Z": ["d1"]}, ["W#1 waits X#1", "X#1 waits Z#1", "Z#1 waits X#1"],
     [["X#1", "Z#1"]]),
    # A cycle entered from its second member, after a detour that closes no cycle.
    ({"A": ["d1"], "B": ["d1"], "C": ["d1"], "D": ["d1"]},
     ["A#1 waits D#1", "A#1 waits B#1", "B#1 waits C#1", "C#1 waits B#1"], [["B#1", "C#1"]]),
    # Lanes of one module do not queue behind each other; a lane's own order does.
    ({"L": {0: ["d1"], 1: ["d1", "d1"]}}, ["L[0]#1 waits L[1]#2"], []),
    ({"L": {0: ["d1"], 1: ["d1", "d1"]}}, ["L[0]#1 waits L[1]#2", "L[1]#1 waits L[0]#1"],
     [["L[0]#1", "L[1]#2", "L[1]#1"]]),
    # Waits that point the same way, and a diamond, are no cycle.
    ({"X": ["d1", "d1"], "Z": ["d1", "d1"]}, ["Z#1 waits X#1", "Z#2 waits X#2", "X#2 waits Z#1"], []),
    ({"A": ["d1"], "B": ["d1"], "C": ["d1"], "D": ["d1"]},
     ["B#1 waits A#1", "C#1 waits A#1", "D#1 waits B#1", "D#1 waits C#1"], []),
])
def test_wait_cycles_are_reported_once_each_with_exactly_their_members_in_wait_order(plans, wiring, cycles):
    analysis, _ = analysed(plans, wiring)
    assert problems(analysis) == [(names[0], CYCLE + " -> ".join(names + names[:1]), names) for names in cycles]
    if cycles:
        assert estimate(analysis) == (None, [], [])
    else:
        assert analysis.estimate is not None


def test_a_cycle_through_thousands_of_actions_is_found_without_deep_recursion():
    # X#1 waits for X#3000, which comes after X#2999, ... which comes after X#1.
    analysis, _ = analysed({"X": ["d1"] * 3000}, ["X#1 waits X#3000"])
    (found,) = analysis.problems
    assert found.actions == ["X#1"] + [f"X#{i}" for i in range(3000, 1, -1)]


NOWHERE = ("names no block that {label} can see (a named block of its chain or of another branch of the same "
           "async or compete block)")


@pytest.mark.parametrize("plans, wiring, origins, found, listed", [
    # A wait on a name no block has: at the wait's own place when it has one, else at the action.
    ({"X": ["d1"]}, ["X#1 waits ?ghost"], {"ghost": "s.vemo:4:10"},
     [("s.vemo:4:10", "wait on 'ghost' " + NOWHERE.format(label="X#1"), ["X#1"])], {"X#1": (["?ghost"], None)}),
    ({"X": ["d1"]}, ["X#1 waits ?ghost"], {},
     [("X#1", "wait on 'ghost' " + NOWHERE.format(label="X#1"), ["X#1"])], {"X#1": (["?ghost"], None)}),
    # A wait on an action that is in no plan.
    ({"X": ["d1"], "G": ["d1", "d1"]}, ["G#2 waits !stray"], {},
     [("G#2", "G#2 waits on an action that no module runs, so it never starts", ["G#2"])],
     {"G#1": ([], None), "G#2": (["?unscheduled"], None)}),
    # Script order on a signal no action of the program sets.
    ({"G": ["d1", "d1"]}, ["G#2 after !stray"], {},
     [("G#2", "G#2 waits in script order on a signal that no action of the program sets, so it never starts",
       ["G#2"])], {"G#2": ([], "?unscheduled")}),
    # What can be met is listed by label and is no problem.
    ({"X": ["d1", "d1"], "Z": ["d1"]}, ["Z#1 waits X#1", "X#2 after Z#1", "X#2 waits Z#1"], {}, [],
     {"X#1": ([], None), "X#2": (["Z#1"], "Z#1"), "Z#1": (["X#1"], None)}),
    ({"L": {0: ["d1"], 1: ["d1"]}}, ["L[0]#1 waits L[1]#1"], {}, [],
     {"L[0]#1": (["L[1]#1"], None), "L[1]#1": ([], None)}),
    # An action of another module in a plan (a block mixing modules, compiled without assertions).
    ({"X": ["d1", "d1@Z"]}, [], {},
     [("X#2", "X#2 is an action of Z but would run on X: a block mixes modules", ["X#2"])], {}),
    ({"X": ["d1@"]}, [], {}, [("X#1", "X#1 is an action of None but would run on X: a block mixes modules", ["X#1"])],
     {}),
    # Every fault is reported, in plan order; the waits that can be met still count.
    ({"X": ["d1", "d1"], "Z": ["d1"]}, ["X#1 waits ?a", "X#1 waits Z#1", "X#2 waits ?b"], {}, [
        ("X#1", "wait on 'a' " + NOWHERE.format(label="X#1"), ["X#1"]),
        ("X#2", "wait on 'b' " + NOWHERE.format(label="X#2"), ["X#2"])],
     {"X#1": (["?a", "Z#1"], None), "X#2": (["?b"], None)}),
])
def test_waits_that_can_never_be_met_are_reported_and_listed(plans, wiring, origins, found, listed):
    analysis, _ = analysed(plans, wiring, origins)
    assert problems(analysis) == found
    steps = {step.label: (step.waits, step.after) for step in analysis.steps}
    assert {label: steps[label] for label in listed} == listed


@pytest.mark.parametrize("origin, line", [("s.vemo:3:9", "s.vemo:3:9: m"), (None, "<script>: m")])
def test_a_problem_without_a_place_is_reported_at_the_script(origin, line):
    assert Problem(origin, "m").report() == line


def test_steps_carry_their_action_module_and_lane_in_plan_order():
    analysis, actions = analysed({"Z": ["d1"], "L": {2: ["d1", "d1"], 0: ["d1"]}})
    assert [(s.label, s.module, s.lane, s.action is actions[s.label]) for s in analysis.steps] == [
        ("Z#1", "Z", None, True), ("L[2]#1", "L", 2, True), ("L[2]#2", "L", 2, True), ("L[0]#1", "L", 0, True)]


@pytest.mark.parametrize("plans, wiring, seconds, path", [
    # One module: its actions add up; a move starts where the module's previous move ended.
    ({"X": ["m5", "m2", "d1"]}, [], 5 + 3 + 1, ["X#1", "X#2", "X#3"]),
    # Each module keeps its own position, and independent modules overlap: the longest sets the estimate.
    ({"X": ["m5"], "Z": ["m2", "m3"]}, [], 5, ["X#1"]),
    ({"X": ["m2"], "Z": ["m2", "m7"]}, [], 7, ["Z#1", "Z#2"]),
    # An action starts when the last thing it waits for has finished, and the path follows that.
    ({"X": ["d1", "d2"], "Z": ["d3"]}, ["X#2 waits Z#1"], 5, ["Z#1", "X#2"]),
    ({"X": ["d4", "d2"], "Z": ["d3"]}, ["X#2 waits Z#1"], 6, ["X#1", "X#2"]),
    ({"X": ["d1"], "Z": ["d3"], "G": ["d2"]}, ["G#1 waits X#1", "G#1 waits Z#1"], 5, ["Z#1", "G#1"]),
    ({"X": ["d3"], "Z": ["d1"], "G": ["d2"]}, ["G#1 after Z#1", "G#1 waits X#1"], 5, ["X#1", "G#1"]),
    # Lanes of one module each keep their own position and order, but share the module: it is busy for the
    # sum of its actions even where the lanes overlap.
    ({"L": {0: ["m3"], 1: ["m4"]}}, [], 7, ["L[1]#1"]),
    ({"L": {0: ["m3", "m5"]}, "X": ["d1"]}, [], 5, ["L[0]#1", "L[0]#2"]),
    ({"L": {0: ["d1"], 1: ["d2"]}, "X": ["d4"]}, [], 4, ["X#1"]),
    ({}, [], 0, []),
])
def test_estimate_is_the_latest_finish_along_waits_module_order_and_lanes(plans, wiring, seconds, path):
    analysis, _ = analysed(plans, wiring)
    assert problems(analysis) == []
    assert estimate(analysis) == (seconds, path, [])


def test_each_step_gets_its_duration_start_and_finish():
    analysis, _ = analysed({"X": ["m5", "m2"], "Z": ["d3"]}, ["X#2 waits Z#1"])
    assert [(s.label, s.duration, s.start, s.finish) for s in analysis.steps] == [
        ("X#1", 5.0, 0.0, 5.0), ("X#2", 3.0, 5.0, 8.0), ("Z#1", 3.0, 0.0, 3.0)]


@pytest.mark.parametrize("plans", [
    {"X": ["d1", "?", "-", "m2"], "Z": ["-"]},
    {"Z": ["?"], "X": ["m1", "-"]},
])
def test_estimate_is_withheld_and_every_action_without_a_time_named(plans):
    analysis, _ = analysed(plans)
    unknown = [s.label for s in analysis.steps if s.action.word in "?-"]
    assert estimate(analysis) == (None, [], unknown)


def test_except_blocks_are_checked_as_programs_of_their_own_and_get_no_estimate():
    recovery_plans, recovery_actions = build({"X": ["d1", "d1"], "Z": ["d1"]},
                                             ["E1.X#1 waits E1.Z#1", "E1.Z#1 waits E1.X#2", "E1.X#2 waits !main"],
                                             prefix="E1.")
    first = Recovery(7, None, None, "E1", recovery_plans)
    second = Recovery(8, None, None, "E2", build({"G": ["d1"]}, prefix="E2.")[0])
    main, actions = build({"X": ["d2", "d1"]})
    actions["X#1"].recovery = 7
    actions["X#2"].recovery = 9  # no except block has this number
    semantics = types.SimpleNamespace(origin=lambda item: None)
    analysis = analyse(CompiledScript(None, main, semantics, [], [first, second]))
    assert [(s.label, s.recovery) for s in analysis.steps] == [("X#1", "E1"), ("X#2", None)]
    assert estimate(analysis) == (3, ["X#1", "X#2"], [])
    names = ["E1.X#1", "E1.Z#1", "E1.X#2"]
    assert problems(analysis) == [
        ("E1.X#2", "E1.X#2 waits on an action that no module runs, so it never starts", ["E1.X#2"]),
        ("E1.X#1", CYCLE + " -> ".join(names + names[:1]), names)]
    assert {name: [s.label for s in steps] for name, steps in analysis.recovery_steps.items()} == {
        "E1": ["E1.X#1", "E1.X#2", "E1.Z#1"], "E2": ["E2.G#1"]}
    assert all(s.duration is None for steps in analysis.recovery_steps.values() for s in steps)
    assert recovery_actions["E1.X#1"] is analysis.recovery_steps["E1"][0].action


def test_a_wait_on_the_main_program_from_an_except_block_is_reported():
    main, actions = build({"X": ["d1"]})
    recovery_plans, recovery_actions = build({"Z": ["d1"]}, prefix="E1.")
    recovery_actions["E1.Z#1"].dependency.append(actions["X#1"])
    semantics = types.SimpleNamespace(origin=lambda item: None)
    analysis = analyse(CompiledScript(None, main, semantics, [], [Recovery(1, None, None, "E1", recovery_plans)]))
    assert problems(analysis) == [
        ("E1.Z#1", "E1.Z#1 waits on an action that no module runs, so it never starts", ["E1.Z#1"])]
    assert estimate(analysis) == (1, ["X#1"], [])
