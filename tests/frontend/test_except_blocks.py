"""Which except block covers each action, as `vemo check` lists it, and the checks of except blocks."""

import json

import pytest

from frontend_support import EXAMPLES, run_vemo, runtime_has

pytestmark = pytest.mark.skipif(not runtime_has("_vemoaction", "_vemomodule", "compiler"),
                                reason="needs the runtime's compiler extension module")

CELL = EXAMPLES / "cell.yaml"
PARK, UP = "move @XAxis to park", "move @ZAxis to up"


def check(tmp_path, text, *options):
    script = tmp_path / "s.vemo"
    script.write_text(text)
    return run_vemo("check", script, "--cell", CELL, *options)


def covering(data):
    return {a["label"]: a["except"] for m in data["modules"] for a in m["actions"]}


def except_blocks(data):
    return {block["name"]: {m["name"]: [a["text"] for a in m["actions"]] for m in block["modules"]}
            for block in data["except_blocks"]}


@pytest.mark.parametrize("text, covers, blocks", [
    pytest.param("main = try { move @XAxis to pick  move @XAxis to place } except { move @XAxis to park }",
                 {"XAxis#1": "E1", "XAxis#2": "E1"}, {"E1": {"XAxis": [PARK]}}, id="one module"),
    pytest.param("inner = try { move @XAxis to pick } except { move @XAxis to park }\n"
                 "main = try { inner  move @XAxis to place  inner } except { call @XAxis.home() }",
                 {"XAxis#1": "E1", "XAxis#2": "E2", "XAxis#3": "E1"},
                 {"E1": {"XAxis": [PARK]}, "E2": {"XAxis": ["call @XAxis.home()"]}}, id="innermost try wins"),
    pytest.param("c = async { move @XAxis to pick } and { move @ZAxis to down }\n"
                 "r = async { move @XAxis to park } and { move @ZAxis to up }\n"
                 "main = try { c } except { r }",
                 {"XAxis#1": "E1", "ZAxis#1": "E1"}, {"E1": {"XAxis": [PARK], "ZAxis": [UP]}},
                 id="async block with an async except block"),
    pytest.param("main = async try { move @XAxis to pick } except { set @Gripper vacuum off }\n"
                 "and { move @ZAxis to up }",
                 {"XAxis#1": "E1", "ZAxis#1": None}, {"E1": {"Gripper": ["set @Gripper vacuum off"]}},
                 id="one branch of an async block"),
    pytest.param("c = compete { transfer @Loader tray 1 along unload } or { call @Loader.home() }\n"
                 "main = try { c } except { transfer @Loader tray 1 along reload }",
                 {"Loader[0]#1": "E1", "Loader[1]#1": "E1"},
                 {"E1": {"Loader": ["transfer @Loader tray 1 along reload"]}}, id="compete block"),
    pytest.param("main = loop 2 times try { move @XAxis to pick } except { move @XAxis to park }",
                 {"XAxis#1": "E1", "XAxis#2": "E1"}, {"E1": {"XAxis": [PARK]}}, id="loop copies"),
    pytest.param("unused = try { move @XAxis to park } except { move @XAxis to pick }\n"
                 "main = try { move @XAxis to place }", {"XAxis#1": None}, {}, id="no except in the program"),
])
def test_each_action_is_covered_by_the_except_block_of_its_innermost_try(tmp_path, text, covers, blocks):
    result = check(tmp_path, text, "--json")
    assert result.returncode == 0, result.stdout + result.stderr
    data = json.loads(result.stdout)
    assert covering(data) == covers
    assert except_blocks(data) == blocks


def test_except_blocks_are_listed_after_the_modules_with_their_try_and_own_labels(tmp_path):
    result = check(tmp_path, "r = async { move @XAxis to park } and wait x { move @ZAxis to up }\n"
                             "and x: { set @Gripper vacuum off }\n"
                             "main = try { move @XAxis to pick  move @XAxis to place } except { r }\n")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "[0.73 s; except E1]" in lines[1]
    header = lines.index(f"except block E1 of the try at {tmp_path / 's.vemo'}:3:8: runs when the run ends "
                         f"because one of its 2 actions failed")
    listed = "\n".join(lines[header:])
    assert "  module ZAxis (axis, handler id 2): 1 action in sequence" in listed
    assert "E1.ZAxis#1  move @ZAxis to up" in listed and "[waits for E1.Gripper#1]" in listed


def test_except_block_that_waits_on_the_try_block_is_refused(tmp_path):
    # The except block runs on its own once the run has stopped: a wait on the try block never ends.
    result = check(tmp_path, "main = try x: { move @XAxis to pick } except wait x { move @XAxis to park }\n")
    assert result.returncode == 1
    assert f"{tmp_path / 's.vemo'}:1:51: wait on 'x' names no block that E1.XAxis#1 can see" in result.stderr
