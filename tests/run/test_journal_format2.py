"""Readers of a journal whose loops are planned once (format 2): the records of iterations that have no plan
lines are those the same run planned action by action gives; a loop without end reads with no totals; a live
fold keeps the same few records however long the run goes."""

import json

import pytest

from runsupport import run_vemo
from vemo.run import outputs
from vemo.run.fold import RunFold
from vemo.run.held import held_reason
from vemo.run.outputs import RunRecords
from vemo.run.progress import progress_text

COUNT = 6
# The loop's iterations per module: XAxis runs "home" (index 1) before it and "park" after it.
FIRST = {"XAxis": 2, "ZAxis": 1}
PER = {"XAxis": 2, "ZAxis": 3}


def _index(module, k, n):
    """Index of the n-th action (1-based) of iteration k of the loop on `module`."""
    return FIRST[module] + (k - 1) * PER[module] + n - 1


def _loop_actions(k):
    """The actions of iteration k, with waits across modules, onto the previous iteration and out of the loop."""
    xa, xb = _index("XAxis", k, 1), _index("XAxis", k, 2)
    z1, z2, z3 = (_index("ZAxis", k, n) for n in (1, 2, 3))
    previous = [["XAxis", _index("XAxis", k - 1, 2)]] if k > 1 else []
    return [
        ("XAxis", xa, "move @XAxis to pick", None, [], ["XAxis", xa - 1]),
        ("XAxis", xb, "move @XAxis to place", None, [["ZAxis", z2]], ["XAxis", xa]),
        ("ZAxis", z1, "move @ZAxis to down", None, [["XAxis", 1], *previous], ["ZAxis", z1 - 1] if k > 1 else None),
        ("ZAxis", z2, "move @ZAxis to up", None, [["XAxis", xa]], ["ZAxis", z1]),
        ("ZAxis", z3, "move @ZAxis to rest", "left", [], ["ZAxis", z2]),
    ]


def _plan():
    """Every action of the run as (module, index, text, lane, waits, after, iteration or None), in plan order."""
    actions = [("XAxis", 1, "home @XAxis", None, [], None, None)]
    loop = [(*action, k) for k in range(1, COUNT + 1) for action in _loop_actions(k)]
    actions += sorted((a for a in loop if a[0] == "XAxis"), key=lambda a: a[1])
    last_x = _index("XAxis", COUNT, 2)
    actions.append(("XAxis", last_x + 1, "move @XAxis to park", None, [["ZAxis", _index("ZAxis", COUNT, 3)]],
                    ["XAxis", last_x], None))
    actions += sorted((a for a in loop if a[0] == "ZAxis"), key=lambda a: a[1])
    return actions


def _planned(action):
    module, index, text, lane, waits, after, _ = action
    return {"event": "action_planned", "t": 0.0, "module": module, "index": index, "text": text,
            "location": f"job.vemo:{len(text)}:5", "kind": "Move", "lane": lane, "waits": waits, "after": after}


def _execution(plan):
    """The run: each action started and ended in turn by iteration, one derived action failing once and retried."""
    order = sorted(plan, key=lambda a: (a[6] or (0 if a[1] == 1 else COUNT + 1), a[0], a[1]))
    events, t, seen = [], 0.0, set()
    for module, index, text, _, _, _, k in order:
        where = {"module": module, "index": index, "text": text, "location": f"job.vemo:{len(text)}:5"}
        if k is not None and k not in seen:
            seen.add(k)
            events.append({"event": "iteration_started", "t": t, "loop": 1, "iteration": k})
        events.append({"event": "action_started", "t": t, **where})
        if (module, index) == ("ZAxis", _index("ZAxis", 4, 2)):
            events.append({"event": "action_ended", "t": t + 0.05, **where, "outcome": "error", "reason": "jam"})
            events.append({"event": "retry", "t": t + 0.06, **where, "attempt": 2, "reason": "jam"})
            events.append({"event": "action_started", "t": t + 0.06, **where})
        events.append({"event": "action_ended", "t": t + 0.1, **where, "outcome": "finished"})
        t += 0.125
    return events


