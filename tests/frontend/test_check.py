"""`vemo check` end to end, in child processes: examples, listings, located errors, static checks."""

import json

import pytest

from frontend_support import EXAMPLES, run_vemo, runtime_has

pytestmark = pytest.mark.skipif(not runtime_has("_vemoaction", "_vemomodule", "compiler"),
                                reason="needs the runtime's compiler extension module")

CELL = EXAMPLES / "cell.yaml"
ASYNC_C = "c = async { move @XAxis to pick } and { move @ZAxis to up }\n"


def check(tmp_path, text, *options):
    script = tmp_path / "s.vemo"
    script.write_text(text)
    return run_vemo("check", script, "--cell", CELL, *options)


def listing(tmp_path, text):
    result = check(tmp_path, text, "--json")
    assert result.returncode == 0, result.stdout + result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("example, modules", [
    ("pick_place.vemo", {"XAxis": 9, "ZAxis": 12, "Gripper": 15}),
    ("tray_compete.vemo", {"Loader": 4}),
    ("axis_service.vemo", {"XAxis": 13}),
])
def test_examples_compile_to_exactly_the_actions_they_name(example, modules):
    result = run_vemo("check", EXAMPLES / example, "--json")
    assert result.returncode == 0, result.stdout + result.stderr
    data = json.loads(result.stdout)
    assert {m["name"]: m["total"] for m in data["modules"]} == modules
    assert data["diagnostics"] == [] and data["ok"] is True
    assert all(a["origin"].startswith(str(EXAMPLES / example)) for m in data["modules"] for a in m["actions"])


def test_compiling_twice_gives_the_same_listing():
    first = run_vemo("check", EXAMPLES / "pick_place.vemo")
    second = run_vemo("check", EXAMPLES / "pick_place.vemo")
    assert first.returncode == 0, first.stderr
    assert first.stdout == second.stdout
    assert "module XAxis (axis, handler id 1): 9 actions in sequence" in first.stdout
    assert "estimated duration:" in first.stdout


def test_waits_across_modules_and_script_order_are_listed(tmp_path):
    data = listing(tmp_path, """
cycle = async
    x: { move @XAxis to pick } then wait z { move @XAxis to place }
and
    z: wait x { move @ZAxis to down }
main = { cycle }
""")
    x, z = (next(m for m in data["modules"] if m["name"] == name) for name in ("XAxis", "ZAxis"))
    assert [(a["label"], a["text"], a["waits"], a["after"]) for a in x["actions"]] == [
        ("XAxis#1", "move @XAxis to pick", [], None),
        ("XAxis#2", "move @XAxis to place", ["ZAxis#1"], "XAxis#1"),
    ]
    assert [(a["label"], a["waits"]) for a in z["actions"]] == [("ZAxis#1", ["XAxis#1"])]
    assert x["actions"][1]["origin"].endswith("s.vemo:3:46")
    # X to pick 0.73 s, Z down 85 at 100/s with 800/s² 0.975 s, X to place 1.69 s.
    assert data["estimate"]["seconds"] == pytest.approx(0.73 + 0.975 + 1.69)
    assert data["estimate"]["critical_path"] == ["XAxis#1", "ZAxis#1", "XAxis#2"]


def test_competing_sequences_are_listed_as_lanes(tmp_path):
    data = listing(tmp_path, "main = compete { transfer @Loader tray 1 along unload } or { call @Loader.home() }")
    (loader,) = data["modules"]
    assert loader["mode"] == "lanes"
    assert [(a["label"], a["text"]) for a in loader["actions"]] == [
        ("Loader[0]#1", "call @Loader.home()"), ("Loader[1]#1", "transfer @Loader tray 1 along unload")]


@pytest.mark.parametrize("text, where, message", [
    ("main = { move @XAxis to }", "3:25", "unexpected '}'"),
    ("main = { move @Laser to pick }", "3:15", "unknown module '@Laser'"),
    ("main = { move @XAxis to nowhere }", "3:10", "XAxis has no position 'nowhere'"),
    ("main = { set @Gripper suction on }", "3:10", "Gripper has no IO point 'suction'"),
    ("main = { transfer @Loader tray 7 along unload }", "3:10", "Loader holds trays 1 to 4, not 7"),
    ("main = { call @XAxis.spin() }", "3:10", "XAxis has no operation 'spin' (it has: dwell, home)"),
    ("main = { later }\nlater = { move @XAxis to pick }", "3:10", "'later' is not a block declared before"),
    ("main = { move @XAxis to pick } then { move @ZAxis to up }", "3:8", "must all belong to one module"),
    ("x = { move @XAxis to pick }", "1:1", 'no block is declared as "main"'),
    ("main = async { move @XAxis to pick } and { move @XAxis to park }", "3:8", "more than one branch runs on XAxis"),
    (ASYNC_C + "main = { move @XAxis to park  c }", "4:8", "must stand alone in its block"),
    (ASYNC_C + "main = { c } then { move @XAxis to park }", "4:8", "followed with 'then' by a block of the same kind"),
    (ASYNC_C + "main = { move @XAxis to park } then { c }", "4:8", "cannot be followed with 'then' by an async"),
    (ASYNC_C + "d = async { move @XAxis to pick } and { set @Gripper vacuum on }\nmain = { c } then { d }", "5:8",
     "has no branch for ZAxis"),
    (ASYNC_C + "main = async { c } and { set @Gripper vacuum on }", "4:8", "cannot be one of its branches"),
    ("main = loop 2 times x: { move @XAxis to pick } then wait x { move @XAxis to park }", "3:8",
     "the loop body waits for 'x'"),
    ("c = compete { move @XAxis to pick } or { move @XAxis to park }\nmain = loop 2 times { c }", "4:8",
     "a compete block cannot be repeated"),
])
def test_compile_errors_are_reported_at_their_script_location(tmp_path, text, where, message):
    result = check(tmp_path, "# errors\n\n" + text if not text.startswith("x =") else text)
    assert result.returncode == 1
    first = result.stderr.splitlines()[0]
    assert first.startswith(f"{tmp_path / 's.vemo'}:{where}: "), result.stderr
    assert message in first


