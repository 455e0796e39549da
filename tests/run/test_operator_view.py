"""The operator's view of a run, all read from the one fold: progress and time left, why it is held and what
to do, who did what (`by`), the event log, the holds in the outputs, and `vemo runs`."""

import json
import subprocess
import sys

import pytest

from vemo.run import eta
from vemo.run.control import RunControl
from vemo.run.fold import RunFold
from vemo.run.held import held_reason, log_line
from vemo.run.journal import Journal
from vemo.run.runs import list_runs
from vemo.run.timeline import render_html, write_chrome_trace
from vemo.run.who import by_text, checked, BadBy

CONSOLE = {"channel": "console", "user": "ann", "address": "192.0.2.7"}
FAILURE = {"module": "XAxis", "action": "move @XAxis to beyond", "location": "tour.vemo:10:11",
           "reason": "target 700 mm is beyond its travel -5 to 600 mm", "attempts": 1}


def _action(event, t, module, index, **fields):
    return {"event": event, "t": t, "module": module, "index": index, "text": f"move @{module} to p{index}",
            "location": f"tour.vemo:{index}:1", **fields}


def _fold(*events, estimate=10.0, actions=4):
    fold = RunFold()
    start = {"event": "run_started", "t": 0.0, "format": 1, "script": "tour.vemo", "started": "2026-03-02T10:40:00+0000",
             "modules": [{"name": "XAxis", "actions": actions}], "estimate_s": estimate,
             "interlocks": [{"name": "door", "module": "Safety", "input": "door_open"}]}
    for event in (start, *(_action("action_planned", 0.0, "XAxis", i) for i in range(1, actions + 1)), *events):
        fold.add(event)
    return fold


def _done(*indexes, step=1.0, outcome="finished"):
    events = []
    for i in indexes:
        events += [_action("action_started", (i - 1) * step, "XAxis", i),
                   _action("action_ended", i * step, "XAxis", i, outcome=outcome)]
    return events


@pytest.mark.parametrize("estimate, done, active, ended, left", [
    (100.0, 0.0, 0.0, False, 100.0),      # nothing done: the plan
    (100.0, 0.0, 30.0, False, 70.0),      # nothing done yet, 30 s gone: the plan's rest
    (100.0, 0.0, 400.0, False, 20.0),     # long past the plan with nothing done: never below a fifth of it
    (100.0, 0.5, 50.0, False, 50.0),      # on plan
    (100.0, 0.5, 100.0, False, 75.0),     # twice as slow, half done: the pace counts half
    (100.0, 0.9, 180.0, False, 19.0),     # twice as slow, nearly done: the pace counts most
    (100.0, 0.5, 5000.0, False, 150.0),   # the pace is believed at most five times the plan
    (100.0, 0.5, 50.0, True, 0.0),        # ended
    (None, 0.0, 10.0, False, None),       # no plan, nothing done: unknown
    (None, 0.25, 10.0, False, 30.0),      # no plan: the pace alone
    (0.0, 0.5, 1.0, False, 0.0),
])
def test_time_left_is_the_plan_corrected_by_the_pace(estimate, done, active, ended, left):
    got = eta.remaining_seconds(estimate, done, active, ended)
    assert got == left if left is None else got == pytest.approx(left)


@pytest.mark.parametrize("events, now, progress, remaining, held", [
    ([], 0.0, 0.0, 10.0, 0.0),
    (_done(1, 2, step=2.5), 5.0, 0.5, 5.0, 0.0),                      # on plan: 2.5 s per action
    (_done(1, 2, step=5.0), 10.0, 0.5, 7.5, 0.0),                     # twice as slow
    # a pause of 5 s is not taken as slowness
    (_done(1, 2, step=2.5) + [{"event": "paused", "t": 5.0, "mode": "deferred", "cause": "operator"},
                              {"event": "resumed", "t": 10.0, "cause": "operator"}], 10.0, 0.5, 5.0, 5.0),
    # a hold still going counts up to now
    (_done(1, step=2.5) + [{"event": "interlock_tripped", "t": 2.5, "name": "door"},
                           {"event": "paused", "t": 2.5, "mode": "immediate", "cause": "interlock"}], 6.5, 0.25, 7.5, 4.0),
    (_done(1, 2, 3, 4, step=1.0, outcome="skipped") + [{"event": "run_ended", "t": 4.0, "exit_code": 0,
                                                        "outcome": "finished"}], 9.0, 1.0, 0.0, 0.0),
])
def test_the_fold_tells_progress_time_left_and_the_time_held(events, now, progress, remaining, held):
    got = _fold(*events).progress(now)
    assert (got["progress"], got["remaining_s"], got["held_s"]) == (progress, pytest.approx(remaining), held)
    assert got["total"] == 4


