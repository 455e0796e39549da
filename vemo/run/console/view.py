"""What the console shows of a run, folded from its journal events by the run's one fold (vemo.run.fold): the
first message a page gets (the run as it stands, its event log and the chart's bars of the last minutes), the
changes since the last message after that, and the bars of any window of the chart the page asks for. What a
message carries depends on what changed and on the window, never on the length of the run."""

from __future__ import annotations

import bisect
from typing import Any

from vemo.run.fold import RunFold
from vemo.run.held import held_reason
from vemo.run.progress import done_text, loop_text
from vemo.run.timeline import ActionRecord

# The chart's window when a page opens: the last this many seconds of the run.
DEFAULT_WINDOW_SECONDS = 120.0
# At most this many bars in one message: past it a window's bars are merged per module into this many
# buckets, drawn as one bar each with the count (a page cannot show more bars than its pixels anyway).
MAX_WINDOW_BARS = 4000
WINDOW_BUCKETS = 600
# At most this many changed bars in one update (about 150 bytes each): a busy moment beyond it marks the
# update so that a page following the run asks for its window again, and the update stays small.
MAX_DELTA_BARS = 250
# The event log and the holds a first message carries: the latest this many; an update carries at most the
# latest of those new or changed since the one before (about 200 bytes each), the older reach a page that
# opens or falls behind with its first message.
MAX_LOG_ENTRIES = 500
MAX_HOLDS = 500
MAX_LOG_PER_UPDATE = MAX_HOLDS_PER_UPDATE = 60
# A bar carries at most this much of its action's text and reason.
MAX_BAR_TEXT = 160


def _clip(text: Any) -> Any:
    return text[:MAX_BAR_TEXT] + "…" if isinstance(text, str) and len(text) > MAX_BAR_TEXT else text


def bar(record: ActionRecord) -> list:
    """One action as the page draws it: [number, module, start, end, outcome, text, location, reason, retries,
    lane, count]; end is None while it runs, count is 1 (a merged bucket carries its count)."""
    return [record.number, record.module, record.start, record.end, record.outcome, _clip(record.text or record.label),
            record.origin, _clip(record.reason), record.retries, record.lane, 1]


