"""Parses a script declaration by declaration, reusing the trees of the declarations an edit left alone.

A declaration always ends with '}', and after a '}' the grammar goes on only with a keyword ('then', 'and',
'or', 'except'), so a declaration can never reach into the next `name =`, unless that name starts with a
keyword and '_' (the parser reads `then_x` there as 'then' and '_x'). A script cut before each other line
that starts with `name =` therefore parses, piece by piece, into the same declarations as in one go. When
a piece does not parse on its own, the whole script is parsed, so that errors read exactly as from
`vemo check`.
"""

from __future__ import annotations

import re

from tatsu.ast import AST

from vemo.lang.grammar import KEYWORDS
from vemo.lsp.outline import nodes
from vemo.lang.parser import Script, ScriptError, parse

_DECLARATION_START = re.compile(rf"^[ \t]*(?!(?:{'|'.join(KEYWORDS)})_)[A-Za-z_][A-Za-z0-9_]*[ \t]*=",
                                re.MULTILINE)


def _pieces(text: str) -> list[tuple[int, int]]:
    starts = [match.start() for match in _DECLARATION_START.finditer(text)]
    # Comments before the first declaration go with it.
    starts[:1] = [0]
    return list(zip(starts, starts[1:] + [len(text)]))


class IncrementalParser:
    """Keeps the parse trees of the last script's declarations by their text."""

    def __init__(self) -> None:
        self._trees: dict[str, tuple[list[AST], int]] = {}  # piece text -> (declarations, offset now)

    def parse(self, script: Script) -> AST:
        """The parse tree of the whole script, as `vemo.lang.parser.parse` gives it; raises its ScriptError."""
        text = script.text
        kept: dict[str, tuple[list[AST], int]] = {}
        declarations: list[AST] = []
        for start, end in _pieces(text):
            piece = text[start:end]
            cached = self._trees.pop(piece, None)
            if cached is None:
                try:
                    cached = (list(parse(Script(piece, script.filename))["declarations"]), 0)
                except ScriptError:
                    self._trees.update(kept)
                    raise _located_error(script, start) from None
            trees, offset = cached
            if offset != start:
                _shift(trees, start - offset)
            if piece not in kept:  # a piece written twice is parsed twice: each tree has one place
                kept[piece] = (trees, start)
            declarations += trees
        self._trees = kept
        if not declarations:
            return parse(script)
        tree = AST(declarations=declarations)
        dict.__setitem__(tree, "parseinfo", declarations[0].parseinfo._replace(rule="action", pos=0, endpos=len(text)))
        return tree


def _located_error(script: Script, start: int) -> ScriptError:
    """The error the whole parse reports, when the declaration at `start` is the first that fails.

    The declarations before it parse as they do on their own, so the whole parse fails the way a parse of
    the text from `start` on fails: that text is parsed with everything before it blanked out, which keeps
    every place where it is. Only a failure right at `start` reads differently from there (the whole parse
    then expects another declaration), so that one comes from the whole parse.
    """
    blanked = re.sub(r"[^\n]", " ", script.text[:start]) + script.text[start:]
    for text in ([blanked] if start else []) + [script.text]:
        try:
            parse(Script(text, script.filename))
        except ScriptError as error:
            at_start = script.location(start)
            if text is script.text or (error.location.line, error.location.column) != (at_start.line,
                                                                                        at_start.column):
                return error
    raise AssertionError("a declaration that does not parse on its own parsed within its script")


def _shift(trees: list[AST], delta: int) -> None:
    for node in list(nodes(trees)):
        info = node.parseinfo
        dict.__setitem__(node, "parseinfo", info._replace(pos=info.pos + delta, endpos=info.endpos + delta))
