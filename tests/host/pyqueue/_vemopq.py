"""A pure-Python `_vemopq` that a host might supply instead of the default one."""

import enum
import heapq
import itertools


class VemoPriority(enum.IntEnum):
    Error = 0
    Standard = 1


class VemoPriorityQueue:
    def __init__(self):
        self._heap = []
        self._order = itertools.count()

    def add(self, action, priority):
        heapq.heappush(self._heap, (priority, next(self._order), action))

    def peek(self):
        return self._heap[0][2] if self._heap else None

    def pop(self):
        return heapq.heappop(self._heap)[2]
