"""The run's model on its own, table-driven: sequences of commands, trips and failures against the states and
journal lines they must give, with the journal's fold agreeing with the control at every step; the command
table; the fold's module states; the catalogue of events and its readers."""

import contextlib
import io
import re
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

from vemo.cell.model import Interlock
from vemo.run import commands as table
from vemo.run.control import RunControl
from vemo.run.events import EVENTS, FIELDS, OUTCOMES, read_by
from vemo.run.fold import RunFold
from vemo.run.journal import Journal
from vemo.run.who import by
from vemo.run.states import (ENDED, PACKML, RUN_STATES, RUNNING, STOPPING, TRANSITIONS, IllegalTransition,
                             check_transition)

ROOT = Path(__file__).resolve().parents[2]
DOOR = Interlock("door", "Safety", "door_open", safe=False)  # needs the operator's resume
CURTAIN = Interlock("curtain", "Safety", "curtain", safe=True, auto_resume=True)
FAILURE = {"module": "Gripper", "action": "set @Gripper vacuum on", "location": "job.vemo:4:9",
           "reason": "vacuum not reached", "attempts": 1}


def _wait(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.005)


class Cell:
    """A RunControl driven step by step from the test's thread, its journal folded as the views fold it."""

    def __init__(self):
        self.events = []
        self.stops = []
        self.control = RunControl(journal=self._write, stop_axis=self.stops.append, interlocks=(DOOR, CURTAIN))
        self.fold = RunFold()
        self.fold.add({"event": "run_started", "t": 0.0, "modules": [{"name": "XAxis", "actions": 1}],
                       "interlocks": [{"name": "door"}, {"name": "curtain"}]})
        self.fold.add({"event": "action_planned", "t": 0.0, "module": "XAxis", "index": 1, "text": "move @XAxis"})
        self.seen = 0
        self.motions = contextlib.ExitStack()
        self.decision: threading.Thread | None = None
        self.answer: list[str] = []

    def _write(self, event, **fields):
        entry = {"event": event, "t": float(len(self.events)), **fields}
        self.events.append(entry)
        self.fold.add(entry)

    def new_events(self):
        names = [e["event"] for e in self.events[self.seen:]]
        self.seen = len(self.events)
        return names

    def step(self, step):
        """Does one step; returns the answer's ok (True for steps that are no command)."""
        word, _, name = step.partition(" ")
        if word in ("trip", "clear"):
            self.control.interlock_changed(name, word == "clear", value="on")
        elif word == "enter":  # the module starts an action, as the recorder journals it
            assert self.control.enter_action()
            self.fold.add({"event": "action_started", "t": 0.0, "module": "XAxis", "index": 1})
        elif word == "leave":
            self.fold.add({"event": "action_ended", "t": 0.0, "module": "XAxis", "index": 1, "outcome": "finished"})
            self.control.leave_action()
        elif word == "motion":
            self.motions.enter_context(self.control.motion((7,), "XAxis"))
        elif word == "fail":
            self.decision = threading.Thread(target=lambda: self.answer.append(
                self.control.hold_for_decision(FAILURE)), daemon=True)
            self.decision.start()
            _wait(lambda: self.control.state == "waiting_decision")
        else:
            ok = self.control.handle(table.BY_NAME[word].request)["ok"]
            if ok and word in table.DECISIONS:
                self.decision.join(5)
                assert self.answer == [word]
            return ok
        return True


