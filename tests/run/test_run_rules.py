"""The rules of the run's model as tables, in-process: refusals of the state machine, why a run stops, the
terminal's keys and the console's buttons per state, the fold's states through a stop with except blocks
and what its snapshot parts hold, every field rule of the journal with a good and a bad value, and the bound
on how deep a journal line nests."""

import html
import json
import re

import pytest

from vemo.run import commands as table
from vemo.run import events
from vemo.run.events import EVENTS, FIELDS, MAX_RUN_SECONDS, OUTCOMES
from vemo.run.fold import RunFold
from vemo.run.journal import MAX_NESTING, JournalError, parse_event
from vemo.run.states import IllegalTransition, check_transition, stop_cause

# --- the state machine --------------------------------------------------------------------------------------


@pytest.mark.parametrize("source, target, event, message", [
    ("ended", "running", None, "the run cannot go from ended to running without an event"),
    ("running", "stopping", "paused", "the run cannot go from running to stopping by paused"),
    ("pausing", "paused", "resumed", "the run cannot go from pausing to paused by resumed"),
])
def test_an_illegal_transition_names_its_states_and_its_event(source, target, event, message):
    with pytest.raises(IllegalTransition) as raised:
        check_transition(source, target, event)
    assert str(raised.value) == message


@pytest.mark.parametrize("name, halts_motion, ends_waits, interrupts", [
    ("failure", False, False, False),  # the except blocks run: the modules end their actions
    ("handler_lost", False, True, False),  # nobody answers the waits any more
    ("operator", True, True, True), ("signal", True, True, True),
])
def test_what_each_cause_of_a_stop_does(name, halts_motion, ends_waits, interrupts):
    cause = stop_cause(name)
    assert (cause.name, cause.halts_motion, cause.ends_waits, cause.interrupts) == \
        (name, halts_motion, ends_waits, interrupts)


@pytest.mark.parametrize("name", [None, "power_cut"])
def test_no_cause_or_an_unknown_one_is_none(name):
    assert stop_cause(name) is None


# --- the command table --------------------------------------------------------------------------------------

@pytest.mark.parametrize("state, tripped, keys", [
    ("running", [], "p pause  P pause now  s stop"),
    ("pausing", [], "P pause now  r resume  s stop"),
    ("paused", ["door"], "s stop"),
    ("waiting_decision", [], "s stop  r retry  k skip  a abort"),
    ("waiting_decision", ["door"], "s stop  k skip  a abort"),
    ("starting", [], ""), ("stopping", [], ""), ("ended", [], ""),
])
def test_the_key_line_shows_exactly_the_keys_that_apply(state, tripped, keys):
    assert table.key_help(state, tripped) == keys


@pytest.mark.parametrize("command, state, tripped, reason", [
    ("pause", "starting", [], "the run has not started yet"),
    ("resume", "paused", ["curtain", "door"], "interlock curtain, door is not safe: resume once it is safe again"),
    ("pause-now", "paused", [], "the run is already paused"),
    ("stop", "ended", [], "the run has ended"),
])
def test_more_refusals_say_why(command, state, tripped, reason):
    assert table.refusal(table.BY_NAME[command], state, tripped) == reason


@pytest.mark.parametrize("request_, message", [
    ({"command": "jump"}, "unknown command 'jump': one of status, pause, resume, stop, stop-after-cycle, retry, skip, abort, input"),
    ({"command": None}, "unknown command None: one of status, pause, resume, stop, stop-after-cycle, retry, skip, abort, input"),
    ({"command": "resume", "x": 1, "now": True}, "resume takes no now, x"),
    ({"command": "pause", "now": 1}, '"now" is true or false'),
])
def test_a_request_the_table_does_not_hold_is_refused_with_what_it_takes(request_, message):
    with pytest.raises(table.UnknownRequest) as raised:
        table.find(request_)
    assert str(raised.value) == message


BUTTON = re.compile(r'<button id="([^"]+)" data-request="([^"]+)"(?: data-confirm="([^"]+)")? disabled>'
                    r'([^<]+)</button>')


