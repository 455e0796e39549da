"""The reference host: module kinds built from a cell, their factories and operations, and the actions."""

import json

import pytest

from frontend_support import EXAMPLES, run_python, runtime_has

pytestmark = pytest.mark.skipif(not runtime_has("_vemoaction", "_vemomodule"),
                                reason="needs the _vemoaction and _vemomodule extension modules")

PRELUDE = f"""
import json, sys
import vemo.cell.actions
sys.modules["actions"] = vemo.cell.actions
from vemo.cell.model import load_cell
from vemo.cell.kinds import modules_package
m = modules_package(load_cell({str(EXAMPLES / "cell.yaml")!r}))
def out(value):
    print(json.dumps(value))
"""


def child(code):
    result = run_python(PRELUDE + code)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_modules_package_exports_one_kind_per_cell_module_with_name_and_settings():
    got = child("""
import _vemomodule
out([[n, getattr(m, n).name, getattr(m, n).configs, issubclass(getattr(m, n), _vemomodule.VemoModule)]
     for n in m.__all__])
""")
    assert got == [["XAxis", "XAxis", {"handler_id": 1}, True], ["ZAxis", "ZAxis", {"handler_id": 2}, True],
                   ["Gripper", "Gripper", {"handler_id": 11}, True], ["Loader", "Loader", {"handler_id": 5}, True]]


def test_factories_build_the_host_actions_with_their_settings_and_readable_text():
    got = child("""
made = [m.XAxis.move_action("pick"), m.Gripper.io_action("vacuum", "on"), m.Gripper.io_action("blow", 0),
        m.Loader.tray_action(2, "unload"), m.XAxis().home(), m.Gripper().dwell(100, "settle")]
out([[type(a).__name__, a.describe(), a.params, a.module.name] for a in made])
""")
    assert got == [
        ["Move", "move @XAxis to pick", {"position": "pick", "handler_id": 1}, "XAxis"],
        ["IOAction", "set @Gripper vacuum on", {"io_id": "vacuum", "status": "on", "handler_id": 11}, "Gripper"],
        ["IOAction", "set @Gripper blow off", {"io_id": "blow", "status": 0, "handler_id": 11}, "Gripper"],
        ["MoveTray", "transfer @Loader tray 2 along unload",
         {"tray_id": 2, "position_seq": "unload", "handler_id": 5}, "Loader"],
        ["Home", "call @XAxis.home()", {"handler_id": 1}, "XAxis"],
        ["Dwell", 'call @Gripper.dwell(100, "settle")',
         {"milliseconds": 100, "reason": "settle", "handler_id": 11}, "Gripper"],
    ]


@pytest.mark.parametrize("call, message", [
    ('m.XAxis.move_action("nowhere")', "XAxis has no position 'nowhere' (known: park, pick, place)"),
    ('m.Gripper.io_action("suction", "on")', "Gripper has no IO point 'suction' (known: blow, vacuum)"),
    ('m.Gripper.io_action("vacuum", 2)', "IO status must be on, off, 1 or 0, got 2"),
    ('m.Gripper.io_action("vacuum", True)', "IO status must be on, off, 1 or 0, got True"),
    ('m.Loader.tray_action(5, "unload")', "Loader holds trays 1 to 4, not 5"),
    ('m.Loader.tray_action(1, "sideways")', "Loader has no sequence 'sideways' (known: reload, unload)"),
    ('m.XAxis().dwell(-1)', "dwell takes a whole number of milliseconds from 0 to 2147483647, got -1"),
        ('m.XAxis().dwell(2**70)', f"dwell takes a whole number of milliseconds from 0 to 2147483647, got {2**70}"),
    ('m.XAxis().dwell(5, 7)', "the reason of a dwell is a quoted text, got 7"),
])
def test_unknown_places_and_bad_values_are_refused_when_the_action_is_built(call, message):
    got = child(f"""
try:
    {call}
    out(None)
except ValueError as error:
    out(str(error))
""")
    assert got == message


def test_copies_keep_the_script_location_and_settings():
    got = child("""
a = m.XAxis.move_action("pick")
a.params["origin"] = "s.vemo:3:5"
c = a.copy()
out([type(c).__name__, c.origin, c.position, c.params == a.params, c.params is a.params])
""")
    assert got == ["Move", "s.vemo:3:5", "pick", True, False]


def test_estimates_follow_the_axis_position_from_action_to_action():
    got = child("""
pick, place = m.XAxis.move_action("pick"), m.XAxis.move_action("place")
t1, p1 = pick.estimate(None)
t2, p2 = place.estimate(p1)
t3, p3 = m.Loader.tray_action(1, "unload").estimate(None)
out([t1, p1, t2, p2, t3, p3, m.Gripper.io_action("vacuum", 1).estimate(None)[0], m.XAxis().dwell(250).estimate(0)[0]])
""")
    # X: 120 from home 0 at 250/s with 1000/s² (cruise), then 360 more. Loader from (0, 0): its axes move
    # together, so the longer travel counts: 50 in y is shorter than the ramp distance (200²/600), a
    # triangular profile; then 100 in x with a cruise phase.
    loader = 2 * (50 / 600) ** 0.5 + 100 / 200 + 200 / 600
    assert got[5] == [110, 50]
    assert got[:5] + got[6:] == pytest.approx([0.73, 120, 360 / 250 + 0.25, 480, loader, 0.05, 0.25])


def test_modules_run_their_queued_host_actions_in_order():
    got = child("""
x = m.XAxis([m.XAxis.move_action("pick"), m.XAxis.move_action("place")])
queued = [x.queue.peek().position]
thread = x.async_run()
thread.join(10)
out([queued, thread.is_alive(), x.queue_cleared()])
""")
    assert got == [["pick"], False, True]


def test_the_handbuilt_demo_runs_on_its_own_host_from_any_folder(tmp_path):
    import subprocess
    import sys

    from frontend_support import child_env

    demo = EXAMPLES / "handbuilt_demo.py"
    assert "tests" not in demo.read_text()  # it must not borrow the test suite's host
    result = subprocess.run([sys.executable, str(demo)], capture_output=True, text=True, timeout=60,
                            env=child_env(), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    steps = [line.split()[1:] for line in result.stdout.splitlines() if line[:1].isdigit()]
    assert steps == [["XAxis", "Move", "pick"], ["Gripper", "IOAction", "vacuum"], ["XAxis", "Move", "place"],
                     ["Gripper", "IOAction", "vacuum"], ["XAxis", "Move", "home"]]
