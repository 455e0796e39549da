"""Checks a parsed script before anything is built from it: loop counts, repeated labels and the number of
actions the program will make, so that a script that would take unbounded memory is refused at its place;
and chooses the loops that are built from a few rounds and repeated as the run goes (expanded loops)."""

from __future__ import annotations

import math
from typing import Any

from tatsu.ast import AST

from vemo.lang.parser import Script, ScriptError

# Documented in docs/language.md; `vemo check` and `vemo run` take --max-actions to change the first.
MAX_ACTIONS = 1_000_000

# A loop of more rounds than SAMPLED_ROUNDS is built as that many rounds: the first, the second (which
# stands for every round between the first and the last) and the last; a loop without end as its first two.
# The run makes the other rounds from the second as it goes, and the checks read the rounds built.
SAMPLED_ROUNDS = 3
FOREVER_ROUNDS = 2
# A billion rounds of the shortest cycle is years of running: a larger count is a typo; `loop forever`
# says "until stopped".
MAX_LOOP_ROUNDS = 1_000_000_000

_ACTION_RULES = frozenset({"move", "io", "transfer", "external", "sense"})
def _rule(value: Any) -> str | None:
    return value.parseinfo.rule if isinstance(value, AST) and value.parseinfo is not None else None


def _items(value: Any) -> list:
    if value is None:
        return []
    return value if isinstance(value, list) else [value]


def loop_rounds(node: Any) -> int | None:
    """A loop node's count as written; None for `loop forever`; infinite counts (more digits than int()
    reads) as +-inf."""
    if node.get("forever"):
        return None
    written = str(node["cnt"]["value"])
    try:
        return int(written)
    except ValueError:
        return -math.inf if written.startswith("-") else math.inf  # type: ignore[return-value]


def built_rounds(count: int | None) -> int:
    """How many rounds of an expanded loop of `count` rounds are built."""
    return FOREVER_ROUNDS if count is None else min(count, SAMPLED_ROUNDS)


class _Expansion:
    """Chooses the expanded loops: each loop without end, and each loop of more than SAMPLED_ROUNDS rounds
    that no expanded loop holds. Rounds are made as the run goes by copying one round, so an expanded loop
    cannot hold another (the outer one is expanded: its body is built in full), nor stand where a block
    runs on lanes (a compete block) or as a program of its own (an except block). A declared block used
    in such a place has no expanded loop wherever it is used."""

    def __init__(self, script: Script, declarations: list) -> None:
        self.script = script
        self.nodes = {str(d["ident"]["value"]): d.get("action") for d in declarations}
        self.errors: list[ScriptError] = []
        self.expanded: dict[int, int | None] = {}  # loop node position -> its count (None: without end)
        closed: set[str] = set()  # declarations whose loops are built in full
        while True:
            self.expanded, grown = {}, set(closed)
            for name, node in self.nodes.items():
                if name not in closed:
                    self._walk(node, grown)
            if grown == closed:
                break
            closed = grown
        for name, node in self.nodes.items():
            if name in closed:
                self._refuse_forever(node)

    def _close(self, node: Any, closed: set[str]) -> None:
        """Every declaration `node` uses, and those they use, are built in full."""
        for child in _children(node):
            if _rule(child) == "identifier":
                name = str(child["value"])
                if name in self.nodes and name not in closed:
                    closed.add(name)
                    self._close(self.nodes[name], closed)
            else:
                self._close(child, closed)

    def _walk(self, node: Any, closed: set[str]) -> None:
        rule = _rule(node)
        if rule == "loop":
            count = loop_rounds(node)
            self._refuse_forever(node.get("iterateBlock"))
            if count is None or (count > SAMPLED_ROUNDS and not math.isinf(count)):
                self.expanded[node.parseinfo.pos] = count
                self._close(node.get("iterateBlock"), closed)
                return
        if rule == "competeblock" and node.get("competeright"):
            self._close(node, closed)
            self._refuse_forever(node)
            return
        if rule == "actionclause" and node.get("exception") is not None:
            self._close(node["exception"], closed)
            self._refuse_forever(node["exception"])
        for child in _children(node):
            if not (rule == "actionclause" and child is node.get("exception")):
                self._walk(child, closed)

    def _refuse_forever(self, node: Any) -> None:
        for child in self._reached(node):
            if _rule(child) == "loop" and child.get("forever"):
                message = ("a loop without end cannot stand inside another loop, a compete block or an except "
                           "block (nor in a block used there): it would never let them go on")
                error = self.script.error(child.parseinfo.pos, message)
                if all(e.location != error.location for e in self.errors):
                    self.errors.append(error)


    def _reached(self, node: Any) -> list:
        """`node`, what it holds, and the declarations it uses with what they hold."""
        found, stack, seen = [], [node], set()
        while stack:
            child = stack.pop()
            found.append(child)
            if _rule(child) == "identifier":
                name = str(child["value"])
                if name in self.nodes and name not in seen:
                    seen.add(name)
                    stack.append(self.nodes[name])
            stack.extend(_children(child))
        return found