@pytest.mark.parametrize("group", ["run", "decision"])
def test_each_button_sends_its_rows_request_and_asks_its_question(group):
    page = table.buttons_html(group)
    rows = [c for c in table.OPERATOR_COMMANDS if c.group == group]
    parts = page.split("\n  ")
    assert len(parts) == len(rows)
    for part, row in zip(parts, rows):
        match = BUTTON.fullmatch(part)
        assert match, part
        name, request, confirm, label = match.groups()
        assert (name, json.loads(html.unescape(request)), confirm and html.unescape(confirm), label) == \
            (row.name, row.request, row.confirm, row.label)


# --- the fold ------------------------------------------------------------------------------------------------

def _action(event, t, module, index=1, **fields):
    return {"event": event, "t": t, "module": module, "index": index, "text": f"move @{module}", **fields}


START = {"event": "run_started", "t": 0.0, "interlocks": [{"name": "door"}],
         "modules": [{"name": "XAxis", "actions": 1}, {"name": "Gripper", "actions": 1}]}
PLAN = [START, _action("action_planned", 0.0, "XAxis"), _action("action_planned", 0.0, "Gripper")]


def test_a_fold_before_the_first_line_is_starting_and_takes_no_command():
    fold = RunFold()
    assert (fold.state, fold.commands(), fold.packml()) == ("starting", [], {"state": 3, "name": "Starting"})


# An interlock stops XAxis's motion, Gripper fails meanwhile and the run stops on the failure; the except
# block starts while the door still holds the run. (event, the run's state, XAxis's, Gripper's)
STOP_WITH_RECOVERY = [
    (_action("action_started", 1.0, "XAxis"), "running", "running", "waiting"),
    (_action("action_started", 1.0, "Gripper"), "running", "running", "running"),
    ({"event": "interlock_tripped", "t": 2.0, "name": "door"}, "running", "running", "running"),
    ({"event": "paused", "t": 2.0, "mode": "immediate", "cause": "interlock"}, "paused", "paused", "paused"),
    ({"event": "motion_interrupted", "t": 2.0, "module": "XAxis", "axes": [1]}, "paused", "interrupted", "paused"),
    (_action("action_ended", 3.0, "Gripper", outcome="error", reason="vacuum"), "paused", "interrupted", "failed"),
    ({"event": "stopping", "t": 3.0, "cause": "failure"}, "stopping", "interrupted", "failed"),
    (_action("action_ended", 4.0, "XAxis", outcome="interrupted"), "stopping", "waiting", "failed"),
    ({"event": "recovery_started", "t": 5.0, "block": "cleanup", "failed": [["Gripper", 1]]},
     "paused", "paused", "failed"),
    (_action("action_planned", 5.0, "XAxis", 2, recovery="cleanup"), "paused", "paused", "failed"),
    # Its motion in the except block is a new one: no longer the one the interlock stopped.
    (_action("action_started", 5.0, "XAxis", 2, recovery="cleanup"), "paused", "paused", "failed"),
    ({"event": "interlock_cleared", "t": 6.0, "name": "door"}, "paused", "paused", "failed"),
    ({"event": "resumed", "t": 6.0, "cause": "operator"}, "running", "running", "failed"),
    (_action("action_ended", 7.0, "XAxis", 2, outcome="finished", recovery="cleanup"), "running", "waiting",
     "failed"),
    ({"event": "run_ended", "t": 8.0, "exit_code": 1, "outcome": "failed"}, "ended", "stopped", "failed"),
]


def test_the_fold_through_a_stop_on_a_failure_with_its_except_block():
    fold = RunFold()
    for event in PLAN:
        fold.add(event)
    seen = []
    for event, *_ in STOP_WITH_RECOVERY:
        before = fold.state
        fold.add(event)
        check_transition(before, fold.state, event["event"])  # each change is one the table holds
        seen.append((fold.state, fold.module_state("XAxis"), fold.module_state("Gripper")))
    assert seen == [tuple(row[1:]) for row in STOP_WITH_RECOVERY]


