"""Checks a parsed script before anything is built from it: loop counts, repeated labels and the number of
actions the program will make, so that a script that would take unbounded memory is refused at its place."""

from __future__ import annotations

import math
from typing import Any

from tatsu.ast import AST

from vemo.lang.parser import Script, ScriptError

# Documented in docs/language.md; `vemo check` and `vemo run` take --max-actions to change the first.
MAX_ACTIONS = 1_000_000

_ACTION_RULES = frozenset({"move", "io", "transfer", "external", "sense"})
def _rule(value: Any) -> str | None:
    return value.parseinfo.rule if isinstance(value, AST) and value.parseinfo is not None else None


def _items(value: Any) -> list:
    if value is None:
        return []
    return value if isinstance(value, list) else [value]


class _Counter:
    """Counts, declaration by declaration, the actions each block will make once names are resolved and loops
    repeated, without building any of them."""

    def __init__(self, script: Script, max_actions: int) -> None:
        self.script = script
        self.max_actions = max_actions
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
        written = str(node["cnt"]["value"])
        try:
            rounds: float = int(written)
        except ValueError:  # more digits than int() reads from text: beyond any limit either way
            rounds = -math.inf if written.startswith("-") else math.inf
        shown = written if math.isinf(rounds) else rounds
        if rounds < 0:
            self.error(node["cnt"], f"a loop runs 0 or more times, not {shown}")
            return 0
        body = self.count(node.get("iterateBlock"))
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


def check_tree(tree: Any, script: Script, max_actions: int = MAX_ACTIONS) -> tuple[list[ScriptError], dict[str, int]]:
    """The errors of a parsed script found before it is compiled (loops of negative or excessive count,
    labels used twice in one declaration, more than `max_actions` actions to build), and the number of
    actions each declared block makes."""
    counter = _Counter(script, max_actions)
    total = 0
    for declaration in _items(tree.get("declarations")):
        total = counter.declaration(declaration, total)
    return counter.errors, counter.declared
