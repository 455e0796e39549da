"""Text from scripts and cell files made safe to print: control characters shown as escapes, not obeyed."""

from __future__ import annotations

import re

# C0 and C1 controls and DEL (terminal escapes, carriage returns, bells), line and paragraph separators,
# and the bidirectional overrides and isolates that make a line display in another order than it reads.
_UNPRINTABLE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]")


def _escape(match: re.Match) -> str:
    code = ord(match.group())
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def printable(text: str) -> str:
    """`text` on one line with every control character written as its escape (ESC as \\x1b)."""
    return _UNPRINTABLE.sub(_escape, text)
