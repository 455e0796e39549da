"""Loops made as the run goes against the same loops built in full: every action, its order constraints and
its outcome; and a stop after the current round."""

import threading
from pathlib import Path

import pytest

from vemo.cell.host import RUNTIME_NAMES, HostError, install
from vemo.cell.model import load_cell
from vemo.lang.frontend import compile_script, numbered, parse_script
from vemo.run.feed import LOOKAHEAD_ROUNDS, Feed, fed_module
from vemo.run.recorder import Recorder

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
PICK_PLACE = (EXAMPLES / "pick_place.vemo").read_text()

SCRIPTS = {
    "pick_place": PICK_PLACE.replace("loop 3 times", "loop 6 times"),
    "one module": "main = loop 5 times { move @XAxis to park  move @XAxis to pick }",
    "nested, outer long": "a = { set @Gripper vacuum on }\nmain = loop 4 times loop 2 times { a  set @Gripper blow 1 }",
    "inner long in a short loop": "a = loop 5 times { move @XAxis to pick }\nmain = loop 2 times { a }",
    "used twice in a row": "a = loop 4 times { move @ZAxis to up  move @ZAxis to down }\nmain = { a } then { a }",
    "before, after and a wait on the loop": (
        "c = async x: { move @XAxis to pick } and wait x { move @ZAxis to down }\n"
        "l = loop 5 times { c }\n"
        "pre = async s: { move @XAxis to park } and wait s { move @ZAxis to up }\n"
        "post = async { move @XAxis to place } and { move @ZAxis to down }\n"
        "main = { pre } then w: { l } then wait w { post }"),
    "waits across modules each round": (
        "c = async\n  x1: { move @XAxis to pick }\n  then x2: wait z1 { move @XAxis to place }\n"
        "and\n  z1: wait x1 { move @ZAxis to down }\n  then wait x2 { move @ZAxis to up }\n"
        "and\n  wait z1 { set @Gripper vacuum on }\n"
        "main = loop 7 times { c }"),
    "try inside the round": "main = loop 4 times try { move @XAxis to pick } except { move @XAxis to park }",
    "competitors with loops": ("u = loop 4 times { transfer @Loader tray 1 along unload }\n"
                               "main = compete { u } or loop 5 times { call @Loader.home() }"),
    "loops side by side, then a wait on both": (
        "a = loop 40 times { move @XAxis to pick  move @XAxis to place }\n"
        "b = loop 5 times { move @ZAxis to up  move @ZAxis to down }\n"
        "main = async x: { a } and z: { b } and wait x, z { set @Gripper vacuum on }"),
}


@pytest.fixture(scope="module")
def compiler():
    try:
        return install(load_cell(EXAMPLES / "cell.yaml", RUNTIME_NAMES))
    except HostError:
        # Other suites load the compiler with the test host, and a process keeps its first host:
        # test_feed_e2e runs this file in a process of its own.
        pytest.skip("the compiler is loaded with another host in this process")


def _compiled(compiler, text, expand):
    return compile_script(parse_script(text, "t.vemo", expand=expand), "t.vemo", compiler)


def _listing(per_module):
    """Each action as (module, index, text, origin, waits, after), the references as (module, index)."""
    names, signals = {}, {}
    for module, actions in per_module.items():
        for index, action in enumerate(actions, 1):
            names[id(action)] = (module, index)
            signals[id(action.finish_signal)] = (module, index)
    return {module: [(module, index, action.describe(), action.origin,
                      sorted(names.get(id(d), "outside") for d in action.dependency),
                      signals.get(id(action.script_dep)) if action.script_dep is not None else None)
                     for index, action in enumerate(actions, 1)] for module, actions in per_module.items()}


class _Journal:
    def write(self, event, **fields):
        return {"event": event, "t": 0.0, **fields}


def _drained(compiled):
    """Every fed module's actions, taken a module at a time (the rounds are kept until all have taken
    them), with each action's name as the recorder gives it."""
    recorder = Recorder(compiled.plans, compiled.origin, _Journal(), loops=compiled.loops)
    feed = Feed(compiled, recorder.name_round)
    feed.release = False  # keep each action's waits, to read them
    taken, names = {}, {}
    for plan in compiled.plans:
        if not feed.feeds(plan.name):
            continue
        actions = taken[plan.name] = []
        while (action := feed.next(plan.name)) is not None:
            actions.append(action)
            names[(plan.name, len(actions))] = recorder.key(action)
    assert all([module, index] == name for (module, index), name in names.items())
    return taken


@pytest.mark.parametrize("name", SCRIPTS)
def test_a_loop_made_as_the_run_goes_is_the_loop_built_in_full(compiler, name):
    full = _compiled(compiler, SCRIPTS[name], expand=False)
    lazy = _compiled(compiler, SCRIPTS[name], expand=True)
    assert lazy.loops or name == "competitors with loops"
    expected = _listing({plan.name: plan.actions() for plan in full.plans})
    lanes = {plan.name for plan in lazy.plans if isinstance(plan.sequence, dict)}
    got = _listing({**_drained(lazy), **{plan.name: plan.actions() for plan in lazy.plans if plan.name in lanes}})
    assert got == expected
    assert {p.name: lazy.total(p) for p in lazy.plans} == {p.name: len(p.actions()) for p in full.plans}
    # The indices the run names the built actions by are their places in the whole list.
    for module, _, index, action, _ in numbered(lazy.plans, lazy.loops):
        assert expected[module][index - 1][2:4] == (action.describe(), action.origin)


