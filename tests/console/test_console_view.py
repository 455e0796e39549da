"""What the console shows of a run, folded from journal events."""

import pytest

from vemo.run.console.view import RunView

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


def test_the_chart_draws_every_module_and_escapes_the_script_text():
    view = _view({**_action("action_started", 0.1, "XAxis", 1), "text": "move @XAxis to <script>"})
    chart = view.snapshot()["chart"]
    assert chart.startswith("<svg") and ">XAxis<" in chart and ">Gripper<" in chart
    assert "<script>" not in chart


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
