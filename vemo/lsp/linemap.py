"""Maps the lines of an earlier text of a document onto its current text, for answers from the last text
that parsed: a line the edits left alone keeps what was found on it; a changed line has nothing."""

from __future__ import annotations

import bisect
import difflib


class LineMap:
    """The unchanged lines between `old` and `new` text, both ways."""

    def __init__(self, old: str, new: str) -> None:
        self.same = old == new
        self._blocks: list[tuple[int, int, int]] = []  # (old start, new start, length), by old start
        if not self.same:
            matcher = difflib.SequenceMatcher(None, old.split("\n"), new.split("\n"), autojunk=False)
            self._blocks = [(b.a, b.b, b.size) for b in matcher.get_matching_blocks() if b.size]
        self._old_starts = [b[0] for b in self._blocks]
        self._new_starts = [b[1] for b in self._blocks]  # matching blocks are in order on both sides

    def _find(self, starts: list[int], line: int, side: int) -> int | None:
        blocks = self._blocks
        index = bisect.bisect_right(starts, line) - 1
        if index < 0:
            return None
        block = blocks[index]
        if line >= block[side] + block[2]:
            return None
        return block[1 - side] + line - block[side]

    def to_new(self, line: int) -> int | None:
        return line if self.same else self._find(self._old_starts, line, 0)

    def to_old(self, line: int) -> int | None:
        return line if self.same else self._find(self._new_starts, line, 1)

    def range_to_new(self, entry: list[int]) -> list[int] | None:
        """A [line, column, end line, end column] range of the old text in the new one, if its lines are
        unchanged and still follow each other."""
        start, end = self.to_new(entry[0]), self.to_new(entry[2])
        if start is None or end is None or end - start != entry[2] - entry[0]:
            return None
        return [start, entry[1], end, entry[3]]