def test_the_snapshot_parts_of_the_fold_say_what_holds_the_run_and_since_when():
    fold = RunFold()
    for event in PLAN + [_action("action_started", 1.0, "XAxis"),
                         {"event": "interlock_tripped", "t": 2.5, "name": "door", "module": "Safety",
                          "input": "door_open", "value": True},
                         {"event": "paused", "t": 2.5, "mode": "immediate", "cause": "interlock"},
                         _action("action_started", 3.0, "Gripper"),
                         _action("action_ended", 4.0, "Gripper", outcome="finished")]:
        fold.add(event)
    assert fold.pause == {"mode": "immediate", "cause": "interlock"}
    assert fold.interlocks == {"door": {"name": "door", "state": "tripped", "since": 2.5, "module": "Safety",
                                        "input": "door_open", "value": True}}
    assert fold.packml() == {"state": 11, "name": "Held"}
    assert fold.status_modules() == {
        "XAxis": {"state": "paused", "current": "move @XAxis", "done": 0, "total": 1, "iteration": None},
        "Gripper": {"state": "paused", "current": None, "done": 1, "total": 1, "iteration": None}}


# --- the journal's field rules -------------------------------------------------------------------------------

REFERENCE_BAD = [[["XAxis"]], [["XAxis", 1, 2]], [[1, 1]], [["XAxis", "1"]], [["XAxis", True]], ["XAxis"], {}]
# Per field that a rule checks: values it takes and values it refuses.
FIELD_VALUES = {
    "t": ([0, 2.5, MAX_RUN_SECONDS], [-1, MAX_RUN_SECONDS + 1]),
    "format": ([1], [1.0, "1", True]),
    "script": (["job.vemo"], [1, None]), "cell": (["cell.toml"], [[]]),
    "handler_settings": ([None, "h.toml"], [1]),
    "handler": (["tcp://127.0.0.1:5555"], [None]),
    "digests": ([{}, {"job.vemo": "ab12"}, {"h.toml": None}], [[], {"job.vemo": 1}]),
    "simulator": ([True, False], [1, "true", None]),
    "started": (["2026-01-01T00:00:00Z"], [0]),
    "modules": ([[], [{"name": "XAxis", "actions": 0}], [{"name": "XAxis", "actions": None}],
                 [{"module": "XAxis", "first": 3, "per_iteration": 2}]],
                [{}, [{"name": "XAxis"}], [{"name": "XAxis", "actions": -1}], [{"name": 1, "actions": 1}],
                 ["XAxis"], [{"name": "XAxis", "actions": True}], [{"module": "X", "first": 0}],
                 [{"module": "X", "first": 1}], [{"module": 1, "first": 1}]]),
    "loop": ([1, 3], [0, None, "1"]), "iteration": ([1, 7], [0, -2, 1.5]),
    "count": ([None, 4, 1_000_000], [-1, "4", True]), "iteration_estimate_s": ([None, 2.35], [-1, "2"]),
    "interlocks": ([[], [{"name": "door", "module": "Safety", "input": "door_open"}]], [[{}], "door", {}]),
    "module": (["XAxis"], [None, ["XAxis"]]),
    "index": ([1, 12], [0, "1", True, 1.5]),
    "text": (["move @XAxis"], [None]),
    "location": ([None, "job.vemo:3:5"], [3]),
    "kind": (["move"], [False]),
    "lane": ([None, "left"], [1]),
    "recovery": ([None, "cleanup"], [{}]),
    "waits": ([[], [["XAxis", 1]]], REFERENCE_BAD),
    "failed": ([[["Gripper", 2], ["XAxis", 1]]], REFERENCE_BAD),
    "after": ([None, ["XAxis", 1]], [["XAxis"], [1, 1], "XAxis"]),
    "reason": ([None, "vacuum not reached"], [404]),
    "attempt": ([1, 2], [0, 1.5]),
    "block": (["cleanup"], [None]),
    "mode": (["deferred"], [None]),
    "cause": (["operator"], [1]),
    "name": (["door"], [["door"]]),
    "failure": ([{}, {"module": "Gripper"}], ["Gripper", None]),
    "exit_code": ([0, 130, 255], [-1, 256, 1.0, True]),
}


def _line(event: str, field: str, value) -> bytes:
    entry = {"event": event, "t": 1.0}
    entry[field] = value
    return json.dumps(entry, ensure_ascii=False).encode()


def _carrier(field: str) -> str:
    """An event of the catalogue that has `field` ("t" is every event's)."""
    return next((name for name, event in EVENTS.items() if field in event.fields), "resumed")


def test_every_field_rule_has_values_here():
    assert set(FIELD_VALUES) == set(FIELDS)