PAUSED_BY_CONSOLE = {"event": "paused", "t": 120.0, "mode": "deferred", "cause": "operator", "by": CONSOLE}


@pytest.mark.parametrize("events, tone, text", [
    ([], None, None),
    ([PAUSED_BY_CONSOLE], "held", "Paused by the operator (console ann at 192.0.2.7, 10:42) — Resume to go on"),
    ([_action("action_started", 119.0, "XAxis", 1), PAUSED_BY_CONSOLE], "held",
     "Pausing: the actions in flight finish first by the operator (console ann at 192.0.2.7, 10:42) — Resume to go on"),
    ([{"event": "interlock_tripped", "t": 3.0, "name": "door", "module": "Safety", "input": "door_open", "value": True},
      {"event": "paused", "t": 3.0, "mode": "immediate", "cause": "interlock", "by": {"channel": "interlock", "name": "door"}}],
     "attention", "Interlock door: Safety door_open is on — make it safe, the run goes on by itself or waits for "
                  "Resume, as the interlock says"),
    ([{"event": "interlock_tripped", "t": 3.0, "name": "door", "module": "Safety", "input": "door_open", "value": True},
      {"event": "paused", "t": 3.0, "mode": "immediate", "cause": "interlock"},
      {"event": "interlock_cleared", "t": 4.0, "name": "door", "module": "Safety", "input": "door_open", "value": False}],
     "held", "Held by an interlock that is safe again — Resume to go on"),
    ([PAUSED_BY_CONSOLE, {"event": "interlock_tripped", "t": 121.0, "name": "door", "module": "Safety",
                          "input": "door_open", "value": True}],
     "attention", "Interlock door: Safety door_open is on — make it safe, then Resume"),
    ([{"event": "paused", "t": 3.0, "mode": "deferred", "cause": "failure", "failure": FAILURE}], "attention",
     "XAxis failed: move @XAxis to beyond (tour.vemo:10:11): target 700 mm is beyond its travel -5 to 600 mm "
     "— Retry, Skip or Abort"),
    ([{"event": "paused", "t": 3.0, "mode": "deferred", "cause": "failure", "failure": FAILURE},
      {"event": "interlock_tripped", "t": 4.0, "name": "door", "module": "Safety", "input": "door_open", "value": True}],
     "attention", "Interlock door: Safety door_open is on — make it safe, then retry, skip or abort"),
    ([{"event": "stopping", "t": 60.0, "cause": "operator", "by": {"channel": "ctl", "user": "bob"}}], "attention",
     "Stopping: the operator stopped it (ctl bob, 10:41) — the modules end their current action"),
    ([{"event": "stopping", "t": 60.0, "cause": "operator", "by": {"channel": "ctl", "user": "bob"}},
      {"event": "run_ended", "t": 61.0, "exit_code": 130, "outcome": "interrupted"}], "failed",
     "Stopped: the operator stopped it (ctl bob, 10:41) (exit code 130)"),
    ([_action("action_started", 1.0, "XAxis", 1), _action("action_ended", 2.0, "XAxis", 1, outcome="error",
                                                          reason="target 700 mm is beyond its travel"),
      {"event": "stopping", "t": 2.0, "cause": "failure"}, {"event": "run_ended", "t": 3.0, "exit_code": 1, "outcome": "failed"}],
     "failed", "Failed: XAxis failed: move @XAxis to p1 (tour.vemo:1:1): target 700 mm is beyond its travel (exit code 1)"),
    ([{"event": "handler_lost", "t": 5.0, "address": "127.0.0.9", "reason": "no answer for 3 s", "silent_for": 3.0},
      {"event": "run_ended", "t": 6.0, "exit_code": 1, "outcome": "failed"}], "failed",
     "Failed: the handler stopped answering (no answer for 3 s) (exit code 1)"),
    (_done(1, 2, 3, 4) + [{"event": "run_ended", "t": 5.0, "exit_code": 0, "outcome": "finished"}], "finished",
     "Finished: every action ran (exit code 0)"),
])
def test_the_held_line_says_why_and_what_to_do_in_operators_words(events, tone, text):
    reason = held_reason(_fold(*events))
    assert (reason and reason["tone"], reason and reason["text"]) == (tone, text)
    assert text is None or ("{" not in text and "None" not in text)  # no Python reprs for the operator


