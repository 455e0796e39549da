"""From a run's journal events to the records its outputs are drawn from."""

from __future__ import annotations

import re

from vemo.run.timeline import ActionRecord


def records_from_events(events: list[dict]) -> list[ActionRecord]:
    """One record per action of the run in module order; actions in flight are drawn unfinished up to the
    last event, actions never started as not run."""
    records: dict[tuple[str, int], ActionRecord] = {}
    totals: dict[str, int] = {}
    last_t = 0.0
    for event in events:
        last_t = max(last_t, float(event["t"]))
        kind = event["event"]
        if kind == "run_started" and isinstance(event.get("modules"), dict):
            totals.update({str(m): n for m, n in event["modules"].items() if isinstance(n, int)})
        elif kind in ("action_started", "action_ended"):
            key = (str(event.get("module")), int(event.get("index") or 0))
            record = records.get(key)
            if record is None:
                text = str(event.get("text", ""))
                verb, _, rest = text.partition(" ")
                record = records[key] = ActionRecord(0, key[0], verb, re.sub(r"^@\w+[ .]?", "", rest),
                                                     origin=event.get("location"), text=text)
            if kind == "action_started":
                record.start, record.outcome = float(event["t"]), "running"
            else:
                record.outcome, record.reason = str(event.get("outcome")), event.get("reason")
                if record.start is not None:
                    record.end = float(event["t"])
    for module, total in totals.items():
        for index in range(1, total + 1):
            records.setdefault((module, index), ActionRecord(0, module, "", ""))
    ordered = sorted(records.items(), key=lambda item: (list(totals).index(item[0][0])
                                                        if item[0][0] in totals else len(totals), item[0][1]))
    for number, (_, record) in enumerate(ordered, 1):
        record.number = number
        if record.outcome == "running":
            record.end = last_t
    return [record for _, record in ordered]
