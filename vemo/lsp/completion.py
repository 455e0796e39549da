"""Completion candidates from the text before the cursor: works on half-written scripts that do not parse."""

from __future__ import annotations

import dataclasses
import re
from typing import Any

from vemo.lang.grammar import ENDLESS, KEYWORDS

_NAME = r"[A-Za-z_][A-Za-z0-9_]*"
_TYPED = rf"(?:{_NAME})?"  # the part of a name typed so far
_CONTEXTS = [  # (what the line before the cursor ends with, the cell entry it completes)
    (re.compile(rf"\bmove\s+@({_NAME})\s+to\s+{_TYPED}\Z"), "positions"),
    (re.compile(rf"\bset\s+@({_NAME})\s+{_TYPED}\Z"), "points"),
    (re.compile(rf"\btransfer\s+@({_NAME})\s+tray\s+-?\d+\s+along\s+{_TYPED}\Z"), "sequences"),
    (re.compile(rf"\bcall\s+@({_NAME})\.{_TYPED}\Z"), "operations"),
    (re.compile(rf"\bwait\s+@({_NAME})\s+{_TYPED}\Z"), "inputs"),
]
# What may follow `loop`: a count, or the word for a loop without end; after the count only `times`.
_LOOP_HEAD = [
    (re.compile(rf"\bloop\s+{_TYPED}\Z"), ENDLESS, "a loop without end: it runs until the operator stops the run"),
    (re.compile(rf"\bloop\s+-?\d+\s+{_TYPED}\Z"), "times", "the loop's count of rounds"),
]
_MODULE = re.compile(rf"@{_TYPED}\Z")
_WAIT = re.compile(rf"\bwait\s+(?:{_NAME}\s*,\s*)*{_TYPED}\Z")
_DECLARED = re.compile(rf"^[ \t]*({_NAME})[ \t]*=", re.MULTILINE)
_LABEL = re.compile(rf"({_NAME})[ \t]*:(?![A-Za-z])")
_COMMENT = re.compile(r'"[^"\n]*"|#[^\n]*')


@dataclasses.dataclass(frozen=True)
class Candidate:
    label: str
    kind: str  # "module", "position", "point", "sequence", "operation", "input", "block", "label", "keyword"
    detail: str = ""


_SINGULAR = {"positions": "position", "points": "point", "sequences": "sequence", "operations": "operation",
             "inputs": "input"}


def candidates(text: str, offset: int, modules: dict[str, dict[str, Any]]) -> list[Candidate]:
    """What may be written at `offset` of `text`, given the cell's modules (as the checker lists them)."""
    before = text[text.rfind("\n", 0, offset) + 1:offset]
    if "#" in _COMMENT.sub(lambda m: "#" if m.group().startswith("#") else '""', before):
        return []
    for pattern, entry in _CONTEXTS:
        found = pattern.search(before)
        if found:
            module = modules.get(found.group(1), {})
            return [Candidate(name, _SINGULAR[entry], f"{found.group(1)} {_SINGULAR[entry]}")
                    for name in module.get(entry, [])]
    for pattern, word, detail in _LOOP_HEAD:
        if pattern.search(before):
            return [Candidate(word, "keyword", detail)]
    if _MODULE.search(before):
        return [Candidate(name, "module", f"{entry.get('kind', '')} module" + (f": {entry['summary']}"
                                                                              if entry.get("summary") else ""))
                for name, entry in modules.items()]
    code = _COMMENT.sub("", text)
    labels = sorted(set(_LABEL.findall(code)) - set(KEYWORDS))
    if _WAIT.search(before):
        return [Candidate(name, "label", "step label") for name in labels]
    declared = sorted(set(_DECLARED.findall(code)) - set(KEYWORDS))
    return ([Candidate(name, "block", "declared block") for name in declared]
            + [Candidate(word, "keyword") for word in KEYWORDS])
