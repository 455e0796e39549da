"""What the plant sees of a run: its state folded from the journal (vemo.run.fold), as one dictionary that the
OPC UA address space and the MQTT state message both carry, and the cell's name for topics and browse names."""

from __future__ import annotations

import re
import time
from pathlib import Path
from typing import Any

from vemo.run.fold import RunFold

# The OPC UA objects and the MQTT payload name the same things; what the run has not said yet is None.
RUN_FIELDS = ("state", "packml_state", "packml_name", "script", "started", "elapsed", "progress", "remaining_s",
              "iteration", "outcome", "exit_code")
MODULE_FIELDS = ("state", "current", "location", "done", "total")
DECISION_FIELDS = ("pending", "module", "action", "reason")
# A name in a topic level: MQTT forbids the wildcards and the separator there; other odd characters are kept
# out too, so that a subscriber's filter reads as the cell file does.
_TOPIC_UNSAFE = re.compile(r"[^A-Za-z0-9_.\-]")


class PlantView:
    """Folds journal events (`add`) and tells the run as the plant sees it (`snapshot`). Elapsed time is the
    run's clock: an event is read no earlier than it was written, so the smallest difference seen between our
    clock and an event's "t" is the closest estimate of when the run started."""

    def __init__(self) -> None:
        self.fold = RunFold(live=True)  # a live view: it keeps no record of every action of a long run
        self.run: dict[str, Any] = {}
        self.lines = 0  # journal lines folded so far
        self._clock_offset = float("inf")

    def add(self, event: dict) -> None:
        self.lines += 1
        self.fold.add(event)
        try:
            self._clock_offset = min(self._clock_offset, time.monotonic() - float(event["t"]))
        except (KeyError, TypeError, ValueError):
            pass
        if event.get("event") == "run_started":
            self.run = {key: event.get(key) for key in ("script", "cell", "started")}

    def elapsed(self) -> float | None:
        """Seconds since the run started: at its end the time of its last event, before it None."""
        fold = self.fold
        if not fold.started:
            return None
        if fold.ended is not None or self._clock_offset == float("inf"):
            return round(float(fold.ended["t"]) if fold.ended else fold.records.last_t, 3)
        return round(max(time.monotonic() - self._clock_offset, fold.records.last_t), 3)

    def snapshot(self) -> dict[str, Any]:
        fold = self.fold
        packml = fold.packml()
        ended = fold.ended or {}
        modules = []
        for module in fold.modules():
            record = module["current"]
            modules.append({"name": module["name"], "state": module["state"],
                            "current": record.text if record is not None else None,
                            "location": record.origin if record is not None else None,
                            "done": module["done"], "total": module["total"]})
        decision = fold.decision or {}
        elapsed = self.elapsed()
        progress = fold.progress(elapsed)
        return {
            "state": fold.state, "packml_state": packml["state"], "packml_name": packml["name"],
            "script": self.run.get("script"), "started": self.run.get("started"), "elapsed": elapsed,
            "progress": progress["progress"], "remaining_s": progress["remaining_s"],
            "iteration": progress["loop"]["iteration"] if progress.get("loop") else None,
            "outcome": ended.get("outcome"), "exit_code": ended.get("exit_code"),
            "modules": modules,
            "interlocks": [{"name": entry["name"], "safe": entry["state"] == "safe"}
                           for entry in fold.interlocks.values()],
            "decision": {"pending": fold.decision is not None, "module": decision.get("module"),
                         "action": decision.get("text"), "reason": decision.get("reason")},
            "commands": fold.commands(),
            "line": self.lines,
        }


def cell_name(run_started: dict, run_dir: Path) -> str:
    """The cell's name, from its cell file's `cell:` (the file's stem when it has none, the run folder's
    name when the file cannot be read), made safe for a topic level."""
    name = None
    source = run_started.get("cell")
    if isinstance(source, str):
        try:
            from vemo.cell.model import load_cell

            name = load_cell(source).name
        except Exception:  # a cell file changed or gone since the run started: the stem still names it
            name = Path(source).stem
    return topic_safe(name or run_dir.name)


def topic_safe(name: str) -> str:
    return _TOPIC_UNSAFE.sub("_", name) or "_"
