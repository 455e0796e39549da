"""Cell descriptions: what a valid file gives, and the errors of broken ones."""

import pytest

from vemo.cell.model import CellError, Motion, load_cell, parse_cell

GOOD = """
cell: bench
modules:
  X: {kind: axis, handler_id: 1, positions: {a: 0, b: 100.5}, motion: {speed: 100, acceleration: 400}}
  G: {kind: io, handler_id: 2, points: {vac: 3}, switch_time: 0.02}
  T: {kind: tray, handler_id: 3, trays: 2, positions: {p: 0, q: 10}, sequences: {s: [p, q]}}
"""


def test_a_valid_cell_gives_its_modules_in_file_order_with_their_settings():
    cell = parse_cell(GOOD, "c.yaml")
    assert cell.name == "bench"
    assert [(m.name, m.kind, m.handler_id) for m in cell.modules] == [("X", "axis", 1), ("G", "io", 2),
                                                                        ("T", "tray", 3)]
    assert cell.module("X").positions == {"a": 0.0, "b": 100.5}
    assert cell.module("X").motion == Motion(100.0, 400.0)
    assert cell.module("G").points == {"vac": 3} and cell.module("G").switch_time == 0.02
    assert cell.module("T").sequences == {"s": ("p", "q")} and cell.module("T").motion is None


@pytest.mark.parametrize("text, fragment", [
    ("modules: [1, 2]", "non-empty 'modules' mapping"),
    ("modules: {}", "non-empty 'modules' mapping"),
    ("modules: {X: {kind: laser, handler_id: 1}}", "kind must be one of axis, io, tray"),
    ("modules: {X: {kind: axis}}", "handler_id is missing"),
    ("modules: {X: {kind: axis, handler_id: -1}}", "handler_id: expected a whole number"),
    ("modules: {X: {kind: axis, handler_id: 1, points: {a: 1}}}", "unknown settings for a axis module: points"),
    ("modules: {X: {kind: axis, handler_id: 1, positions: {a: fast}}}", "position a: expected a number"),
    ("modules: {X: {kind: axis, handler_id: 1, motion: {speed: 0, acceleration: 1}}}", "greater than 0"),
    ("modules: {X: {kind: axis, handler_id: 1, motion: {speed: 1}}}", "exactly speed and acceleration"),
    ("modules: {X: {kind: io, handler_id: 1, points: {a b: 1}}}", "not a valid name"),
    ("modules: {X: {kind: io, handler_id: 1, switch_time: -1}}", "must not be negative"),
    ("modules: {X: {kind: tray, handler_id: 1, positions: {p: 0}, sequences: {s: [p, r]}}}", "unknown position 'r'"),
    ("modules: {X: {kind: tray, handler_id: 1, trays: 0}}", "trays: expected a whole number of at least 1"),
    ("modules: {X: {kind: io, handler_id: 1}, Y: {kind: io, handler_id: 1}}", "share handler_id 1"),
    ("modules: {9X: {kind: io, handler_id: 1}}", "must be a name"),
    ("modules: {StandardBlock: {kind: io, handler_id: 1}}", "taken by the runtime"),
    ("modules: {X: {kind: io, handler_id: 1}}\nextra: 1", "unknown top-level entries: extra"),
    ("modules: {X: [", "not valid YAML"),
])
def test_broken_cells_are_refused_with_the_module_and_setting_at_fault(text, fragment):
    with pytest.raises(CellError) as caught:
        parse_cell(text, "c.yaml", reserved=frozenset({"StandardBlock"}))
    assert str(caught.value).startswith("c.yaml: ")
    assert fragment in str(caught.value)


def test_a_missing_cell_file_is_a_cell_error(tmp_path):
    with pytest.raises(CellError, match="cannot read"):
        load_cell(tmp_path / "absent.yaml")


@pytest.mark.parametrize("distance, seconds", [
    (0, 0.0),
    (100, 100 / 100 + 100 / 400),   # reaches cruise speed: cruise time plus one ramp time
    (25, 0.5),                      # exactly the ramp distance: accelerate then brake
    (4, 2 * (4 / 400) ** 0.5),      # too short to reach cruise speed: triangular profile
    (-100, 1.25),
])
def test_trapezoidal_motion_time(distance, seconds):
    assert Motion(100.0, 400.0).duration(distance) == pytest.approx(seconds)