S, D, R = "paused", "waiting_decision", "running"
SEQUENCES = {
    "a deferred pause holds once the action in flight ends": [
        ("enter", R, []), ("pause", "pausing", ["paused"]), ("leave", S, []), ("resume", R, ["resumed"])],
    "pause now stops the motion in flight": [
        ("enter", R, []), ("motion", R, []), ("pause-now", S, ["paused", "motion_interrupted"]),
        ("resume", R, ["resumed"])],
    "pause now applies during a deferred pause": [
        ("enter", R, []), ("motion", R, []), ("pause", "pausing", ["paused"]),
        ("pause-now", S, ["paused", "motion_interrupted"]), ("pause", S, [], False), ("resume", R, ["resumed"])],
    "an automatic interlock resumes the hold it made": [
        ("trip curtain", S, ["interlock_tripped", "paused"]), ("resume", S, [], False),
        ("clear curtain", R, ["interlock_cleared", "resumed"])],
    "an automatic interlock never resumes an operator's pause": [
        ("pause", S, ["paused"]), ("trip curtain", S, ["interlock_tripped"]),
        ("clear curtain", S, ["interlock_cleared"]), ("resume", R, ["resumed"])],
    "a door that needs the operator keeps the cell held after an automatic one clears": [
        ("trip curtain", S, ["interlock_tripped", "paused"]), ("trip door", S, ["interlock_tripped"]),
        ("clear door", S, ["interlock_cleared"]), ("clear curtain", S, ["interlock_cleared"]),
        ("resume", R, ["resumed"])],
    "the other order of the two interlocks too": [
        ("trip door", S, ["interlock_tripped", "paused"]), ("trip curtain", S, ["interlock_tripped"]),
        ("clear curtain", S, ["interlock_cleared"]), ("clear door", S, ["interlock_cleared"]),
        ("resume", R, ["resumed"])],
    "a trip stops the motion in flight": [
        ("enter", R, []), ("motion", R, []), ("trip door", S, ["interlock_tripped", "paused", "motion_interrupted"]),
        ("clear door", S, ["interlock_cleared"]), ("resume", R, ["resumed"])],
    "an answered decision resumes once": [
        ("fail", D, ["paused"]), ("resume", D, [], False), ("pause", D, [], False), ("skip", R, ["decided", "resumed"])],
    "a door during a decision keeps it pending and retry waits until the door is safe": [
        ("fail", D, ["paused"]), ("trip door", D, ["interlock_tripped"]), ("retry", D, [], False),
        ("resume", D, [], False), ("clear door", D, ["interlock_cleared"]), ("retry", R, ["decided", "resumed"])],
    "an automatic interlock during a decision journals no resumed": [
        ("fail", D, ["paused"]), ("trip curtain", D, ["interlock_tripped"]),
        ("clear curtain", D, ["interlock_cleared"]), ("retry", R, ["decided", "resumed"])],
    "skip with the door open leaves the run held by the door": [
        ("fail", D, ["paused"]), ("trip door", D, ["interlock_tripped"]), ("skip", S, ["decided", "paused"]),
        ("resume", S, [], False), ("clear door", S, ["interlock_cleared"]), ("resume", R, ["resumed"])],
    "a decision answered under an operator's pause returns to the pause": [
        ("enter", R, []), ("pause", "pausing", ["paused"]), ("fail", D, ["paused"]), ("retry", "pausing", ["decided", "paused"]),
        ("leave", S, []), ("resume", R, ["resumed"])],
    "abort stops the run": [("fail", D, ["paused"]), ("abort", STOPPING, ["decided", "stopping"]), ("resume", STOPPING, [], False)],
    "stop refuses every later command": [
        ("enter", R, []), ("stop", STOPPING, ["stopping"]), ("pause", STOPPING, [], False),
        ("stop", STOPPING, [], False), ("trip curtain", STOPPING, ["interlock_tripped"])],
}


@pytest.mark.parametrize("steps", SEQUENCES.values(), ids=SEQUENCES.keys())
def test_sequences_give_their_states_and_journal_lines_and_the_fold_agrees(steps):
    cell = Cell()
    try:
        for step, state, events, *ok in steps:
            assert cell.step(step) == (ok[0] if ok else True), step
            assert (cell.control.state, cell.new_events()) == (state, events), step
            status = cell.control.status()
            assert (cell.fold.state, cell.fold.commands()) == (status["state"], status["commands"]), step
    finally:
        cell.control.ended()
        cell.motions.close()
    assert cell.fold.state == ENDED or cell.control.state == ENDED


