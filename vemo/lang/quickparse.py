"""Parses well-formed scripts in one pass over their tokens, giving the same tree as the generated parser.

The generated PEG parser spends some 150 µs and a few kilobytes of bookkeeping on every action, which made
a long block take minutes. This parser reads the same grammar without backtracking or memoisation. It
accepts only what it recognises for certain: at anything else (a syntax error, or a spelling whose
reading depends on the generated parser's finer rules) it gives up, and the generated parser reads the
script and reports what it finds.
"""

from __future__ import annotations

import bisect
import itertools
import re
from typing import Any

from tatsu.ast import AST
from tatsu.contexts import closure
from tatsu.infos import ParseInfo

from vemo.lang.grammar import ENDLESS, KEYWORDS, LIMIT_UNITS

_KEYWORDS = frozenset(KEYWORDS)
# Words that start with a keyword and go on with '_': the generated parser reads the keyword alone in
# some places and the whole word in others, so these are left to it.
_KEYWORD_THEN_UNDERSCORE = re.compile(rf"(?:{'|'.join(KEYWORDS)})_")
_TOKEN = re.compile(r"""
    (?P<layout>(?:\s|\#[^\n]*)+)
  | (?P<word>[A-Za-z_][A-Za-z0-9_]*)
  | (?P<module>@[A-Za-z_][A-Za-z0-9_]*)
  | (?P<number>-?[0-9]+)
  | (?P<string>"[^"\n]*")
  | (?P<symbol>[{}=,:.()])
""", re.VERBOSE)
_ELEMENT_KEYWORDS = frozenset({"move", "set", "transfer", "call", "wait"})
_LEVELS = ("on", "off")
_UNITS = frozenset(LIMIT_UNITS)


class _GiveUp(Exception):
    """The text is not something this parser reads for certain."""


def _tokens(text: str) -> tuple[list[str], list[str], list[int], list[int]]:
    """(kinds, texts, starts, ends) of the script's tokens; a keyword's kind is the keyword itself."""
    kinds: list[str] = []
    texts: list[str] = []
    starts: list[int] = []
    ends: list[int] = []
    seen: dict[str, str] = {}
    position, length = 0, len(text)
    match = _TOKEN.match
    while position < length:
        found = match(text, position)
        if found is None:
            raise _GiveUp
        kind, end = found.lastgroup, found.end()
        if kind != "layout":
            token = found.group()
            if kind in ("word", "module", "number") and end < length:
                following = text[end]
                if following.isalnum() or (kind == "number" and following in "_@") or \
                        (kind == "module" and following == "@"):
                    raise _GiveUp
            if kind == "symbol":
                kind = token
            elif kind == "word":
                if token in _KEYWORDS:
                    kind = token
                elif _KEYWORD_THEN_UNDERSCORE.match(token):
                    raise _GiveUp
            kinds.append(kind)
            texts.append(seen.setdefault(token, token))  # one string per distinct name or number
            starts.append(position)
            ends.append(end)
        position = end
    return kinds, texts, starts, ends