def _children(node: Any) -> list:
    if not isinstance(node, AST):
        return []
    found = []
    for key, value in node.items():
        if key == "parseinfo":
            continue
        for item in _items(value):
            if isinstance(item, AST):
                found.append(item)
    return found




class _Counter:
    """Counts, declaration by declaration, the actions each block will make once names are resolved and loops
    repeated (an expanded loop: the rounds that are built), without building any of them."""

    def __init__(self, script: Script, max_actions: int, expanded: dict[int, int | None]) -> None:
        self.script = script
        self.max_actions = max_actions
        self.expanded = expanded
        self.declared: dict[str, int] = {}
        self.labels: dict[str, int] = {}
        self.errors: list[ScriptError] = []

    def error(self, node: Any, message: str) -> None:
        self.errors.append(self.script.error(node.parseinfo.pos, message))

    def bounded(self, count: int, node: Any, what: str) -> int:
        if count > self.max_actions:
            self.error(node, f"{what} makes {count} actions, more than the limit of {self.max_actions} "
                             f"(--max-actions)")
            return 0  # reported once, at the innermost place that passes the limit
        return count

    def count(self, node: Any) -> int:
        rule = _rule(node)
        if rule in _ACTION_RULES:
            return 1
        if rule == "identifier":
            return self.declared.get(str(node["value"]), 0)
        if rule == "loop":
            return self.loop(node)
        if rule == "link":
            label = node.get("ident")
            if label is not None:
                self.label(label)
            return self.bounded(sum(self.count(e) for e in _items(node.get("primary"))), node, "this block")
        fields = {"block": ("links",), "asyncblock": ("asyncleft", "asyncright"),
                  "competeblock": ("competeleft", "competeright"), "actionclause": ("primary", "exception")}
        parts = [part for name in fields.get(rule, ()) for part in _items(node.get(name))]
        return sum(self.count(part) for part in parts)

    def loop(self, node: Any) -> int:
        body = self.count(node.get("iterateBlock"))
        if node.parseinfo.pos in self.expanded:
            count = self.expanded[node.parseinfo.pos]
            if count is not None and count > MAX_LOOP_ROUNDS:
                self.error(node["cnt"], f"a loop of {count} rounds is more than the limit of {MAX_LOOP_ROUNDS}; "
                                        f"write 'loop forever' for a loop that runs until it is stopped")
                return 0
            return self.bounded(built_rounds(count) * body, node, "the rounds built of this loop")
        rounds = loop_rounds(node)
        shown = str(node["cnt"]["value"]) if math.isinf(rounds) else rounds
        if rounds < 0:
            self.error(node["cnt"], f"a loop runs 0 or more times, not {shown}")
            return 0
        if rounds > self.max_actions:
            self.error(node["cnt"], f"a loop of {shown} rounds is more than the limit of {self.max_actions} "
                                    f"actions (--max-actions)")
            return 0
        return self.bounded(rounds * body, node, f"this loop of {rounds} rounds")

    def label(self, ident: Any) -> None:
        name = str(ident["value"])
        first = self.labels.setdefault(name, ident.parseinfo.pos)
        if first != ident.parseinfo.pos:
            where = self.script.location(first)
            self.error(ident, f"the label {name!r} is already used at line {where.line}, column {where.column}: "
                              f"a wait on it would name the first one only")

    def declaration(self, node: Any, total: int) -> int:
        self.labels = {}
        count = self.count(node.get("action"))
        self.declared[str(node["ident"]["value"])] = count
        return self.bounded(total + count, node, "the script up to this declaration")


def expanded_loops(tree: Any, script: Script) -> tuple[dict[int, int | None], list[ScriptError]]:
    """The expanded loops of a parse tree, by the position of their node, with their counts (None: without
    end), and the loops without end that stand where they cannot."""
    expansion = _Expansion(script, _items(tree.get("declarations")))
    return expansion.expanded, expansion.errors


def check_tree(tree: Any, script: Script, max_actions: int = MAX_ACTIONS,
               expanded: dict[int, int | None] | None = None) -> tuple[list[ScriptError], dict[str, int]]:
    """The errors of a parsed script found before it is compiled (loops of negative or excessive count,
    labels used twice in one declaration, more than `max_actions` actions to build), and the number of
    actions each declared block makes. `expanded` are the loops built from a few rounds (expanded_loops);
    None builds every loop in full, as a host that calls the compiler itself does."""
    counter = _Counter(script, max_actions, expanded or {})
    total = 0
    for declaration in _items(tree.get("declarations")):
        total = counter.declaration(declaration, total)
    return counter.errors, counter.declared