def _journals():
    """The same run journaled action by action (format 1) and with its loop planned once (format 2)."""
    plan = _plan()
    modules = [{"name": name, "actions": sum(1 for a in plan if a[0] == name)} for name in ("XAxis", "ZAxis")]
    start = {"event": "run_started", "t": 0.0, "script": "job.vemo", "modules": modules}
    ran = _execution(plan)
    old = [{**start, "format": 1}, *map(_planned, plan), *(e for e in ran if e["event"] != "iteration_started")]
    loop = {"event": "loop_planned", "t": 0.0, "loop": 1, "location": "job.vemo:3:1", "count": COUNT,
            "iteration_estimate_s": 0.6,
            "modules": [{"module": m, "first": FIRST[m], "per_iteration": PER[m]} for m in FIRST]}
    kept = [a for a in plan if a[6] in (None, 1, 2, COUNT)]
    new = [{**start, "format": 2}, loop, *map(_planned, kept), *ran]
    assert len(kept) < len(plan)
    return old, new


def _records(events):
    state = RunRecords()
    for event in events:
        state.add(event)
    return state, [record.as_dict() for record in state.final()]


def test_a_loop_planned_once_reads_as_the_same_run_planned_action_by_action():
    old, new = _journals()
    (old_state, old_records), (new_state, new_records) = _records(old), _records(new)
    assert not old_state.warnings and not new_state.warnings
    assert new_records == old_records
    assert new_state.totals == old_state.totals == {"XAxis": 2 + 2 * COUNT, "ZAxis": 3 * COUNT}
    derived = next(r for r in new_records if (r["module"], r["index"]) == ("ZAxis", _index("ZAxis", 4, 1)))
    waited = {(new_records[n - 1]["module"], new_records[n - 1]["index"]) for n in derived["waits_on"]}
    assert waited == {("XAxis", 1), ("XAxis", _index("XAxis", 3, 2))}  # out of the loop; the previous iteration


def test_an_index_an_action_planned_names_is_that_action_even_inside_an_endless_loop():
    events = [
        {"event": "run_started", "t": 0.0, "format": 2, "modules": [{"name": "XAxis", "actions": None}]},
        {"event": "loop_planned", "t": 0.0, "loop": 1, "location": "job.vemo:1:1", "count": None,
         "iteration_estimate_s": None, "modules": [{"module": "XAxis", "first": 1, "per_iteration": 1}]},
        *(_planned(("XAxis", i, f"move @XAxis to p{i}", None, [["XAxis", i - 1]] if i > 1 else [], None, None))
          for i in (1, 2)),
        {**_planned(("XAxis", 9, "open @Gripper", None, [], None, None)), "recovery": "E1"},
    ]
    for i in (1, 7, 8, 9):
        events.append({"event": "action_started", "t": i, "module": "XAxis", "index": i, "text": "x"})
    _, records = _records(events)
    assert [(r["index"], r["text"], r["recovery"], r["waits_on"]) for r in records] == [
        (1, "move @XAxis to p1", None, []), (2, "move @XAxis to p2", None, [1]), (7, "move @XAxis to p2", None, []),
        (8, "move @XAxis to p2", None, [3]), (9, "open @Gripper", "E1", [])]


