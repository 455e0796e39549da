"""The YAML readers of cells and handler settings on hostile files: bounded, located, and refusing what would
be silently taken otherwise (keys given twice, positions that are not finite numbers)."""

import time

import pytest

from vemo.cell.model import CellError, load_cell, parse_cell
from vemo.cell.handlersettings import check_cell, read_handler_modules
from vemo.util.yamlfile import MAX_NODES, YamlError, load_yaml

# Ten times ten times ... ten copies of one list: a billion nodes once aliases are expanded.
ALIAS_BOMB = "a: &a [x, x, x, x, x, x, x, x, x, x]\n" + "".join(
    f"{chr(98 + i)}: &{chr(98 + i)} [{', '.join([f'*{chr(97 + i)}'] * 10)}]\n" for i in range(9))
DEEP_FLOW = "modules: " + "[" * 3000 + "]" * 3000 + "\n"
DEEP_BLOCK = "modules:\n" + "".join("  " * i + f"k{i}:\n" for i in range(1, 150))


@pytest.mark.parametrize("text, fragment", [
    (ALIAS_BOMB, f"more than {MAX_NODES} nodes (aliases multiply the tree)"),
    (DEEP_FLOW, "f.yaml:1:110: nested too deep (more than 100 levels)"),
    (DEEP_BLOCK, "f.yaml:101:201: nested too deep (more than 100 levels)"),
    ("cycle: &c [*c]\n" + DEEP_FLOW, "f.yaml:2:110: nested too deep"),  # the check goes on past a cycle
    ("cycle: &c [*c]\n" + ALIAS_BOMB, f"more than {MAX_NODES} nodes"),
])
def test_yaml_beyond_the_depth_or_node_bound_is_refused_at_once(text, fragment):
    start = time.monotonic()
    with pytest.raises(YamlError) as caught:
        load_yaml(text, "f.yaml")
    assert fragment in str(caught.value)
    assert time.monotonic() - start < 5


def test_aliases_and_merge_keys_within_the_bounds_are_read():
    assert load_yaml("x: &x {a: 1}\ny: {<<: *x, b: 2}\nz: [*x, *x]\n", "f.yaml", unique_keys=True) == {
        "x": {"a": 1}, "y": {"a": 1, "b": 2}, "z": [{"a": 1}, {"a": 1}]}


CELL = "modules:\n  X: {kind: axis, handler_id: 1, positions: {a: 0}}\n"


@pytest.mark.parametrize("text, fragment", [
    (CELL + "  X: {kind: axis, handler_id: 2}\n", "c.yaml:3:3: 'X' is given twice in this mapping (first at line 2)"),
    ("modules:\n  X: {kind: axis, handler_id: 1, handler_id: 2}\n", "c.yaml:2:34: 'handler_id' is given twice"),
    (CELL.replace("a: 0", "a: .nan"), "position a: expected a finite number, got nan"),
    (CELL.replace("a: 0", "a: -.inf"), "position a: expected a finite number, got -inf"),
    (CELL.replace("}\n", ", motion: {speed: .inf, acceleration: 1}}\n"), "motion speed: expected a finite number"),
    (CELL.replace("a: 0", "a: [" + ", ".join(["1"] * 100) + "]"), "expected a number, got [1, 1, 1"),
    (ALIAS_BOMB, "nodes (aliases multiply the tree)"),
])
def test_cell_files_are_refused_at_the_entry_at_fault(text, fragment):
    with pytest.raises(CellError) as caught:
        parse_cell(text, "c.yaml")
    assert fragment in str(caught.value)
    assert len(str(caught.value)) < 300


def test_a_cell_that_is_not_a_regular_file_is_refused(tmp_path):
    with pytest.raises(CellError, match="the cell description is not a regular file"):
        load_cell("/dev/zero")


SETTINGS = """
xan_handler:
  Festo:
    - {Name: x, KinraID: 1, SlaveNo: 1, Params: {DistanceFactor: 10, SpeedFactor: 10, AccelerationFactor: 10}}
  IOModule:
    SlaveNo: 20
    Modules:
      - {Name: valves, KinraID: 11, Slot: 2, InputBytes: 0, OutputBytes: 2}
"""
ONE_AXIS = parse_cell(CELL, "c.yaml")


@pytest.mark.parametrize("change, fragment", [
    (("Params: {DistanceFactor: 10, SpeedFactor: 10, AccelerationFactor: 10}", "Params: {}"),
     "X: handler module 1 has no Params/DistanceFactor, Params/SpeedFactor, Params/AccelerationFactor in h.yaml"),
    (("DistanceFactor: 10", "DistanceFactor: 0"), "X: handler module 1 has no Params/DistanceFactor in h.yaml"),
    (("SlaveNo: 1, ", ""), "X: handler module 1 has no SlaveNo in h.yaml"),
])
def test_handler_settings_the_client_cannot_drive_a_module_by_are_a_cell_error(tmp_path, change, fragment):
    (tmp_path / "h.yaml").write_text(SETTINGS.replace(*change))
    errors, _ = check_cell(ONE_AXIS, read_handler_modules(tmp_path / "h.yaml"), "h.yaml")
    assert [e for e in errors if e.startswith(fragment)], errors


@pytest.mark.parametrize("text, fragment", [
    (SETTINGS.split("  IOModule:")[0], "xan_handler has no IOModule section with a Modules list"),
    (SETTINGS.replace("Slot: 2, ", ""), "IOModule module 1 has no numeric Slot"),
    ("xan_handler:\n  " + ALIAS_BOMB.replace("\n", "\n  "), "nodes (aliases multiply the tree)"),
])
def test_handler_settings_that_would_fail_once_the_run_started_are_refused_when_read(tmp_path, text, fragment):
    (tmp_path / "h.yaml").write_text(text)
    with pytest.raises(ValueError, match=fragment.replace("(", r"\(").replace(")", r"\)")):
        read_handler_modules(tmp_path / "h.yaml")