@pytest.mark.parametrize("name", SCRIPTS)
def test_the_estimate_counts_the_rounds_not_built_as_the_loop_built_in_full_would_take_them(compiler, name):
    from vemo.lang.analysis import analyse

    full, lazy = (analyse(_compiled(compiler, SCRIPTS[name], expand)) for expand in (False, True))
    assert lazy.estimate == pytest.approx(full.estimate, abs=1e-9)


def test_a_loop_without_end_has_no_estimate_but_the_time_of_its_round(compiler):
    from vemo.lang.analysis import analyse

    counted, endless = (analyse(_compiled(compiler, PICK_PLACE.replace("loop 3 times", loop), True))
                        for loop in ("loop 4 times", "loop forever"))
    assert endless.estimate is None and endless.endless and not counted.endless
    assert endless.round_seconds[1] == pytest.approx(counted.round_seconds[1]) and counted.round_seconds[1] > 1


def _run(modules, timeout=20):
    threads = [module.async_run() for module in modules]
    for thread in threads:
        thread.join(timeout)
    assert not any(thread.is_alive() for thread in threads)


@pytest.mark.parametrize("name", ["pick_place", "waits across modules each round", "before, after and a wait on the loop"])
def test_every_action_runs_once_in_an_order_its_waits_allow(compiler, name):
    lazy = _compiled(compiler, SCRIPTS[name], expand=True)
    ran, lock = [], threading.Lock()
    feed = Feed(lazy, lambda loop, k, made: None)
    plans = {plan.name: plan for plan in lazy.plans}
    originals = {}
    for plan in lazy.plans:
        kind = plan.kind
        originals[kind] = kind.run_context
        kind.run_context = _Recording(ran, lock)
    try:
        _run([fed_module(plan.kind, feed, plan.name) for plan in plans.values()])
    finally:
        for kind, context in originals.items():
            kind.run_context = context
    full = _compiled(compiler, SCRIPTS[name], expand=False)
    assert sorted(text for text, _ in ran) == sorted(a.describe() for p in full.plans for a in p.actions())
    assert all(ready for _, ready in ran)


class _Recording:
    """A run context that notes each action and whether everything it waits for had finished."""

    def __init__(self, ran, lock):
        self.ran, self.lock = ran, lock

    def execute(self, action):
        ready = all(d.finish_signal.is_set() for d in action.dependency) and (
            action.script_dep is None or action.script_dep.is_set())
        with self.lock:
            self.ran.append((action.describe(), ready))
        action.finish_signal.set()


WITH_SUFFIX = SCRIPTS["before, after and a wait on the loop"].replace("loop 5 times", "loop 9 times")


@pytest.mark.parametrize("text, before", [
    (PICK_PLACE.replace("loop 3 times", "loop 9 times"), 0),
    (PICK_PLACE.replace("loop 3 times", "loop forever"), 0),
    (WITH_SUFFIX, 1),  # one action on each module before the loop; the one after it never comes
])
def test_a_stop_after_the_round_ends_every_module_at_the_round_the_furthest_has_entered(compiler, text, before):
    lazy = _compiled(compiler, text, expand=True)
    feed = Feed(lazy, lambda loop, k, actions: None)
    sizes = {module: lazy.loops[0].size(module) for module in lazy.loops[0].rounds}
    furthest = next(iter(sizes))
    taken = {module: [feed.next(module) for _ in range(before + (2 if module == furthest else 1) * size + 1)]
             for module, size in sizes.items()}
    assert feed.stop_after_round() == [(1, 3)]  # one module has entered round 3, the others round 2
    for module, size in sizes.items():
        while (action := feed.next(module)) is not None:
            taken[module].append(action)
        assert len(taken[module]) == before + 3 * size, module


def test_rounds_are_let_go_as_the_modules_take_them(compiler):
    """Taken a round at a time on each module in turn, as a cycle's waits keep the modules together, the
    feed keeps the window, never the whole loop; each action's waits go once its module asks for the next."""
    lazy = _compiled(compiler, PICK_PLACE.replace("loop 3 times", "loop 60 times"), expand=True)
    made = []
    feed = Feed(lazy, lambda loop, k, actions: made.append((loop.number, k, {m: len(a) for m, a in actions.items()})))
    rounds = feed.loops[0]
    handed, kept = {}, []
    for _ in range(61):
        for module, size in (("XAxis", 3), ("ZAxis", 4), ("Gripper", 5)):
            for _ in range(size):
                action = feed.next(module)
                if action is not None:
                    handed.setdefault(module, []).append(action)
                kept.append(len(rounds.kept))
    assert max(kept) <= LOOKAHEAD_ROUNDS + 3
    assert [k for _, k, _ in made] == list(range(3, 61))
    assert all(number == 1 and sizes == {"ZAxis": 4, "Gripper": 5, "XAxis": 3} for number, _, sizes in made)
    waiting = [a for actions in handed.values() for a in actions[:-1] if a.dependency]
    assert waiting == []


def test_a_stop_before_any_module_has_entered_the_loop_ends_it_after_its_first_round(compiler):
    lazy = _compiled(compiler, WITH_SUFFIX, expand=True)
    feed = Feed(lazy, lambda loop, k, actions: None)
    assert feed.stop_after_round() == [(1, 1)]
    for module in lazy.loops[0].rounds:
        taken = iter(lambda: feed.next(module), None)
        assert sum(1 for _ in taken) == 1 + lazy.loops[0].size(module)