def test_the_stop_of_an_abort_says_so_and_a_motion_stopped_by_a_trip_stops_its_axis():
    cell = Cell()
    cell.step("enter")
    cell.step("motion")
    cell.step("trip door")
    assert cell.stops == [7]
    assert cell.fold.module_state("XAxis") == "interrupted"
    cell.motions.close()
    cell.control.ended()
    cell = Cell()
    cell.step("fail")
    cell.step("abort")
    assert cell.events[-1] == {"event": "stopping", "t": 2.0, "cause": "abort", "by": by("ctl")}
    cell.control.ended()


@pytest.mark.parametrize("source, target, event", [
    (ENDED, RUNNING, None), (RUNNING, STOPPING, "paused"), ("paused", "pausing", "paused"),
    ("waiting_decision", "waiting_decision", None),
])
def test_the_transition_table_refuses_what_it_does_not_hold(source, target, event):
    if source == target:
        check_transition(source, target, event)  # no change is no transition
        return
    with pytest.raises(IllegalTransition):
        check_transition(source, target, event)


def test_a_change_the_table_does_not_allow_raises_in_the_control():
    control = RunControl()
    control.ended()
    control._ended = False  # a fault of the program: the ended run would take commands again
    with pytest.raises(IllegalTransition, match="from ended to paused"):
        control.pause(now=True)


def test_every_state_is_reached_and_can_end_and_maps_to_packml():
    targets = {t.target for t in TRANSITIONS}
    assert set(RUN_STATES) - {"starting"} <= targets
    assert all(any(t.source == state and t.target == ENDED for t in TRANSITIONS) for state in RUN_STATES
               if state != ENDED)
    assert set(PACKML) == set(RUN_STATES)
    assert len({p.number for p in PACKML.values()}) == len(PACKML)


# --- the command table -----------------------------------------------------------------------------------

@pytest.mark.parametrize("state, tripped, commands", [
    ("running", [], ["pause", "pause-now", "stop"]),
    ("pausing", [], ["pause-now", "resume", "stop"]),
    ("paused", [], ["resume", "stop"]),
    ("paused", ["door"], ["stop"]),
    ("waiting_decision", [], ["stop", "retry", "skip", "abort"]),
    ("waiting_decision", ["door"], ["stop", "skip", "abort"]),
    ("stopping", [], []), ("ended", [], []), ("starting", [], []),
])
def test_the_commands_that_apply_in_each_state(state, tripped, commands):
    assert table.applicable(state, tripped) == commands


@pytest.mark.parametrize("command, state, tripped, reason", [
    ("pause", "paused", [], "the run is already paused"),
    ("resume", "running", [], "the run is not paused"),
    ("resume", "paused", ["door"], "interlock door is not safe: resume once it is safe again"),
    ("resume", "waiting_decision", [], "the run waits for a decision on a failure: retry, skip or abort"),
    ("retry", "running", [], "no failure waits for a decision: retry applies only then"),
    ("retry", "waiting_decision", ["door"], "interlock door is not safe: retry once it is safe again"),
    ("stop", "stopping", [], "the run is stopping"), ("input", "ended", [], "the run has ended"),
])
def test_refusals_say_why(command, state, tripped, reason):
    assert table.refusal(table.BY_NAME[command], state, tripped) == reason


@pytest.mark.parametrize("key, state, command", [
    ("r", "paused", "resume"), ("r", "waiting_decision", "retry"), ("P", "pausing", "pause-now"),
    ("p", "paused", None), ("x", "running", None),
])
def test_terminal_keys_come_from_the_table(key, state, command):
    found = table.for_key(key, state)
    assert (found.name if found else None) == command


