"""What the console shows of a run, folded from journal events."""

import json

import pytest

from vemo.run.console.view import MAX_DELTA_BARS, MAX_WINDOW_BARS, WINDOW_BUCKETS, RunView

def _action(event, t, module, index, **fields):
    return {"event": event, "t": t, "module": module, "index": index, "text": f"move @{module} to p{index}",
            "location": f"pick.vemo:{index}:1", **fields}


START = [{"event": "run_started", "t": 0.0, "format": 1, "script": "pick.vemo",
          "modules": [{"name": "XAxis", "actions": 2}, {"name": "Gripper", "actions": 1}],
          "interlocks": [{"name": "door", "module": "IO", "input": "door_open"}, "not an interlock"]},
         _action("action_planned", 0.0, "XAxis", 1), _action("action_planned", 0.0, "XAxis", 2),
         _action("action_planned", 0.0, "Gripper", 1)]


def _view(*events):
    view = RunView()
    for event in (*START, *events):
        view.apply(event)
    return view


def _states(view, now=None):
    return {m["name"]: m["state"] for m in view.snapshot(now)["modules"]}


@pytest.mark.parametrize("events, run_state, states", [
    ([], "running", {"XAxis": "waiting", "Gripper": "waiting"}),
    ([_action("action_started", 0.1, "XAxis", 1)], "running", {"XAxis": "running", "Gripper": "waiting"}),
    ([_action("action_started", 0.1, "XAxis", 1), {"event": "paused", "t": 0.2, "mode": "deferred", "cause": "operator"}],
     "pausing", {"XAxis": "pausing", "Gripper": "paused"}),
    ([_action("action_started", 0.1, "XAxis", 1), {"event": "paused", "t": 0.2, "mode": "immediate", "cause": "interlock"}],
     "paused", {"XAxis": "paused", "Gripper": "paused"}),
    ([_action("action_started", 0.1, "XAxis", 1), {"event": "paused", "t": 0.2, "mode": "deferred", "cause": "operator"},
      _action("action_ended", 0.3, "XAxis", 1, outcome="finished")],
     "paused", {"XAxis": "paused", "Gripper": "paused"}),
    ([_action("action_started", 0.1, "Gripper", 1), _action("action_ended", 0.3, "Gripper", 1, outcome="finished"),
      {"event": "run_ended", "t": 0.4, "exit_code": 130, "outcome": "interrupted"}],
     "ended", {"XAxis": "stopped", "Gripper": "done"}),
    ([_action("action_started", 0.1, "Gripper", 1), _action("action_ended", 0.3, "Gripper", 1, outcome="error",
                                                            reason="vacuum not reached")],
     "running", {"XAxis": "waiting", "Gripper": "failed"}),
])
def test_module_states_follow_the_journal(events, run_state, states):
    view = _view(*events)
    assert view.snapshot()["state"] == run_state
    assert _states(view) == states


def test_done_counts_finished_actions_and_elapsed_stops_when_the_module_ends():
    view = _view(_action("action_started", 0.1, "XAxis", 1), _action("action_ended", 0.5, "XAxis", 1, outcome="finished"),
                 _action("action_started", 0.6, "XAxis", 2), _action("action_ended", 1.5, "XAxis", 2, outcome="finished"),
                 {"event": "module_ended", "t": 1.6, "module": "XAxis"}, _action("action_started", 1.6, "Gripper", 1))
    modules = {m["name"]: m for m in view.snapshot(now=4.0)["modules"]}
    assert (modules["XAxis"]["state"], modules["XAxis"]["done"], modules["XAxis"]["elapsed"]) == ("done", 2, 1.6)
    assert modules["Gripper"]["elapsed"] == 4.0
    assert modules["Gripper"]["current"]["location"] == "pick.vemo:1:1"


@pytest.mark.parametrize("answer", [
    {"event": "retry", "t": 0.6, "module": "Gripper", "index": 1, "attempt": 2},
    _action("action_ended", 0.6, "Gripper", 1, outcome="skipped"),
    {"event": "run_ended", "t": 0.6, "exit_code": 1, "outcome": "failed"},
])
def test_a_failure_held_for_a_decision_is_shown_until_it_is_answered(answer):
    failure = {"module": "Gripper", "action": "move @Gripper to p1", "location": "pick.vemo:1:1",
               "reason": "vacuum not reached", "attempts": 1}
    failed = _view(_action("action_started", 0.1, "Gripper", 1),
                   {"event": "paused", "t": 0.4, "mode": "deferred", "cause": "failure", "failure": failure})
    snapshot = failed.snapshot()
    assert snapshot["state"] == "waiting_decision"
    assert snapshot["decision"] == {"module": "Gripper", "text": "move @Gripper to p1", "location": "pick.vemo:1:1",
                                    "reason": "vacuum not reached", "attempts": 1}
    failed.apply(answer)
    assert failed.snapshot()["decision"] is None


