"""Answers from the last text that parsed are moved onto the current text line by line: unchanged lines keep
them, changed lines have none."""

import pytest

from vemo.lsp.linemap import LineMap

OLD = "a = { x }\nb = { y }\nmain = { a  b }\n"


@pytest.mark.parametrize("new, to_new", [
    (OLD, {0: 0, 1: 1, 2: 2}),
    ("# note\n" + OLD, {0: 1, 1: 2, 2: 3}),                          # a line added above
    (OLD.replace("b = { y }\n", ""), {0: 0, 1: None, 2: 1}),         # a line removed
    (OLD.replace("{ y }", "{ y"), {0: 0, 1: None, 2: 2}),            # a line changed
    (OLD + "oops = {\n", {0: 0, 1: 1, 2: 2}),                        # a broken line added below
])
def test_unchanged_lines_map_both_ways_and_changed_lines_do_not(new, to_new):
    lines = LineMap(OLD, new)
    assert {old: lines.to_new(old) for old in to_new} == to_new
    assert all(lines.to_old(moved) == old for old, moved in to_new.items() if moved is not None)


def test_a_range_over_lines_moves_only_if_its_lines_still_follow_each_other():
    lines = LineMap(OLD, "a = { x }\n\nb = { y }\nmain = { a  b }\n")
    assert lines.range_to_new([2, 7, 2, 8]) == [3, 7, 3, 8]
    assert lines.range_to_new([0, 0, 1, 3]) is None  # a line came in between