def test_every_operator_event_reaches_the_log_with_who_and_when():
    fold = _fold(PAUSED_BY_CONSOLE, {"event": "resumed", "t": 130.0, "cause": "operator", "by": CONSOLE},
                 {"event": "interlock_tripped", "t": 140.0, "name": "door", "module": "Safety", "input": "door_open",
                  "value": True},
                 {"event": "interlock_cleared", "t": 150.0, "name": "door", "module": "Safety", "input": "door_open",
                  "value": False},
                 {"event": "paused", "t": 151.0, "mode": "deferred", "cause": "failure", "failure": FAILURE},
                 {"event": "decided", "t": 160.0, "answer": "retry", "module": "XAxis", "text": "move @XAxis to beyond",
                  "location": "tour.vemo:10:11", "by": {"channel": "terminal", "user": "ann"}},
                 _action("retry", 161.0, "XAxis", 1, attempt=2, reason="x"),
                 {"event": "input_set", "t": 170.0, "module": "Safety", "point": "door_open", "value": "on",
                  "by": {"channel": "ctl", "user": "bob"}})
    assert [(e["kind"], by_text(e["by"]) if e["by"] else None) for e in fold.log] == [
        ("pause", "console ann at 192.0.2.7"), ("resume", "console ann at 192.0.2.7"), ("trip", "interlock door"),
        ("clear", "interlock door"), ("pause", None), ("decision", "terminal ann"), ("retry", None),
        ("input", "ctl bob")]
    assert log_line(fold.log[0]) == "  120.00 s (10:42)  Paused  [console ann at 192.0.2.7]"
    assert fold.log[5]["text"] == "Retry chosen for XAxis: move @XAxis to beyond"
    # the holds are bands for the chart, the timeline and the trace
    assert [(h["kind"], h["start"], h["end"]) for h in fold.holds] == [
        ("pause", 120.0, 130.0), ("interlock", 140.0, 150.0), ("decision", 151.0, None)]


@pytest.mark.parametrize("by, error", [
    (None, None), (CONSOLE, None), ({"channel": "terminal"}, None),
    ("console", "is an object"), ({"channel": "phone"}, "channel is one of"), ({"channel": "ctl", "uid": "0"}, "takes no uid"),
    ({"channel": "ctl", "user": "x" * 500}, "1 to 200"), ({"channel": "ctl", "user": 7}, "1 to 200"),
])
def test_a_request_names_who_sends_it_or_is_refused(by, error):
    if error is None:
        assert checked(by)["channel"] == (by or {"channel": "ctl"})["channel"]
    else:
        with pytest.raises(BadBy, match=error):
            checked(by)
    journal = []
    control = RunControl(journal=lambda event, **fields: journal.append({"event": event, **fields}))
    answer = control.handle({"command": "pause", **({"by": by} if by is not None else {})})
    assert answer["ok"] == (error is None)
    assert [e.get("by") for e in journal] == ([checked(by)] if error is None else [])
    control.ended()


def test_status_carries_progress_and_time_left():
    control = RunControl(progress=lambda: {"progress": 0.25, "remaining_s": 42.0})
    status = control.handle({"command": "status"})
    assert (status["progress"], status["remaining_s"]) == (0.25, 42.0)
    control.ended()