@pytest.mark.parametrize("request_, found", [
    ({"command": "pause"}, "pause"), ({"command": "pause", "now": True}, "pause-now"),
    ({"command": "pause", "now": False}, "pause"), ({"command": "pause", "now": "yes"}, '"now" is true or false'),
    ({"command": "resume", "now": True}, "resume takes no now"), ({"command": "jump"}, "unknown command 'jump'"),
])
def test_requests_find_their_row(request_, found):
    try:
        assert table.find(request_).name == found
    except table.UnknownRequest as error:
        assert str(error).startswith(found)


def test_the_views_draw_the_commands_from_the_table():
    from vemo.cli import _parser

    ctl = _parser().parse_args(["ctl", "DIR", "pause", "--now"])
    assert (ctl.ctl_command, ctl.now) == ("pause", True)
    page = "".join(table.buttons_html(group) for group in ("run", "decision"))
    assert re.findall(r'id="([^"]+)"', page) == [c.name for c in table.OPERATOR_COMMANDS]
    script = (ROOT / "vemo/run/console/static/console.js").read_text()
    # The page enables what the snapshot's commands name: no rule about states of its own.
    assert not any(f'"{state}"' in script for state in ("running", "pausing", "paused", "waiting_decision"))


def test_the_docs_list_the_commands_of_the_table_and_the_transitions_of_the_state_machine():
    docs = (ROOT / "docs/running.md").read_text()
    section = docs[docs.index("## Operator commands"):]
    section = section[:section.index("\n## ", 1)]
    assert re.findall(r"^\| `([a-z-]+)`", section, re.M) == [c.name for c in table.COMMANDS]
    for command in table.COMMANDS:
        row = re.search(rf"^\| `{command.name}` \|([^|]*)\|", section, re.M)
        assert row.group(1).strip() == (command.key or ""), command.name
    machine = docs[docs.index("## The run's state machine"):]
    rows = re.findall(r"^\| ([a-z_]+) \| ([a-z_]+) \| (?:`([a-z_]+)`|\(nothing)", machine, re.M)
    assert sorted(rows) == sorted((t.source, t.target, t.event or "") for t in TRANSITIONS)


# --- the fold: the states every view shows -------------------------------------------------------------------

def _action(event, t, module, index=1, **fields):
    return {"event": event, "t": t, "module": module, "index": index, "text": f"move @{module}", **fields}


PLAN = [{"event": "run_started", "t": 0.0, "modules": [{"name": "XAxis", "actions": 1}, {"name": "ZAxis", "actions": 1},
                                                       {"name": "Gripper", "actions": 1}]},
        _action("action_planned", 0.0, "Gripper"), _action("action_planned", 0.0, "ZAxis"),
        _action("action_planned", 0.0, "XAxis")]


@pytest.mark.parametrize("events, run, modules", [
    ([_action("action_started", 1, "XAxis"), {"event": "paused", "t": 2, "mode": "immediate", "cause": "operator"},
      {"event": "motion_interrupted", "t": 2, "module": "XAxis", "axes": [1]}],
     "paused", ["interrupted", "paused", "paused"]),
    ([_action("action_started", 1, "XAxis"), {"event": "paused", "t": 2, "mode": "immediate", "cause": "interlock"},
      {"event": "motion_interrupted", "t": 2, "module": "XAxis", "axes": [1]}, {"event": "resumed", "t": 3}],
     "running", ["running", "waiting", "waiting"]),
    ([_action("action_started", 1, "Gripper"),
      {"event": "paused", "t": 2, "mode": "deferred", "cause": "failure", "failure": {"module": "Gripper"}}],
     "waiting_decision", ["paused", "paused", "waiting_decision"]),
    ([_action("action_started", 1, "Gripper"),
      {"event": "paused", "t": 2, "mode": "deferred", "cause": "failure", "failure": {"module": "Gripper"}},
      _action("action_ended", 3, "Gripper", outcome="skipped"), {"event": "resumed", "t": 3},
      *(_action(e, 4, m, **f) for m in ("XAxis", "ZAxis") for e, f in (("action_started", {}),
                                                                      ("action_ended", {"outcome": "finished"}))),
      {"event": "run_ended", "t": 5, "exit_code": 0, "outcome": "finished"}],
     "ended", ["done", "done", "done"]),
    ([_action("action_started", 1, "XAxis"), {"event": "stopping", "t": 2, "cause": "operator"},
      _action("action_ended", 2, "XAxis", outcome="interrupted"), {"event": "run_ended", "t": 3, "exit_code": 130}],
     "ended", ["stopped", "stopped", "stopped"]),
])
def test_the_fold_gives_the_run_and_each_module_a_state_in_the_cells_order(events, run, modules):
    fold = RunFold()
    for event in PLAN + events:
        fold.add(event)
    assert fold.state == run
    assert [(m["name"], m["state"]) for m in fold.modules()] == list(zip(["XAxis", "ZAxis", "Gripper"], modules))


