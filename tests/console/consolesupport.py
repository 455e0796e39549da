"""Helpers of the console tests: journals written by hand, and a console serving them."""

import json
import urllib.error
import urllib.request
from pathlib import Path

from vemo.run.journal import Journal

ROOT = Path(__file__).resolve().parents[2]
MODULES = {"XAxis": 2, "Gripper": 2}


class HandRun:
    """A run folder whose journal the test writes event by event, as a run would."""

    def __init__(self, run_dir: Path) -> None:
        run_dir.mkdir(parents=True, exist_ok=True)
        self.dir = run_dir
        self.journal = Journal(run_dir / "journal.jsonl")
        self.journal.write("run_started", format=1, script="pick.vemo",
                           modules=[{"name": name, "actions": count} for name, count in MODULES.items()])
        for name, count in MODULES.items():
            for index in range(1, count + 1):
                self.journal.write("action_planned", **self._action(name, index), kind="Move", waits=[], after=None)

    @staticmethod
    def _action(module, index):
        return {"module": module, "index": index, "text": f"move @{module} to p{index}",
                "location": f"pick.vemo:{index}:5"}

    def action(self, module, index, outcome="finished", **fields):
        """One action of `module` started and, unless outcome is None, ended."""
        common = self._action(module, index)
        self.journal.write("action_started", **common)
        if outcome is not None:
            self.journal.write("action_ended", **common, outcome=outcome, **fields)

    def write(self, event, **fields):
        return self.journal.write(event, **fields)


def get(url, headers=None, timeout=5):
    """(status, body) of a GET, also for refusals."""
    try:
        with urllib.request.urlopen(urllib.request.Request(url, headers=headers or {}), timeout=timeout) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def post(url, body, headers=None, content_type="application/json", timeout=10):
    data = body if isinstance(body, bytes) else json.dumps(body).encode()
    request = urllib.request.Request(url, data=data, method="POST",
                                     headers={"Content-Type": content_type, **(headers or {})})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as reply:
            return reply.status, json.loads(reply.read())
    except urllib.error.HTTPError as error:
        body = error.read()
        return error.code, json.loads(body) if error.headers.get_content_type() == "application/json" else body


class EventStream:
    """The console's event stream read as a browser would, one snapshot at a time."""

    def __init__(self, url, timeout=10):
        base, _, query = url.partition("/?")
        self.reply = urllib.request.urlopen(f"{base}/events?{query}", timeout=timeout)

    def next(self):
        for raw in self.reply:
            if raw.startswith(b"data: "):
                return json.loads(raw[len(b"data: "):])
        raise AssertionError("the event stream ended")

    def until(self, predicate, limit=50):
        for _ in range(limit):
            snapshot = self.next()
            if predicate(snapshot):
                return snapshot
        raise AssertionError("no snapshot met the condition")

    def close(self):
        self.reply.close()