def _endless(iterations, stop_after=None):
    """A run of a loop without end on XAxis (one action per iteration) beside a Gripper that runs one action."""
    events = [
        {"event": "run_started", "t": 0.0, "format": 2, "script": "job.vemo", "started": "2026-12-09T10:00:00+0000",
         "modules": [{"name": "XAxis", "actions": None}, {"name": "Gripper", "actions": 1}], "estimate_s": None},
        {"event": "loop_planned", "t": 0.0, "loop": 1, "location": "job.vemo:2:1", "count": None,
         "iteration_estimate_s": 2.0, "modules": [{"module": "XAxis", "first": 1, "per_iteration": 1}]},
        *(_planned(("XAxis", i, "move @XAxis to pick", None, [["XAxis", i - 1]] if i > 1 else [], None, None))
          for i in (1, 2)),
        _planned(("Gripper", 1, "close @Gripper", None, [], None, None)),
    ]
    where = {"module": "XAxis", "text": "move @XAxis to pick", "location": "job.vemo:3:5"}
    for k in range(1, iterations + 1):
        t = 3.0 * (k - 1)  # an iteration takes 3 s, not the 2 s planned
        events += [{"event": "iteration_started", "t": t, "loop": 1, "iteration": k},
                   {"event": "action_started", "t": t, "index": k, **where}]
        if k == stop_after:
            events.append({"event": "cycle_stop_requested", "t": t + 1.0, "loop": 1, "iteration": k,
                           "by": {"channel": "console", "user": "ann"}})
        events.append({"event": "action_ended", "t": t + 2.5, "index": k, "outcome": "finished", **where})
    return events


def test_a_loop_without_end_reads_with_no_totals_and_tells_its_iteration_and_its_end():
    fold = RunFold(live=True)
    for event in _endless(7, stop_after=7)[:-1]:  # the last iteration's action still running
        fold.add(event)
    progress = fold.progress(now=19.0)  # 1 s into iteration 7; iteration 6 took 3 s
    assert (progress["done"], progress["total"], progress["progress"]) == (6, None, None)
    assert progress["loop"] == {"loop": 1, "iteration": 7, "count": None, "ends_after": 7,
                                "iteration_remaining_s": 2.0}
    assert progress["remaining_s"] == 2.0  # the stop gives the run an end: this iteration's
    assert fold.status_modules()["XAxis"] == {"state": "running", "current": "move @XAxis to pick", "done": 6,
                                              "total": None, "iteration": 7}
    assert progress_text(progress) == "6 actions, about 2 s left; iteration 7 (no end), ends after iteration 7"
    going = RunFold(live=True)
    for event in _endless(7)[:-1]:
        going.add(event)
    assert progress_text(going.progress(now=19.0)) == "6 actions; iteration 7 (no end), about 2 s left in it"
    assert held_reason(fold)["text"].startswith("Ends after iteration 7 (console ann, 10:00)")
    assert fold.log[-1]["text"] == "Asked to end after iteration 7"


def test_a_loop_without_end_before_its_first_iteration_ends_counts_down_from_the_plan():
    fold = RunFold()
    for event in _endless(1)[:-1]:  # its first action still running
        fold.add(event)
    progress = fold.progress(now=0.5)
    assert (progress["remaining_s"], progress["loop"]["iteration_remaining_s"]) == (None, 1.5)


def test_report_of_a_loop_without_end_gives_its_records_summary_and_the_stop_after_an_iteration(tmp_path):
    events = _endless(4, stop_after=4) + [{"event": "run_ended", "t": 12.0, "exit_code": 0, "outcome": "finished"}]
    (tmp_path / "journal.jsonl").write_text("".join(json.dumps(e) + "\n" for e in events))
    result = run_vemo("report", str(tmp_path), "--record", str(tmp_path / "record.json"), timeout=60)
    assert result.returncode == 0, result.stderr
    assert "XAxis: 4 actions finished (done)" in result.stdout and "Gripper: 0/1 actions finished" in result.stdout
    assert "Asked to end after iteration 4  [console ann]" in result.stdout
    assert "Finished: ended after iteration 4 as asked (exit code 0)" in result.stdout
    record = json.loads((tmp_path / "record.json").read_text())
    assert [(r["module"], r["index"], r["outcome"]) for r in record] == \
        [("XAxis", i, "finished") for i in range(1, 5)] + [("Gripper", 1, "not run")]
    assert [r["waits_on"] for r in record[:4]] == [[], [1], [2], [3]]