def test_syntax_error_report_shows_the_line_a_caret_and_what_was_expected(tmp_path):
    result = check(tmp_path, "main = {\n    move @XAxis pick\n}\n")
    assert result.returncode == 1
    assert result.stderr.splitlines() == [
        f"{tmp_path / 's.vemo'}:2:17: unexpected 'pick'",
        "        move @XAxis pick",
        "                    ^",
        "expected 'to' and a named position: move @Module to position",
    ]


def test_json_errors_carry_the_location(tmp_path):
    result = check(tmp_path, "main = { move @XAxis to nowhere }", "--json")
    assert result.returncode == 1
    (error,) = json.loads(result.stdout)["diagnostics"]
    assert (error["line"], error["column"]) == (1, 10)


@pytest.mark.parametrize("kind, declared, use", [
    ("async", "main", ""),  # written directly in main
    ("async", "cycle", "main = { cycle }\n"),  # declared, then used by name
    ("async", "cycle", "main = loop 2 times { cycle }\n"),
    ("compete", "main", ""),
    ("compete", "cycle", "main = { cycle }\n"),
])
def test_wait_that_names_no_visible_block_is_an_error_at_the_wait(tmp_path, kind, declared, use):
    joiner = "and" if kind == "async" else "or"
    other = "@ZAxis to up" if kind == "async" else "@XAxis to park"
    result = check(tmp_path, f"{declared} = {kind}\n  x_pick: {{ move @XAxis to pick }}\n{joiner}\n"
                             f"  wait x_pik {{ move {other} }}\n" + use)
    assert result.returncode == 1
    assert f"{tmp_path / 's.vemo'}:4:8: wait on 'x_pik' names no block" in result.stderr.splitlines()[0]


def test_wait_cycle_across_modules_is_reported_with_the_actions_involved(tmp_path):
    result = check(tmp_path, """
cycle = async
    x: wait z { move @XAxis to pick }
and
    z: wait x { move @ZAxis to down }
main = { cycle }
""", "--json")
    assert result.returncode == 1
    data = json.loads(result.stdout)
    (problem,) = data["diagnostics"]
    assert problem["message"].startswith("wait cycle") and problem["line"] in (3, 5)
    assert sorted(problem["actions"]) == ["XAxis#1", "ZAxis#1"]
    assert data["estimate"] is None


def test_wait_cycle_through_module_order_is_found(tmp_path):
    # Z waits for X's second step, while X's first step waits for Z: X can never get past its first step.
    result = check(tmp_path, """
cycle = async
    x1: wait z { move @XAxis to pick } then x2: { move @XAxis to place }
and
    z: wait x2 { move @ZAxis to down }
main = { cycle }
""")
    assert result.returncode == 1
    assert "wait cycle" in result.stderr and "XAxis#1" in result.stderr and "ZAxis#1" in result.stderr


def test_a_users_own_host_modules_replace_the_cell(tmp_path):
    host = tmp_path / "my_modules.py"
    host.write_text('''
from _vemomodule import VemoModule

class Press(VemoModule):
    name = "Press"
    configs = {}
    spec = None
    def setup(self, **configs):
        pass
    def run(self):
        self.execute_sequence()
''')
    script = tmp_path / "s.vemo"
    script.write_text("main = { move @Press to down  set @Press clamp on }")
    result = run_vemo("check", script, "--modules", host)
    assert result.returncode == 0, result.stderr
    assert "module Press (Press): 2 actions in sequence" in result.stdout


def test_missing_cell_and_missing_script_are_clear_errors(tmp_path):
    script = tmp_path / "s.vemo"
    script.write_text("main = { move @XAxis to pick }")
    no_cell = run_vemo("check", script)
    assert no_cell.returncode == 1 and "no cell description" in no_cell.stderr
    no_script = run_vemo("check", tmp_path / "absent.vemo", "--cell", CELL)
    assert no_script.returncode == 1 and "cannot read the script" in no_script.stderr
