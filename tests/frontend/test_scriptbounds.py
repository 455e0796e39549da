"""The bounds a parsed script is checked against before anything is built: how actions are counted through
names, loops, chains and branches, where each limit is reported, and labels used twice."""

import pytest

from vemo.lang.parser import Script, parse
from vemo.lang.scriptbounds import check_tree

LIMIT = 10
OVER = "more than the limit of 10 (--max-actions)"


def bounds(text, limit=LIMIT):
    """The located errors and the per-declaration counts of a script, every error, not only the first."""
    script = Script(text, "s.vemo")
    errors, counts = check_tree(parse(script), script, limit)
    return [f"{e.location.line}:{e.location.column} {e.message}" for e in errors], counts


@pytest.mark.parametrize("text, counts", [
    # Every action kind is one action; a try counts its except block too.
    ("main = try { move @X to p  set @G v on } except { move @X to q  call @X.home()  "
     "transfer @L tray 1 along u }", {"main": 5}),
    # A name stands for the count of its newest declaration; a name declared nowhere makes nothing here.
    ("a = { move @X to p }\nmain = loop 3 times { a  a }", {"a": 1, "main": 6}),
    ("a = { move @X to p }\na = { a  a }\nmain = { a  a }", {"a": 2, "main": 4}),
    ("main = { ghost  move @X to p }", {"main": 1}),
    # Chains, async branches and competitors add up.
    ("main = a: { move @X to p } then b: wait a { move @X to q  move @X to r }", {"main": 3}),
    ("main = async { move @X to p } and { move @Z to q  move @Z to r } and { set @G v on }", {"main": 4}),
    ("main = compete { move @X to p } or { move @X to q } or { move @X to r  move @X to s }", {"main": 4}),
    ("main = loop 2 times a: { move @X to p } then b: { move @X to q }", {"main": 4}),
    ("main = loop 3 times loop 3 times { move @X to p }", {"main": 9}),
    ("main = loop 0 times { move @X to p }", {"main": 0}),
    ("main = loop 007 times { move @X to p }", {"main": 7}),
    # Up to the limit is allowed, for a loop's rounds, a loop's actions and the script's total.
    ("main = loop 10 times { move @X to p }", {"main": 10}),
    ("main = loop 5 times { move @X to p  move @X to q }", {"main": 10}),
    ("a = loop 5 times { move @X to p }\nmain = { a }", {"a": 5, "main": 5}),
])
def test_actions_are_counted_through_names_loops_chains_and_branches(text, counts):
    assert bounds(text) == ([], counts)


