"""Static checks and the duration estimate on hand-wired module plans of real host actions."""

import json

import pytest

from frontend_support import EXAMPLES, run_python, runtime_has

pytestmark = pytest.mark.skipif(not runtime_has("_vemoaction", "_vemomodule"),
                                reason="needs the _vemoaction and _vemomodule extension modules")

PRELUDE = f"""
import dataclasses, json, sys, types
import vemo.cell.actions
sys.modules["actions"] = vemo.cell.actions
from _vemoprimitives import VemoId
from vemo.lang.analysis import analyse
from vemo.cell.model import load_cell
from vemo.lang.frontend import CompiledScript, ModulePlan
from vemo.cell.kinds import modules_package
from vemo.lang.listing import as_dict, as_text
m = modules_package(load_cell({str(EXAMPLES / "cell.yaml")!r}))
X, Z, G, L = m.XAxis, m.ZAxis, m.Gripper, m.Loader

def chain(actions):
    for before, after in zip(actions, actions[1:]):
        after.set_script_dep(before.finish_signal)
    return actions

def report(plans, origins=None):
    origins = origins or {{}}
    semantics = types.SimpleNamespace(origin=lambda item: origins.get(id(item)))
    compiled = CompiledScript(None, plans, semantics, [])
    analysis = analyse(compiled)
    data = as_dict(compiled, analysis)
    data["problems"] = [dataclasses.asdict(problem) for problem in analysis.problems]
    print(json.dumps({{"data": data, "text": as_text(compiled, analysis)}}))
"""


def child(code):
    result = run_python(PRELUDE + code)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_critical_path_follows_waits_across_modules_and_module_order():
    got = child("""
x1, x2 = chain([X.move_action("pick"), X.move_action("place")])
z1 = Z.move_action("down"); z1.add_dependencies(x1)
g1 = G.io_action("vacuum", "on"); g1.add_dependencies(z1)
x2.add_dependencies(g1)
report([ModulePlan("XAxis", X, [x1, x2]), ModulePlan("ZAxis", Z, [z1]), ModulePlan("Gripper", G, [g1])])
""")
    data = got["data"]
    assert data["problems"] == []
    assert data["estimate"]["critical_path"] == ["XAxis#1", "ZAxis#1", "Gripper#1", "XAxis#2"]
    assert data["estimate"]["seconds"] == pytest.approx(0.73 + 0.975 + 0.05 + 1.69)
    x2 = data["modules"][0]["actions"][1]
    assert (x2["waits"], x2["after"], x2["start"]) == (["Gripper#1"], "XAxis#1", pytest.approx(1.755))
    assert "estimated duration: 3.45 s along XAxis#1 -> ZAxis#1 -> Gripper#1 -> XAxis#2" in got["text"]


def test_independent_modules_overlap_and_the_longest_one_sets_the_estimate():
    got = child("""
report([ModulePlan("XAxis", X, chain([X.move_action("place"), X.move_action("park")])),
        ModulePlan("Gripper", G, chain([G.io_action("vacuum", 1), G.io_action("vacuum", 0)]))])
""")
    # X: 480 from home (2.17 s), back to 20 (460 -> 2.09 s); the gripper's 0.1 s runs alongside.
    assert got["data"]["estimate"]["seconds"] == pytest.approx(480 / 250 + 0.25 + 460 / 250 + 0.25)


@pytest.mark.parametrize("wiring, members", [
    ("a.add_dependencies(b); b.add_dependencies(a)", ["XAxis#1", "ZAxis#1"]),
    # Z waits for X's second action; X's first waits for Z: X cannot get past its first action.
    ("a.add_dependencies(b); b.add_dependencies(a2)", ["XAxis#1", "XAxis#2", "ZAxis#1"]),
    ("b.set_script_dep(a2.finish_signal); a.add_dependencies(b)", ["XAxis#1", "XAxis#2", "ZAxis#1"]),
])
def test_wait_cycles_are_found_with_every_action_involved(wiring, members):
    got = child(f"""
a, a2 = chain([X.move_action("pick"), X.move_action("place")])
b = Z.move_action("down")
{wiring}
report([ModulePlan("XAxis", X, [a, a2]), ModulePlan("ZAxis", Z, [b])])
""")
    (problem,) = got["data"]["problems"]
    assert problem["message"].startswith("wait cycle: these actions wait on each other")
    assert sorted(problem["actions"]) == members
    assert got["data"]["estimate"] is None


def test_lanes_of_a_competing_module_are_not_a_cycle_when_one_waits_on_another():
    got = child("""
u1, u2 = chain([L.tray_action(1, "unload"), L.tray_action(2, "unload")])
r = L.tray_action(3, "reload"); r.add_dependencies(u2)
report([ModulePlan("Loader", L, {0: [r], 1: [u1, u2]})])
""")
    data = got["data"]
    assert data["problems"] == []
    assert [a["label"] for a in data["modules"][0]["actions"]] == ["Loader[0]#1", "Loader[1]#1", "Loader[1]#2"]
    assert data["modules"][0]["mode"] == "lanes"


def test_waits_that_can_never_be_met_are_reported_at_their_origin():
    got = child("""
ghost = VemoId("ghost")
a = X.move_action("pick"); a.add_dependencies(ghost)
stray = Z.move_action("down")
b = G.io_action("vacuum", "on"); b.add_dependencies(stray)
c = G.io_action("vacuum", "off"); c.set_script_dep(stray.finish_signal)
report([ModulePlan("XAxis", X, [a]), ModulePlan("Gripper", G, [b, c])],
       {id(ghost): "s.vemo:4:10", id(a): "s.vemo:4:20", id(b): "s.vemo:7:3", id(c): "s.vemo:8:3"})
""")
    problems = [(p["origin"], p["message"].split(",")[0]) for p in got["data"]["problems"]]
    assert problems == [
        ("s.vemo:4:10", "wait on 'ghost' names no block that XAxis#1 can see (a named block of its chain or of "
                        "another branch of the same async or compete block)"),
        ("s.vemo:7:3", "Gripper#1 waits on an action that no module runs"),
        ("s.vemo:8:3", "Gripper#2 waits in script order on a signal that no action of the program sets"),
    ]


def test_estimate_is_withheld_when_the_cell_lacks_timing_for_a_module():
    got = child("""
from vemo.cell.model import parse_cell
bare = modules_package(parse_cell("modules: {Valve: {kind: io, handler_id: 1, points: {a: 1}}}"))
report([ModulePlan("Valve", bare.Valve, [bare.Valve.io_action("a", "on")])])
""")
    assert got["data"]["estimate"] is None and got["data"]["unknown_durations"] == ["Valve#1"]
    assert "estimated duration: not available (the cell gives no motion or switch time for Valve)" in got["text"]


def test_an_action_queued_on_another_module_is_reported():
    # What a block mixing modules compiles to when the compiler's assertions are off (python -O).
    got = child("""
a, b = X.move_action("pick"), Z.move_action("up")
report([ModulePlan("XAxis", X, [a, b])], {id(b): "s.vemo:1:31"})
""")
    (problem,) = got["data"]["problems"]
    assert (problem["origin"], problem["message"]) == (
        "s.vemo:1:31", "XAxis#2 is an action of ZAxis but would run on XAxis: a block mixes modules")
