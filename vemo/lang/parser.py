"""Parses Vemo scripts and drives a semantics object over the finished tree, bottom-up, rule by rule."""

from __future__ import annotations

import bisect
import re
import dataclasses
from typing import Any, Callable, Iterable

import tatsu
import tatsu.exceptions
from tatsu.ast import AST

from vemo.lang import grammar
from vemo.lang.quickparse import quick_parse
from vemo.util.text import printable

# Operations of the semantics object, one per rule, and the parse-node fields each of them reads.
TERM_RULES = frozenset({"number", "identifier", "extern_str", "module"})
RULE_FIELDS: dict[str, tuple[str, ...]] = {
    "io": ("mod", "ident", "status"),
    "move": ("mod", "ident"),
    "transfer": ("mod", "tray", "ident"),
    "external": ("mod", "ident", "argLeft", "argRight"),
    "sense": ("mod", "ident", "level", "limit", "unit"),
    "actionclause": ("primary", "exception"),
    "asyncblock": ("asyncleft", "asyncright"),
    "competeblock": ("competeleft", "competeright"),
    "loop": ("iterateBlock", "cnt", "forever"),
    "declaration": ("ident", "action"),
    "action": (),
}
BLOCK_FIELDS = ("ident", "primary", "wait", "dependency", "dependLeft", "dependRight", "others")


@dataclasses.dataclass(frozen=True)
class SourceLocation:
    """A position in a script; prints as FILE:LINE:COLUMN (both counted from 1)."""

    file: str
    line: int
    column: int

    def __str__(self) -> str:
        return f"{self.file}:{self.line}:{self.column}"


EXCERPT_WIDTH = 100


