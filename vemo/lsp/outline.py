"""What an editor needs to know of a parsed script: where names are declared and used, and where actions stand."""

from __future__ import annotations

import dataclasses
import functools
import re
from typing import Any, Iterator

from tatsu.ast import AST

from vemo.lang.grammar import ENDLESS
from vemo.lang.parser import _LAYOUT

ACTION_RULES = frozenset({"move", "io", "transfer", "external", "sense"})
# What the name after a module reference is, by action rule: the cell entry it names.
TERM_KINDS = {"move": "position", "io": "point", "transfer": "sequence", "external": "operation", "sense": "input"}
_QUOTED = re.compile(r"'([A-Za-z_][A-Za-z0-9_]*)'")
# The head of a loop as the parser reads it: `loop N times` or `loop forever`, spaces and comments between.
_LOOP_HEAD = re.compile(rf"(?:{_LAYOUT.pattern})?loop{_LAYOUT.pattern}"
                        rf"(?:(?P<endless>{ENDLESS})|-?[0-9]+{_LAYOUT.pattern}times)(?![A-Za-z0-9_])")


@dataclasses.dataclass(frozen=True)
class Span:
    """A stretch of the script as character offsets, end excluded."""

    start: int
    end: int

    def __contains__(self, offset: int) -> bool:
        return self.start <= offset <= self.end


@dataclasses.dataclass(frozen=True)
class Name:
    """A declared block name, a step label, or a use of one.

    `kind` is "declaration", "label", "block" (a block used by name) or "wait" (a name waited for);
    `declaration` is the index of the declaration it is written in.
    """

    name: str
    kind: str
    span: Span
    declaration: int


@dataclasses.dataclass(frozen=True)
class Term:
    """A name of the cell written in an action: a module reference, or the position, IO point, sequence or
    operation of that module (`kind` says which; `module` is the module's name without '@')."""

    name: str
    kind: str
    module: str
    span: Span


@dataclasses.dataclass
class Details:
    terms: list[Term]
    links: list[Span]  # each `{ ... }` with its label and waits
    loops: list[tuple[int, Span]]  # (declaration index, span)


@dataclasses.dataclass
class Outline:
    """The names of a script and the spans of its declarations and actions, from its parse tree."""

    tree: AST
    names: list[Name]
    declarations: list[Span]
    actions: list[Span]

    def name_at(self, offset: int) -> Name | None:
        return next((name for name in self.names if offset in name.span), None)

    def action_at(self, offset: int) -> Span | None:
        inside = [span for span in self.actions if offset in span]
        return min(inside, key=lambda span: span.end - span.start, default=None)

    def refine(self, offset: int, message: str) -> Span | None:
        """The span a message reported at `offset` is about: the smallest node written there, narrowed to
        the name inside it that the message quotes (an unknown position names the position)."""
        node = self._smallest_written_at.get(offset)
        if node is None:
            return None
        quoted = set(_QUOTED.findall(message))
        for inner in nodes(node):
            if inner.parseinfo.rule == "identifier" and str(inner["value"]) in quoted:
                return _span(inner)
        return _span(node)

    @functools.cached_property
    def details(self) -> Details:
        """The cell terms, blocks and loops; walked when first asked for, apart from the names and actions
        every check needs."""
        found = Details([], [], [])
        for index, declaration in enumerate(self.tree["declarations"]):
            for node in nodes(declaration["action"]):
                rule = node.parseinfo.rule
                if rule == "loop":
                    found.loops.append((index, _span(node)))
                elif rule == "link":
                    found.links.append(_span(node))
                elif rule in ACTION_RULES:
                    module = str(node["mod"]["value"])
                    found.terms.append(Term(module, "module", module[1:], _span(node["mod"])))
                    found.terms.append(Term(str(node["ident"]["value"]), TERM_KINDS[rule], module[1:],
                                            _span(node["ident"])))
        return found

    @functools.cached_property
    def _smallest_written_at(self) -> dict[int, AST]:
        """The smallest node that starts at each offset, the first in tree order among equals; built once,
        as a script with a fault in every line gets a message per line."""
        found: dict[int, AST] = {}
        for node in nodes(self.tree):
            info, best = node.parseinfo, found.get(node.parseinfo.pos)
            if best is None or info.endpos - info.pos < best.parseinfo.endpos - best.parseinfo.pos:
                found[info.pos] = node
        return found


def loop_head(text: str, loop: Span) -> tuple[Span, bool]:
    """The head of the loop written at `loop` (up to its count's `times`, or its `forever`), and whether the
    loop is one without end."""
    found = _LOOP_HEAD.match(text, loop.start)
    if found is None:  # not a loop's start: the loop itself stands for its head
        return loop, False
    return Span(loop.start, found.end()), found.group("endless") is not None


def _span(node: AST) -> Span:
    return Span(node.parseinfo.pos, node.parseinfo.endpos)


def nodes(value: Any) -> Iterator[AST]:
    """Every parse node under `value`, parents first (without recursion: declarations nest deeply)."""
    pending = [value]
    while pending:
        item = pending.pop()
        if isinstance(item, AST):
            if item.parseinfo is not None:
                yield item
            pending.extend(v for k, v in reversed(list(item.items())) if k != "parseinfo")
        elif isinstance(item, list):
            pending.extend(reversed(item))


def outline(tree: AST) -> Outline:
    names: list[Name] = []
    declarations: list[Span] = []
    actions: list[Span] = []
    for index, declaration in enumerate(tree["declarations"]):
        declarations.append(_span(declaration))
        names.append(Name(str(declaration["ident"]["value"]), "declaration", _span(declaration["ident"]), index))
        for node in nodes(declaration["action"]):
            rule = node.parseinfo.rule
            if rule == "link":
                if node.get("ident"):
                    names.append(Name(str(node["ident"]["value"]), "label", _span(node["ident"]), index))
                for wait in node.get("waits") or []:
                    names.append(Name(str(wait["value"]), "wait", _span(wait), index))
                for element in node.get("primary") or []:
                    if isinstance(element, AST) and element.parseinfo.rule == "identifier":
                        names.append(Name(str(element["value"]), "block", _span(element), index))
            elif rule in ACTION_RULES:
                actions.append(_span(node))
    names.sort(key=lambda n: n.span.start)
    return Outline(tree, names, declarations, actions)