def _held(state):
    return (len(state.records), len(state._by_key), len(state.started_records), len(state.failures),
            len(state.warnings))


@pytest.mark.parametrize("live", [True, False])
def test_a_live_fold_holds_the_same_records_after_a_thousand_iterations_as_after_two_hundred(monkeypatch, live):
    monkeypatch.setattr(outputs, "MAX_LIVE_STARTS", 50)
    fold = RunFold(live=live)
    events = _endless(1000)
    held = {}
    for event in events:
        fold.add(event)
        if event["event"] == "action_ended" and event["index"] in (200, 1000):
            held[event["index"]] = _held(fold.records)
    assert fold.progress()["done"] == 1000
    if live:  # nothing but the latest starts (trimmed a quarter at a time) whatever the length
        assert held[200][:2] == held[1000][:2] == (0, 0) and all(max(h) <= 50 + 50 // 4 for h in held.values())
    else:  # the full fold, for the report and the output files, keeps every action's record
        assert held[1000][0] == 1001 and held[200][0] == 201


def _story(*steps):
    """A run of XAxis (actions 1-3) and an except block B of two actions, then `steps`: (index, outcome) ends
    an action it starts (outcome None leaves it in flight), ("retry", index) starts it again."""
    events = [{"event": "run_started", "t": 0.0, "format": 1, "script": "job.vemo",
               "modules": [{"name": "XAxis", "actions": 3}]}]
    events += [_planned(("XAxis", i, f"move @XAxis to p{i}", None, [], None, None)) for i in (1, 2, 3)]
    events += [{**_planned(("XAxis", i, f"move @XAxis to r{i}", None, [], None, None)), "recovery": "B"}
               for i in (4, 5)]
    for step in steps:
        if step[0] == "retry":
            events += [{"event": "retry", "t": 1.0, "module": "XAxis", "index": step[1], "attempt": 1}]
            step = (step[1], step[2])
        index, outcome = step
        events.append({"event": "action_started", "t": 1.0, "module": "XAxis", "index": index})
        if outcome is not None:
            events.append({"event": "action_ended", "t": 2.0, "module": "XAxis", "index": index, "outcome": outcome,
                           "reason": "jammed" if outcome == "error" else None})
    return events


@pytest.mark.parametrize("steps, counts, failures, in_flight", [
    ([(1, "finished"), (2, "finished"), (3, None)], ("2/3", "0/2", None), [], 1),
    ([(1, "error"), ("retry", 1, "finished"), (2, "finished")], ("2/3", "0/2", None), [], 0),
    ([(1, "error"), ("retry", 1, "error"), (2, "skipped")], ("0/3", "0/2", "1 failed action was skipped"),
     ["jammed"], 0),
    ([(1, "error"), (4, "finished"), (5, "error")], ("0/3", "1/2", None), ["jammed", "jammed"], 0),
    ([(1, "skipped"), (2, "skipped"), (3, "error"), ("retry", 3, None)],
     ("0/3", "0/2", "2 failed actions were skipped"), [], 1),
])
def test_the_summary_is_told_from_the_counts_alike_by_a_live_and_a_full_fold(steps, counts, failures, in_flight):
    folds = [RunFold(live=True), RunFold()]
    for fold in folds:
        for event in _story(*steps):
            fold.add(event)
    module, block, skipped = counts
    expected = [f"  XAxis: {module} actions finished", f"  except block B: {block} actions finished"] + \
        ([f"  {skipped} by the operator"] if skipped else [])
    for fold in folds:
        assert outputs.summary_lines(fold.records) == expected
        assert [r.reason for r in fold.records.failures if r.outcome == "error"] == failures  # as report lists them
        assert fold.records.in_flight == in_flight