class RunView:
    """Applies journal events in order; `first()` and `changes()` are the messages a page needs to draw the
    run as it stands, `bars()` the chart's bars of any window."""

    def __init__(self) -> None:
        self.fold = RunFold(live=True)  # the latest starts of a long run, never all (MAX_LIVE_STARTS)
        self.run: dict[str, Any] = {}
        self.ended: dict[str, Any] | None = None
        self._longest = 0.0  # the longest action that has ended, for finding those that overlap a window
        self._dirty: dict[int, ActionRecord] = {}  # records changed since the last update, the latest only
        self._dirty_dropped = False  # whether older changes were let go since the last update
        self._log_sent = 0
        self._holds_open = 0  # the first hold that was still open at the last update

    def apply(self, event: dict) -> None:
        record = self.fold.add(event)
        kind = event["event"]
        if record is not None and record.start is not None:
            self._dirty.pop(record.number, None)
            self._dirty[record.number] = record  # the latest change last
            if len(self._dirty) > 2 * MAX_DELTA_BARS:  # no update carries more: the page asks for its window
                del self._dirty[next(iter(self._dirty))]
                self._dirty_dropped = True
            if kind != "action_started" and record.end is not None:
                self._longest = max(self._longest, record.end - record.start)
        handler = self._handlers.get(kind)
        if handler is not None:
            handler(self, event)

    def _on_run_started(self, event: dict) -> None:
        self.run = {key: event.get(key) for key in ("script", "cell", "handler", "simulator", "started")
                    if key in event}

    def _on_handler_lost(self, event: dict) -> None:
        self.run["handler_lost"] = event["t"]

    def _on_run_ended(self, event: dict) -> None:
        self.ended = {key: event.get(key) for key in ("exit_code", "outcome")} | {"t": event["t"]}

    _handlers = {"run_started": _on_run_started, "handler_lost": _on_handler_lost, "run_ended": _on_run_ended}

    @property
    def state(self) -> str:
        return self.fold.state

    def _now(self, now: float | None) -> float:
        last = self.fold.records.last_t
        return last if now is None or self.ended is not None else max(now, last)

    def _state(self, now: float) -> dict[str, Any]:
        """What every message carries: the run's state, modules, interlocks, decision, commands, progress and
        the held banner, all of a size that does not grow with the run."""
        fold = self.fold
        modules = []
        for module in fold.modules():
            record = module["current"]
            current = None if record is None else {"index": record.index, "text": _clip(record.text),
                                                   "location": record.origin, "since": record.start}
            modules.append({**module, "current": current, "done_text": done_text(module),
                             "elapsed": fold.records.finished_at.get(module["name"], now)})
        progress = fold.progress(now)
        if progress["loop"] is not None:
            progress["loop"]["text"] = loop_text(progress["loop"])
        return {"run": self.run, "state": fold.state, "packml": fold.packml(), "now": now, "ended": self.ended,
                "modules": modules, "interlocks": list(fold.interlocks.values()), "decision": fold.decision,
                "pause": fold.pause, "commands": fold.commands(), "progress": progress,
                "held": held_reason(fold)}

    def _log(self, start: int) -> list[dict]:
        return [{"n": n, **entry} for n, entry in enumerate(self.fold.log[start:], start)]

    def _holds(self, start: int) -> list[dict]:
        return [{"n": n, **hold} for n, hold in enumerate(self.fold.holds[start:], start)]

    def first(self, now: float | None = None) -> dict[str, Any]:
        """The first message of a page: the run as it stands, the latest of its event log and holds, and
        the bars of the last minutes. `now` is the run's clock (the last event's time if not given)."""
        now = self._now(now)
        window = (max(now - DEFAULT_WINDOW_SECONDS, 0.0), now)
        return {"kind": "first", **self._state(now), "log": self._log(max(len(self.fold.log) - MAX_LOG_ENTRIES, 0)),
                "holds": self._holds(max(len(self.fold.holds) - MAX_HOLDS, 0)), "window": list(window),
                "bars": self.bars(*window)}

    snapshot = first  # the run as it stands

    def changes(self, now: float | None = None) -> dict[str, Any]:
        """An update: the state as every message carries it, the bars changed, the event log's new entries
        and the holds begun or ended since the last update."""
        now = self._now(now)
        changed = sorted(self._dirty.values(), key=lambda r: (r.start or 0.0, r.number))
        dropped, self._dirty, self._dirty_dropped = self._dirty_dropped, {}, False
        holds = self.fold.holds
        update = {"kind": "changes", **self._state(now),
                  "log": self._log(max(self._log_sent, len(self.fold.log) - MAX_LOG_PER_UPDATE)),
                  "holds": self._holds(max(self._holds_open, len(holds) - MAX_HOLDS_PER_UPDATE)),
                  "bars": [bar(r) for r in changed[-MAX_DELTA_BARS:]],
                  "bars_dropped": dropped or len(changed) > MAX_DELTA_BARS}
        self._log_sent = len(self.fold.log)
        self._holds_open = next((n for n in range(self._holds_open, len(holds)) if holds[n]["end"] is None),
                                len(holds))
        return update

    def bars(self, start: float, end: float) -> list[list]:
        """The bars of the actions that overlap the window from `start` to `end` (seconds of the run), in
        order of their start; more than MAX_WINDOW_BARS are merged per module into WINDOW_BUCKETS buckets."""
        if end < start:
            start, end = end, start
        starts, started = self.fold.records.start_times, self.fold.records.started_records
        last = bisect.bisect_right(starts, end)
        first = bisect.bisect_left(starts, start - self._longest)
        seen: dict[int, ActionRecord] = {}
        for record in started[first:last]:
            if record.start is not None and (record.end is None or record.end >= start) and record.start <= end:
                seen[record.number] = record
        for record in self.fold.records.current.values():  # in flight for longer than any that ended
            if record is not None and record.start is not None and record.start <= end:
                seen[record.number] = record
        records = sorted(seen.values(), key=lambda r: (r.start, r.number))
        if len(records) <= MAX_WINDOW_BARS:
            return [bar(r) for r in records]
        return _merged(records, start, end)


# How bad an outcome is, for the colour of a merged bucket: the worst of its actions shows.
_SEVERITY = {"error": 5, "interrupted": 4, "running": 3, "unfinished": 3, "skipped": 2, "finished": 1}


def _merged(records: list[ActionRecord], start: float, end: float) -> list[list]:
    width = max(end - start, 1e-9) / WINDOW_BUCKETS
    buckets: dict[tuple[str, int], list] = {}
    for record in records:
        key = (record.module, int((max(record.start, start) - start) / width))
        finish = record.end if record.end is not None else end
        entry = buckets.get(key)
        if entry is None:
            buckets[key] = [None, record.module, record.start, finish, record.outcome, "", None, None, 0, None, 1]
            continue
        entry[3] = max(entry[3], finish)
        entry[10] += 1
        if _SEVERITY.get(record.outcome, 0) > _SEVERITY.get(entry[4], 0):
            entry[4] = record.outcome
    for entry in buckets.values():
        entry[5] = f"{entry[10]} actions"
    return sorted(buckets.values(), key=lambda b: b[2])