def test_the_fold_takes_events_with_fields_of_the_wrong_type_without_failing():
    fold = RunFold()
    for event in PLAN + [{"event": "action_started", "t": 1, "module": ["XAxis"], "index": 1},
                         {"event": "paused", "t": 2, "cause": "failure", "failure": "not a failure"},
                         {"event": "motion_interrupted", "t": 2, "module": {}},
                         {"event": "interlock_tripped", "t": 3, "name": ["door"]},
                         {"event": "stopping", "t": 4, "cause": None}, {"event": "run_ended", "t": 5, "outcome": []}]:
        fold.add(event)
    assert fold.state == "ended" and fold.packml()["name"] == "Stopped"
    assert [m["state"] for m in fold.modules()] == ["stopped"] * 3


def test_the_recorder_names_the_modules_in_the_cells_order():
    from vemo.run.recorder import Recorder

    plans = [SimpleNamespace(name=name, lanes={}, actions=list) for name in ("ZAxis", "Gripper", "XAxis")]
    recorder = Recorder(plans, lambda action: None, journal=None, order=["XAxis", "ZAxis", "Gripper", "Loader"])
    assert list(recorder.totals) == ["XAxis", "ZAxis", "Gripper"]


def test_the_terminal_shows_the_failure_that_waits_and_a_refused_axis_stop():
    from vemo.run.progress import LiveProgress

    fold = RunFold()
    for event in PLAN + [_action("action_started", 1, "Gripper"),
                         {"event": "paused", "t": 2, "mode": "deferred", "cause": "failure", "failure": FAILURE},
                         {"event": "axis_stop_refused", "t": 2, "axis": 3, "result": 0}]:
        fold.add(event)
    lines = LiveProgress(fold, io.StringIO(), lambda: 2.0).lines()
    assert lines[0] == "waiting_decision"
    assert "Gripper failed: set @Gripper vacuum on (job.vemo:4:9): vacuum not reached — Retry, Skip or Abort" in lines
    assert any("refused to stop axis 3" in line for line in lines)


def test_a_terminal_answer_goes_once_it_is_no_longer_true():
    from vemo.run.keys import KeyReader

    cell = Cell()
    keys = KeyReader(cell.control)
    cell.step("enter")
    keys.press("p")
    assert keys.message == "pause: pausing"
    assert cell.events[-1]["by"] == by("terminal")  # who paused: the run's terminal and its user
    cell.step("leave")
    assert keys.message == ""
    cell.step("trip door")
    keys.press("r")
    assert keys.message.startswith("resume refused: interlock door is not safe")
    cell.step("clear door")  # still paused, but no longer for the door
    assert keys.message == ""
    cell.control.ended()


def test_input_answers_with_the_state_the_interlock_it_set_put_the_run_in():
    control = None

    def set_input(kinra_id, pin, value):
        # The simulator's input changes now; the interlock watch reads it a moment later.
        threading.Timer(0.05, lambda: control.interlock_changed("door", not value, value="on")).start()

    control = RunControl(set_input=set_input, inputs={("Safety", "door_open"): (13, 0)}, interlocks=(DOOR,))
    answer = control.handle({"command": "input", "module": "Safety", "point": "door_open", "value": "on"})
    assert answer["ok"] and answer["state"] == "paused"
    control.ended()