@pytest.mark.parametrize("text, errors, counts", [
    ("main = loop 11 times { move @X to p }",
     ["1:13 a loop of 11 rounds is more than the limit of 10 actions (--max-actions)"], {"main": 0}),
    # Rounds alone pass the limit even when the body makes nothing.
    ("main = loop 11 times { ghost }",
     ["1:13 a loop of 11 rounds is more than the limit of 10 actions (--max-actions)"], {"main": 0}),
    ("main = loop 6 times { move @X to p  move @X to q }",
     [f"1:8 this loop of 6 rounds makes 12 actions, {OVER}"], {"main": 0}),
    # The innermost place that passes the limit is reported, once.
    ("main = loop 2 times loop 3 times { move @X to p  move @X to q }",
     [f"1:8 this loop of 2 rounds makes 12 actions, {OVER}"], {"main": 0}),
    ("main = loop 2 times loop 6 times { move @X to p  move @X to q }",
     [f"1:21 this loop of 6 rounds makes 12 actions, {OVER}"], {"main": 0}),
    ("a = loop 6 times { move @X to p }\nmain = { a  a }",
     [f"2:8 this block makes 12 actions, {OVER}"], {"a": 6, "main": 0}),
    # Declared blocks count towards the script's total whether or not they are used.
    ("a = loop 6 times { move @X to p }\nb = loop 5 times { move @X to p }\nmain = { move @X to p }",
     [f"2:1 the script up to this declaration makes 11 actions, {OVER}"], {"a": 6, "b": 5, "main": 1}),
    ("a = loop 6 times { move @X to p }\nmain = { a } then { a }",
     [f"2:1 the script up to this declaration makes 18 actions, {OVER}"], {"a": 6, "main": 12}),
    # A refused declaration counts as nothing afterwards, so it is not reported again where it is used.
    ("a = loop 11 times { move @X to p }\nmain = { a  a  a }",
     ["1:10 a loop of 11 rounds is more than the limit of 10 actions (--max-actions)"], {"a": 0, "main": 0}),
    ("main = loop -1 times { move @X to p }", ["1:13 a loop runs 0 or more times, not -1"], {"main": 0}),
    # A count is shown as the number it reads as; only one too long to read is shown as written.
    ("main = loop 011 times { move @X to p }",
     ["1:13 a loop of 11 rounds is more than the limit of 10 actions (--max-actions)"], {"main": 0}),
    ("main = loop -007 times { move @X to p }", ["1:13 a loop runs 0 or more times, not -7"], {"main": 0}),
    # Counts beyond what int() reads from text keep their sign and are shown as written.
    ("main = loop " + "9" * 5000 + " times { move @X to p }",
     [f"1:13 a loop of {'9' * 5000} rounds is more than the limit of 10 actions (--max-actions)"], {"main": 0}),
    ("main = loop -" + "9" * 5000 + " times { move @X to p }",
     [f"1:13 a loop runs 0 or more times, not -{'9' * 5000}"], {"main": 0}),
])
def test_each_limit_is_reported_at_the_place_that_passes_it(text, errors, counts):
    assert bounds(text) == (errors, counts)


@pytest.mark.parametrize("rounds, refused", [(1_000_000, False), (1_000_001, True)])
def test_the_default_limit_is_a_million_actions(rounds, refused):
    script = Script(f"main = loop {rounds} times {{ move @X to p }}", "s.vemo")
    errors, counts = check_tree(parse(script), script)
    assert (bool(errors), counts) == (refused, {"main": 0 if refused else rounds})


def test_a_negative_loop_is_refused_before_its_body_is_counted():
    # The body of a refused loop is not looked at: its doubled label is not reported besides.
    assert bounds("main = loop -1 times a: { move @X to p } then a: { move @X to q }") == (
        ["1:13 a loop runs 0 or more times, not -1"], {"main": 0})


@pytest.mark.parametrize("text, errors", [
    ("main = async a: { move @X to p } and a: { move @Z to q }",
     ["1:38 the label 'a' is already used at line 1, column 14: a wait on it would name the first one only"]),
    ("main = compete a: { move @X to p } or b: { move @X to q } or\n  a: { move @X to q }",
     ["2:3 the label 'a' is already used at line 1, column 16: a wait on it would name the first one only"]),
    ("main = a: { move @X to p } then a: { move @X to q } then a: { move @X to r }",
     ["1:33 the label 'a' is already used at line 1, column 8: a wait on it would name the first one only",
      "1:58 the label 'a' is already used at line 1, column 8: a wait on it would name the first one only"]),
    # Labels are per declaration: the same label in two declarations, and a label inside a loop body that
    # the loop repeats, are fine.
    ("x = a: { move @X to p }\nmain = a: { move @X to p } then b: { x }", []),
    ("main = loop 3 times a: { move @X to p } then b: wait a { move @X to q }", []),
    # Both faults of one loop are reported: the label inside its body, then the rounds.
    ("main = loop 11 times a: { move @X to p } then a: { move @X to q }",
     ["1:47 the label 'a' is already used at line 1, column 22: a wait on it would name the first one only",
      "1:13 a loop of 11 rounds is more than the limit of 10 actions (--max-actions)"]),
])
def test_a_label_used_twice_in_one_declaration_is_reported_where_it_is_used_again(text, errors):
    assert bounds(text)[0] == errors