@pytest.mark.parametrize("field", FIELD_VALUES)
def test_each_field_takes_its_good_values_and_refuses_its_bad_ones_by_name(field):
    good, bad = FIELD_VALUES[field]
    event = _carrier(field)
    for value in good:
        assert parse_event(_line(event, field, value), "line 2")[field] == value
    for value in bad:
        with pytest.raises(JournalError) as raised:
            parse_event(_line(event, field, value), "line 2")
        shown = json.dumps(value, ensure_ascii=False)
        assert str(raised.value) == f'line 2: {event} event: "{field}" must be {FIELDS[field][1]}, not {shown}'


@pytest.mark.parametrize("event", OUTCOMES)
def test_each_event_with_an_outcome_takes_only_its_own(event):
    for outcome in OUTCOMES[event]:
        assert parse_event(_line(event, "outcome", outcome), "line 3")["outcome"] == outcome
    others = {o for outcomes in OUTCOMES.values() for o in outcomes} - set(OUTCOMES[event])
    for outcome in sorted(others) + ["done", 1]:
        with pytest.raises(JournalError) as raised:
            parse_event(_line(event, "outcome", outcome), "line 3")
        assert str(raised.value) == (f'line 3: {event} event: "outcome" must be one of {", ".join(OUTCOMES[event])}, '
                                     f'not {json.dumps(outcome)}')


def test_an_outcome_on_an_event_that_has_none_is_passed_on():
    assert parse_event(_line("resumed", "outcome", "whatever"), "line 4")["outcome"] == "whatever"


@pytest.mark.parametrize("value, shown", [
    (["é" * 36], f'["{"é" * 36}"]'),  # 40 characters: shown whole, not escaped
    (["é" * 37], f'["{"é" * 35}...'),  # 41: cut to 40 with the dots
    ({"a": list(range(100))}, '{"a": [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, ...'),
])
def test_a_refused_value_is_quoted_short_whatever_its_size(value, shown):
    with pytest.raises(JournalError) as raised:
        parse_event(_line("action_ended", "reason", value), "line 5")
    assert str(raised.value).endswith(f'"reason" must be text, not {shown}')


def _nested(opening: str, closing: str, levels: int) -> str:
    """A value `levels` deep, every level a list ("[", "]") or an object ("{"k": ", "}")."""
    return opening * levels + "1" + closing * levels


# A line's depth counts the event's own object: its fields may nest one level less than MAX_NESTING.
@pytest.mark.parametrize("value, refused", [
    (_nested("[", "]", MAX_NESTING - 1), False),
    (_nested("[", "]", MAX_NESTING - 1) + ', "more": [[], [], {}]', False),  # more brackets, no deeper
    ("[" + ", ".join(["[]"] * 20) + "]", False),
    (_nested("[", "]", MAX_NESTING), True),
    (_nested('{"k": ', "}", MAX_NESTING), True),
    (_nested('[{"k": ', "}]", MAX_NESTING // 2 + 1), True),
    (_nested("[", "]", 100_000), True),  # beyond the JSON parser's own bound
])
def test_a_line_nested_deeper_than_the_bound_is_refused_however_it_nests(value, refused):
    raw = ('{"event": "resumed", "t": 1, "deep": ' + value + "}").encode()
    if refused:
        with pytest.raises(JournalError) as raised:
            parse_event(raw, "line 6")
        assert str(raised.value) == f"line 6: not a journal line: nested more than {MAX_NESTING} deep"
    else:
        assert parse_event(raw, "line 6")["event"] == "resumed"


# The combinators the field rules are built from, on their own (the table holds what they built at import),
# each built here in the test: an optional text, a list of texts, an object whose "name" is a text.
COMBINATORS = {"optional": lambda: events._optional(events._is_text), "list": lambda: events._list_of(events._is_text),
               "object": lambda: events._object_of(name=events._is_text)}


@pytest.mark.parametrize("combinator, value, takes", [
    ("optional", None, True), ("optional", "a", True), ("optional", 1, False),
    ("list", [], True), ("list", ["a", "b"], True), ("list", ["a", 1], False), ("list", "", False),
    ("list", {}, False),
    ("object", {"name": "a", "other": 1}, True), ("object", {"name": 1}, False), ("object", {}, False),
    ("object", ["name"], False),
])
def test_the_combinators_of_the_field_rules(combinator, value, takes):
    assert COMBINATORS[combinator]()(value) is takes