def test_a_retry_is_journaled_when_it_is_made_not_while_the_door_holds_the_run():
    from test_run_parts import FakeClient

    from vemo.cell.model import load_cell
    from vemo.cell.kinds import modules_package
    from vemo.cell.actions import Move
    from vemo.run.drive import RunContext

    kinds = modules_package(load_cell(ROOT / "examples/cell.yaml"))
    lines = []
    control = RunControl(journal=lambda event, **fields: lines.append(event), interlocks=(DOOR,))

    def decide(failure):
        control.interlock_changed("door", False, value="on")  # the door opens while the operator decides
        threading.Timer(0.1, lambda: (control.interlock_changed("door", True, value="off"), control.resume())).start()
        return "retry"

    context = RunContext(FakeClient(result=[0, 1]), control=control, decide=decide,
                         on_retry=lambda action, attempt, reason: lines.append("retry"))
    context.execute(Move(kinds.XAxis, position="pick", handler_id=1))
    assert lines == ["interlock_tripped", "paused", "interlock_cleared", "resumed", "retry"]
    control.ended()


# --- the catalogue of events ---------------------------------------------------------------------------------

def test_the_journal_refuses_an_event_that_is_not_in_the_catalogue(tmp_path):
    with Journal(tmp_path / "journal.jsonl") as journal:
        journal.write("run_started", format=1)
        with pytest.raises(ValueError, match="no journal event"):
            journal.write("paused_maybe", mode="deferred")
    assert (tmp_path / "journal.jsonl").read_text().count("\n") == 1


def test_the_docs_list_exactly_the_catalogue_with_its_fields():
    docs = (ROOT / "docs/running.md").read_text()
    rows = dict(re.findall(r"^\| `([a-z_]+)` \|(.*)$", docs[docs.index("## The run folder and its journal"):
                                                         docs.index("## `vemo report`")], re.M))
    assert sorted(rows) == sorted(EVENTS)
    for name, event in EVENTS.items():
        assert all(f"`{field}`" in rows[name] or f'`"{field}"' in rows[name] for field in event.fields), name


def test_the_field_rules_the_readers_check_name_fields_of_the_catalogue():
    fields = {field for event in EVENTS.values() for field in event.fields} | {"t"}
    assert set(FIELDS) <= fields
    assert all("outcome" in EVENTS[name].fields for name in OUTCOMES)


def test_every_reader_folds_the_events_the_catalogue_gives_it_and_ignores_the_rest():
    from vemo.run.console.view import RunView
    from vemo.run.outputs import RunRecords
    from vemo.run.progress import LINE_EVENTS

    assert set(RunRecords._handlers) == read_by("records")
    assert set(RunFold._handlers) == read_by("fold")
    assert LINE_EVENTS == read_by("lines")
    assert set(RunView._handlers) == read_by("console")


def test_every_event_the_run_writes_is_in_the_catalogue_and_every_entry_is_written():
    written = set()
    for path in (ROOT / "vemo/run").rglob("*.py"):
        source = path.read_text()
        written |= set(re.findall(r'(?:journal\.write|_journal|_settle)\(\s*"([a-z_]+)"', source))
    assert written == set(EVENTS)


def test_the_run_driver_and_the_hover_implement_every_handler_command():
    from vemo.cell.handlercommands import HandlerCommands
    from vemo.lsp.hover import _Recorder
    from vemo.run.drive import RunContext

    commands = [name for name in vars(HandlerCommands) if not name.startswith("_")]
    assert commands
    for implementation in (RunContext, _Recorder):
        assert all(getattr(implementation, name) is not getattr(HandlerCommands, name) for name in commands)