def test_interlocks_show_their_latest_state():
    assert _view().snapshot()["interlocks"] == [{"name": "door", "state": "safe", "since": 0.0}]
    view = _view({"event": "interlock_tripped", "t": 0.1, "name": "door"},
                 {"event": "interlock_tripped", "t": 0.2, "name": "curtain"},
                 {"event": "interlock_cleared", "t": 0.3, "name": "door"})
    assert {i["name"]: i["state"] for i in view.snapshot()["interlocks"]} == {"door": "safe", "curtain": "tripped"}


def test_the_first_message_carries_each_started_action_as_a_bar():
    view = _view({**_action("action_started", 0.1, "XAxis", 1), "text": "move @XAxis to <script>"})
    first = view.first()
    assert [m["name"] for m in first["modules"]] == ["XAxis", "Gripper"]
    assert [(b[1], b[4], b[5]) for b in first["bars"]] == [("XAxis", "running", "move @XAxis to p1")]


@pytest.mark.parametrize("events, commands, packml", [
    ([], ["pause", "pause-now", "stop"], "Execute"),
    ([{"event": "interlock_tripped", "t": 0.5, "name": "door"},
      {"event": "paused", "t": 0.5, "mode": "immediate", "cause": "interlock"}], ["stop"], "Held"),
    ([{"event": "paused", "t": 0.4, "mode": "deferred", "cause": "failure", "failure": {"module": "Gripper"}},
      {"event": "interlock_tripped", "t": 0.5, "name": "door"}], ["stop", "skip", "abort"], "Suspended"),
    # The door closed again: the decision is still the operator's to give, from the page too.
    ([{"event": "paused", "t": 0.4, "mode": "deferred", "cause": "failure", "failure": {"module": "Gripper"}},
      {"event": "interlock_tripped", "t": 0.5, "name": "door"}, {"event": "interlock_cleared", "t": 0.6, "name": "door"}],
     ["stop", "retry", "skip", "abort"], "Suspended"),
    ([{"event": "run_ended", "t": 0.6, "exit_code": 0, "outcome": "finished"}], [], "Complete"),
])
def test_the_snapshot_carries_the_commands_that_apply_now(events, commands, packml):
    snapshot = _view(_action("action_started", 0.1, "Gripper", 1), *events).snapshot()
    assert (snapshot["commands"], snapshot["packml"]["name"]) == (commands, packml)


def _long_view(actions, step=0.01):
    view = RunView()
    view.apply({"event": "run_started", "t": 0.0, "format": 1, "modules": [{"name": "M", "actions": actions}]})
    for index in range(1, actions + 1):
        view.apply(_action("action_planned", 0.0, "M", index))
    for index in range(1, actions + 1):
        view.apply(_action("action_started", index * step, "M", index))
        view.apply(_action("action_ended", index * step + step / 2, "M", index, outcome="finished"))
    return view


def test_after_the_first_message_an_update_carries_what_changed_only():
    view = _long_view(3000)
    first = view.first()
    assert first["kind"] == "first" and first["progress"]["done"] == 3000
    view.changes()  # what the first message already told
    view.apply(_action("action_started", 40.0, "M", 3000))
    update = view.changes()
    assert update["kind"] == "changes" and [b[0] for b in update["bars"]] == [3000] and update["log"] == []
    assert view.changes()["bars"] == []
    for index in range(1, 1001):  # a busy moment: the update stays bounded and says that it dropped bars
        view.apply(_action("action_started", 50.0 + index, "M", index))
    for index in range(300):  # and a busy log too
        view.apply({"event": "input_set", "t": 60.0, "module": "IO", "point": "p", "value": "on",
                    "by": {"channel": "ctl", "user": "x" * 100}})
    assert len(view._dirty) <= 2 * MAX_DELTA_BARS  # what no update carries is not kept for one either
    update = view.changes()
    assert len(update["bars"]) == MAX_DELTA_BARS and update["bars_dropped"]
    assert [e["n"] for e in update["log"]][-1] == len(view.fold.log) - 1 and len(update["log"]) < 300
    assert len(json.dumps(update)) < 64 * 1024


@pytest.mark.parametrize("start, end, numbers", [
    (0.0, 0.035, [1, 2, 3]),        # the window's own actions
    (0.012, 0.021, [1, 2]),         # an action that began before the window and ends in it counts
    (0.5, 0.6, list(range(50, 61))),
    (0.6, 0.5, list(range(50, 61))),  # the ends given the other way round
    (99.0, 100.0, []),
])
def test_the_bars_of_a_window_are_those_that_overlap_it(start, end, numbers):
    view = _long_view(100)
    assert [b[0] for b in view.bars(start, end)] == numbers


def test_a_window_with_more_bars_than_a_page_draws_is_merged_per_module_and_keeps_the_worst():
    view = _long_view(MAX_WINDOW_BARS + 500, step=0.001)
    view.apply(_action("action_started", 10.0, "M", 7))
    view.apply(_action("action_ended", 10.0005, "M", 7, outcome="error", reason="jam"))
    bars = view.bars(0.0, 11.0)
    assert len(bars) <= WINDOW_BUCKETS and sum(b[10] for b in bars) == MAX_WINDOW_BARS + 500
    assert any(b[4] == "error" for b in bars) and all(b[0] is None for b in bars)