def _excerpt(line: str, column: int) -> tuple[str, int]:
    """At most EXCERPT_WIDTH characters of `line` around `column` (0-based), and the column within them."""
    if len(line) <= EXCERPT_WIDTH:
        return line, column
    start = max(0, min(column - EXCERPT_WIDTH // 2, len(line) - EXCERPT_WIDTH))
    end = start + EXCERPT_WIDTH
    prefix = "..." if start > 0 else ""
    return prefix + line[start:end] + ("..." if end < len(line) else ""), column - start + len(prefix)


@dataclasses.dataclass(frozen=True)
class Diagnostic:
    """One finding of the front end's checks: an error (the script cannot run) or a warning, with its place
    when it has one, the script line there and, for syntax errors, what fits at that place."""

    severity: str  # "error" or "warning"
    message: str
    location: SourceLocation | None = None
    source_line: str | None = None
    expected: str | None = None
    actions: tuple[str, ...] = ()  # labels of the actions involved, for faults found after compiling

    def report(self) -> str:
        """The located report a person reads: the message, the offending line with a caret, what fits there;
        text from the script is shown with its control characters escaped."""
        prefix = "" if self.severity == "error" else f"{self.severity}: "
        lines = [f"{self.location}: {prefix}{self.message}" if self.location else f"{prefix}{self.message}"]
        if self.source_line is not None and self.location is not None:
            excerpt, caret = _excerpt(self.source_line.expandtabs(1), self.location.column - 1)
            lines.append("    " + printable(excerpt))
            lines.append("    " + " " * len(printable(excerpt[:caret])) + "^")
        if self.expected:
            lines.append(f"expected {self.expected}")
        return "\n".join(printable(line) for line in lines)

    def as_dict(self) -> dict[str, Any]:
        where = self.location
        return {"severity": self.severity, "file": where.file if where else None,
                "line": where.line if where else None, "column": where.column if where else None,
                "message": self.message, "expected": self.expected, "actions": list(self.actions)}


class ScriptError(Exception):
    """An error in a script, with the place it was found and, for syntax errors, what was expected there."""

    def __init__(self, location: SourceLocation, message: str, source_line: str | None = None,
                 expected: str | None = None):
        super().__init__(f"{location}: {message}")
        self.location = location
        self.message = message
        self.source_line = source_line
        self.expected = expected

    def diagnostic(self) -> Diagnostic:
        return Diagnostic("error", self.message, self.location, self.source_line, self.expected)

    def report(self) -> str:
        return self.diagnostic().report()

    def as_dict(self) -> dict[str, Any]:
        return self.diagnostic().as_dict()


class Node(dict):
    """One rule's parse node: its matched fields by name; a field the rule did not match reads as None."""

    __slots__ = ("rule", "location")

    def __init__(self, rule: str, location: SourceLocation, fields: dict[str, Any]):
        super().__init__(fields)
        self.rule = rule
        self.location = location

    def __getattr__(self, name: str) -> Any:
        return self.get(name)

    def __repr__(self) -> str:
        return f"Node({self.rule} at {self.location}, {dict.__repr__(self)})"


class Script:
    """A script's text with its name, and the conversion from character offsets to locations."""

    def __init__(self, text: str, filename: str = "<script>"):
        self.text = text
        self.filename = filename
        self.lines = text.split("\n")
        self._line_starts = [0]
        for line in self.lines[:-1]:
            self._line_starts.append(self._line_starts[-1] + len(line) + 1)

    def location(self, offset: int) -> SourceLocation:
        index = bisect.bisect_right(self._line_starts, offset) - 1
        return SourceLocation(self.filename, index + 1, offset - self._line_starts[index] + 1)

    def offset(self, line: int, column: int) -> int:
        """The character offset of a 1-based line and column, clamped to the text."""
        if line < 1:
            return 0
        if line > len(self.lines):
            return len(self.text)
        start = self._line_starts[line - 1]
        return start + min(max(column - 1, 0), len(self.lines[line - 1]))

    def line_text(self, location: SourceLocation) -> str:
        return self.lines[location.line - 1] if 0 < location.line <= len(self.lines) else ""

    def error(self, offset_or_location: int | SourceLocation, message: str, expected: str | None = None) -> ScriptError:
        location = (offset_or_location if isinstance(offset_or_location, SourceLocation)
                    else self.location(offset_or_location))
        return ScriptError(location, message, self.line_text(location), expected)


# What fits at a failure, by the token or rule the parser tried last. PEG parsers only know the last
# alternative they tried, so the hint names the whole set that the grammar allows at that point.
_ELEMENT = "an action (move, set, transfer, call, wait) or the name of a declared block"
_BLOCK_START = "a block: '{', 'name:', 'wait', 'try', 'loop', 'async' or 'compete'"
_EXPECTED = {
    "'move'": _ELEMENT,
    "'}'": "another action, or '}' to close the block",
    "link": _ELEMENT,
    "'{'": _BLOCK_START,
    "'loop'": _BLOCK_START,
    "'='": "'=' after the declared name",
    "'and'": "'and' followed by another branch (async needs two or more)",
    "'or'": "'or' followed by another competitor (compete needs two or more)",
    "'to'": "'to' and a named position: move @Module to position",
    "'tray'": "'tray' and a tray number: transfer @Module tray N along sequence",
    "'along'": "'along' and a sequence name: transfer @Module tray N along sequence",
    "'times'": "'times': loop N times { ... }",
    "loop": "a count and 'times', or 'forever': loop N times { ... }, loop forever { ... }",
    "'('": "'(' and the call's arguments",
    "')'": "')' or ',' and another argument (a whole number or a quoted string)",
    "'.'": "'.' and the operation name: call @Module.operation(...)",
    "status": "a status: on, off or a whole number",
    "sense": "an input wait: wait @Module input on|off, then optionally within N ms or within N s",
    "identifier": "a name (letters, digits, '_'; not a keyword)",
    "module": "a module reference such as @XAxis",
    "number": "a whole number",
    "argument": "a whole number or a quoted string",
    "extern_str": "a quoted string",
}


def _expected(error: tatsu.exceptions.FailedParse) -> str | None:
    if isinstance(error, tatsu.exceptions.FailedExpectingEndOfText):
        return "a declaration: name = block"
    if isinstance(error, tatsu.exceptions.FailedToken):
        return _EXPECTED.get(repr(error.token), repr(error.token))
    for rule in error.stack[:2]:
        if rule in _EXPECTED:
            return _EXPECTED[rule]
    return None


_TOKEN = re.compile(r"(?:@*\w+)+@*|\"[^\"\n]*\"?|\S")
_LAYOUT = re.compile(r"(?:\s|#[^\n]*)+")


def _message(script: Script, position: int, expected: str | None) -> str:
    if position >= len(script.text) or _LAYOUT.fullmatch(script.text, position):
        return "unexpected end of script"
    token = _TOKEN.match(script.text, position).group()
    if token in grammar.KEYWORDS and expected == _EXPECTED["identifier"]:
        return f"{token!r} is a keyword and cannot be used as a name"
    return f"unexpected {token!r}"


MAX_NESTING = 32
# A loop nests inside the loops written before it up to the next '}' or declaration: the grammar lets a
# loop's body start with another loop but puts nothing that can hold a loop after a closed block.
_NESTING_TOKENS = re.compile(r'#[^\n]*|"[^"\n]*"?|(?<![\w@.])loop\b|[}=]')


def _check_nesting(script: Script) -> None:
    """Raises "nested too deep" at the first loop nested more than MAX_NESTING deep; the parser and the
    compiler recurse once per level, so this runs before either sees the text."""
    depth = 0
    for token in _NESTING_TOKENS.finditer(script.text):
        text = token.group()
        if text == "loop":
            depth += 1
            if depth > MAX_NESTING:
                raise script.error(token.start(), f"nested too deep (more than {MAX_NESTING} levels)")
        elif text in ("}", "="):
            depth = 0


def parse(script: Script) -> AST:
    """The script's parse tree, or a ScriptError at the place the text stops fitting the grammar (or where
    loops nest deeper than MAX_NESTING)."""
    _check_nesting(script)
    tree = quick_parse(script.text)
    if tree is not None:
        return tree
    try:
        return grammar.parse(script.text)
    except tatsu.exceptions.FailedParse as error:
        # The parser stands on the layout before the token it could not use; point at the token.
        layout = _LAYOUT.match(script.text, error.pos)
        position = layout.end() if layout else error.pos
        if position >= len(script.text):
            # Nothing but layout is left: point just after the last character that is not blank.
            position = len(script.text.rstrip())
        expected = _expected(error)
        raise script.error(position, _message(script, position, expected), expected) from None


class TreeWalker:
    """Calls the semantics object on a finished parse tree, children before parents, in script order.

    Parsing is over before the first call, so no operation is ever called on a path the parser abandons.
    `on_result(rule, result, location)` sees every operation's result (term results included); a
    failure raised by an operation is turned into a ScriptError at the node's location.
    """

    def __init__(self, script: Script, semantics: Any,
                 on_result: Callable[[str, Any, SourceLocation], None] | None = None,
                 explain: Callable[[str, BaseException], str] | None = None):
        self.script = script
        self.semantics = semantics
        self.on_result = on_result
        self.explain = explain

    def walk(self, tree: AST) -> Any:
        return self._value(tree)

    def _location(self, node: AST) -> SourceLocation:
        return self.script.location(node.parseinfo.pos)

    def _call(self, rule: str, argument: Any, location: SourceLocation) -> Any:
        try:
            result = getattr(self.semantics, rule)(argument)
        except ScriptError:
            raise
        except Exception as error:
            message = self.explain(rule, error) if self.explain else f"{type(error).__name__}: {error}"
            raise self.script.error(location, message) from error
        if self.on_result is not None:
            self.on_result(rule, result, location)
        return result

    def _value(self, value: Any) -> Any:
        if isinstance(value, AST):
            return self._node(value)
        if isinstance(value, list):
            return [self._value(item) for item in value]
        return value

    def _fields(self, node: AST, names: Iterable[str]) -> dict[str, Any]:
        # TatSu defines every name of a rule's alternatives (and leaks some into sub-results) as None;
        # a node carries only the fields its rule actually matched. Fields are evaluated in script
        # order, so operations are called in the order their text appears.
        present = [name for name in names if node.get(name) not in (None, [])]
        values = {name: self._value(node[name]) for name in sorted(present, key=lambda n: _offset(node[n]))}
        return {name: values[name] for name in present}

    def _node(self, node: AST) -> Any:
        rule = node.parseinfo.rule
        location = self._location(node)
        if rule in TERM_RULES:
            return self._call(rule, str(node["value"]), location)
        if rule == "block":
            return self._chain(node["links"])
        if rule not in RULE_FIELDS:
            raise AssertionError(f"grammar rule {rule!r} has no semantics")
        if rule == "action":
            for declaration in node.get("declarations") or []:
                self._value(declaration)
            return self._call(rule, Node(rule, location, {}), location)
        return self._call(rule, Node(rule, location, self._fields(node, RULE_FIELDS[rule])), location)

    def _chain(self, links: list[AST]) -> Any:
        """`{...} then {...} then {...}`: one `block` call per link, the last link first, each link's
        block becoming the `others` of the one before it (an iteration, so long chains need no deep stack)."""
        nodes = []
        for link in links:
            fields = self._fields(link, ("ident", "primary", "wait"))
            waits = self._value(link.get("waits") or [])
            if len(waits) == 1:
                fields["dependency"] = waits[0]
            elif len(waits) > 1:
                fields["dependLeft"], fields["dependRight"] = waits[0], waits[1:]
            nodes.append(Node("block", self._location(link), fields))
        following = None
        for node in reversed(nodes):
            if following is not None:
                node["others"] = following
            following = self._call("block", node, node.location)
        return following


def _offset(value: Any) -> float:
    if isinstance(value, AST) and value.parseinfo is not None:
        return value.parseinfo.pos
    if isinstance(value, list) and value:
        return _offset(value[0])
    return float("inf")


def compile_text(text: str, filename: str, semantics: Any, **walker_options: Any) -> Any:
    """Parses the script, then drives `semantics` over it; returns what its `action` operation returns."""
    script = Script(text, filename)
    return TreeWalker(script, semantics, **walker_options).walk(parse(script))