class _Reader:
    def __init__(self, text: str) -> None:
        self.text = text
        self.kinds, self.texts, self.starts, self.ends = _tokens(text)
        self.kinds.append("end")
        self.starts.append(len(text))
        self.index = 0
        # Lines as the generated parser counts them: split where str.splitlines splits (\r, \f, \u2028, ...
        # as well as \n), and the end of the text one line further when the text ends with \r or \n.
        lines = text.splitlines(keepends=True)
        self.line_starts = [0, *itertools.accumulate(map(len, lines[:-1]))]
        self.end_line = len(lines) + (text[-1:] in ("\r", "\n"))

    # Tokens

    def peek(self) -> str:
        return self.kinds[self.index]

    def take(self, kind: str) -> int:
        """Consumes a token of `kind` and returns its index."""
        if self.kinds[self.index] != kind:
            raise _GiveUp
        self.index += 1
        return self.index - 1

    def node(self, rule: str, first: int, **fields: Any) -> AST:
        """A node of `rule` spanning from token `first` to the last token taken."""
        start, end = self.starts[first], self.ends[self.index - 1]
        fields["parseinfo"] = ParseInfo(None, rule, start, end, self.line(start), self.line(end))
        # Filled as a plain dict: AST's constructor also gives every node an attribute dictionary, a
        # hundred bytes or more per node that nothing here reads.
        node = AST.__new__(AST)
        dict.update(node, fields)
        return node

    def line(self, position: int) -> int:
        """The 0-based line of `position`."""
        if position >= len(self.text):
            return self.end_line
        return bisect.bisect_right(self.line_starts, position) - 1

    def term(self, kind: str, rule: str) -> AST:
        index = self.take(kind)
        return self.node(rule, index, value=self.texts[index])

    # Rules, as in vemo/lang/grammar.py

    def action(self) -> AST:
        declarations = closure()
        while True:
            declarations.append(self.declaration())
            if self.peek() == "end":
                break
        if not declarations:
            raise _GiveUp
        node = self.node("action", 0, declarations=declarations)
        # The end of text is matched after the trailing layout.
        dict.__setitem__(node, "parseinfo", node.parseinfo._replace(endpos=len(self.text),
                                                                    endline=self.line(len(self.text))))
        return node

    def declaration(self) -> AST:
        first = self.index
        ident = self.term("word", "identifier")
        self.take("=")
        action = self.asyncblock()
        return self.node("declaration", first, action=action, ident=ident)

    def asyncblock(self) -> AST:
        return self.joined("asyncblock", "async", "and", self.competeblock, "asyncleft", "asyncright")

    def competeblock(self) -> AST:
        return self.joined("competeblock", "compete", "or", self.branch, "competeleft", "competeright")

    def joined(self, rule: str, keyword: str, joiner: str, plain: Any, left_key: str, right_key: str) -> AST:
        """`keyword branch (joiner branch)+`, or without the keyword the rule's plain alternative."""
        first = self.index
        if self.peek() != keyword:
            return self.node(rule, first, **{left_key: plain()})
        self.take(keyword)
        left = self.branch()
        right = []
        self.take(joiner)
        right.append(self.branch())
        while self.peek() == joiner:
            self.take(joiner)
            right.append(self.branch())
        return self.node(rule, first, **{left_key: left, right_key: right})

    def branch(self) -> AST:
        kind = self.peek()
        if kind == "loop":
            first = self.take("loop")
            if self.peek() == "word" and self.texts[self.index] == ENDLESS:
                self.index += 1
                return self.node("loop", first, cnt=None, forever=ENDLESS, iterateBlock=self.branch())
            count = self.term("number", "number")
            self.take("times")
            return self.node("loop", first, cnt=count, forever=None, iterateBlock=self.branch())
        if kind == "try":
            first = self.take("try")
            primary = self.block()
            exception = None
            if self.peek() == "except":
                self.take("except")
                exception = self.block()
            return self.node("actionclause", first, exception=exception, primary=primary)
        return self.block()

    def block(self) -> AST:
        first = self.index
        links = [self.link()]
        while self.peek() == "then":
            self.take("then")
            links.append(self.link())
        return self.node("block", first, links=links)

    def link(self) -> AST:
        first = self.index
        ident = None
        if self.peek() == "word" and self.kinds[self.index + 1] == ":":
            ident = self.term("word", "identifier")
            self.take(":")
        wait, waits = None, []
        if self.peek() == "wait":
            wait = self.texts[self.take("wait")]
            waits.append(self.term("word", "identifier"))
            while self.peek() == ",":
                self.take(",")
                waits.append(self.term("word", "identifier"))
        self.take("{")
        primary = closure()
        while self.peek() != "}":
            primary.append(self.element())
        if not primary:
            raise _GiveUp
        self.take("}")
        return self.node("link", first, ident=ident, primary=primary, wait=wait, waits=waits)

    def element(self) -> AST:
        kind = self.peek()
        if kind not in _ELEMENT_KEYWORDS:
            return self.term("word", "identifier")
        first = self.take(kind)
        module = self.term("module", "module")
        if kind == "move":
            self.take("to")
            return self.node("move", first, ident=self.term("word", "identifier"), mod=module)
        if kind == "set":
            ident = self.term("word", "identifier")
            if self.peek() == "number":
                status: Any = self.term("number", "number")
            elif self.peek() in ("on", "off"):
                status = self.texts[self.take(self.peek())]
            else:
                raise _GiveUp
            return self.node("io", first, ident=ident, mod=module, status=status)
        if kind == "wait":
            return self.sense(first, module)
        if kind == "transfer":
            self.take("tray")
            tray = self.term("number", "number")
            self.take("along")
            return self.node("transfer", first, ident=self.term("word", "identifier"), mod=module, tray=tray)
        self.take(".")
        ident = self.term("word", "identifier")
        self.take("(")
        left, right = None, []
        if self.peek() != ")":
            left = self.argument()
            while self.peek() == ",":
                self.take(",")
                right.append(self.argument())
        self.take(")")
        return self.node("external", first, argLeft=left, ident=ident, mod=module, argRight=right)

    def sense(self, first: int, module: AST) -> AST:
        """`wait @Module input on|off [within N ms|s]`, after its keyword and module."""
        ident = self.term("word", "identifier")
        if self.peek() not in _LEVELS:
            raise _GiveUp
        level = self.texts[self.take(self.peek())]
        limit = unit = None
        if self.peek() == "within":
            self.take("within")
            limit = self.term("number", "number")
            if self.peek() != "word" or self.texts[self.index] not in _UNITS:
                raise _GiveUp
            unit = self.texts[self.take("word")]
        return self.node("sense", first, ident=ident, level=level, limit=limit, mod=module, unit=unit)

    def argument(self) -> AST:
        if self.peek() == "number":
            return self.term("number", "number")
        return self.term("string", "extern_str")


def quick_parse(text: str) -> AST | None:
    """The parse tree of a well-formed script, as the generated parser gives it; None when this parser
    cannot tell (a syntax error among others): the generated parser then reads the script."""
    try:
        return _Reader(text).action()
    except (_GiveUp, IndexError):
        return None