def test_the_timeline_and_the_trace_mark_the_holds(tmp_path):
    fold = _fold(*_done(1), PAUSED_BY_CONSOLE, {"event": "resumed", "t": 125.0, "cause": "operator", "by": CONSOLE},
                 {"event": "interlock_tripped", "t": 126.0, "name": "door"})
    records = fold.records.final()
    page = render_html(records, "run", fold.holds)
    assert page.count('class="hold pause"') == 1 and page.count('class="hold interlock"') == 1
    assert "paused: 120.000 s to 125.000 s" in page
    write_chrome_trace(records, tmp_path / "trace.json", fold.holds)
    events = json.loads((tmp_path / "trace.json").read_text())["traceEvents"]
    assert [(e["ph"], e["name"]) for e in events if e.get("tid") == 0 and e["ph"] in "iX"] == [
        ("i", "paused"), ("X", "paused"), ("i", "interlock tripped door"), ("X", "interlock tripped door")]


def _journal(folder, *events, started="2026-03-02T10:40:00+0000"):
    folder.mkdir(parents=True)
    with Journal(folder / "journal.jsonl") as journal:
        journal.write("run_started", format=1, script=f"/x/{folder.name}.vemo", started=started, modules=[])
        for event, fields in events:
            journal.write(event, **fields)


def test_runs_are_listed_newest_first_with_outcome_failures_and_who_stopped(tmp_path):
    ended = ("run_ended", {"exit_code": 0, "outcome": "finished"})
    failed = ("action_ended", {"module": "X", "index": 1, "outcome": "error", "reason": "jam"})
    _journal(tmp_path / "a", ended, started="2026-03-02T09:00:00+0000")
    _journal(tmp_path / "b", failed, failed, ("stopping", {"cause": "failure"}),
             ("run_ended", {"exit_code": 1, "outcome": "failed"}), started="2026-03-02T11:00:00+0000")
    _journal(tmp_path / "c", ("stopping", {"cause": "operator", "by": CONSOLE}),
             ("run_ended", {"exit_code": 130, "outcome": "interrupted"}), started="2026-03-02T10:00:00+0000")
    _journal(tmp_path / "d", started="2026-03-02T08:00:00+0000")  # killed: no end, no one answers
    (tmp_path / "not-a-run").mkdir()
    (tmp_path / "e").mkdir()
    (tmp_path / "e" / "journal.jsonl").write_text("garbage\n")
    runs = list_runs(tmp_path)
    assert [(r["name"], r["outcome"], r["failures"]) for r in runs] == [
        ("b", "failed", 2), ("c", "interrupted", 0), ("a", "finished", 0), ("d", "killed", 0)]
    assert runs[1]["stopped_by"] == {"cause": "operator", "by": CONSOLE}
    listing = subprocess.run([sys.executable, "-m", "vemo", "runs", str(tmp_path)], capture_output=True, text=True,
                             timeout=60)
    lines = listing.stdout.splitlines()
    assert listing.returncode == 0 and lines[0].split()[:3] == ["started", "script", "outcome"]
    assert "operator (console ann at 192.0.2.7)" in lines[2] and "b.vemo" in lines[1]
    missing = subprocess.run([sys.executable, "-m", "vemo", "runs", str(tmp_path / "nowhere")], capture_output=True,
                             text=True, timeout=60)
    assert missing.returncode == 2 and "no such folder" in missing.stderr and "Traceback" not in missing.stderr


def test_vemo_check_warns_of_a_position_beyond_the_travel_as_vemo_run_does(tmp_path):
    from pathlib import Path

    examples = Path(__file__).resolve().parents[2] / "examples"
    (tmp_path / "cell.yaml").write_text((examples / "cell.yaml").read_text().replace("place: 480", "place: 700")
                                        .replace("handler_settings: handler/cell.yaml",
                                                 f"handler_settings: {examples / 'handler' / 'cell.yaml'}"))
    (tmp_path / "job.vemo").write_text("main = { move @XAxis to place }\n")
    checked_script = subprocess.run([sys.executable, "-m", "vemo", "check", str(tmp_path / "job.vemo")],
                                    capture_output=True, text=True, timeout=60)
    assert checked_script.returncode == 0
    assert "warning: XAxis: position place puts handler axis 1 at 700, outside its travel -5 to 600" in checked_script.stderr
    listing = subprocess.run([sys.executable, "-m", "vemo", "check", str(tmp_path / "job.vemo"), "--json"],
                             capture_output=True, text=True, timeout=60)
    assert any(d["severity"] == "warning" and "outside its travel" in d["message"]
               for d in json.loads(listing.stdout)["diagnostics"])
