"""The run's control on its own: states and refusals, holds at action boundaries, decisions, interlocks,
and the control socket with its client."""

import json
import os
import socket
import stat
import threading
import time
from types import SimpleNamespace

import pytest

from vemo.cell.model import Interlock
from vemo.run.control import Refused, RunControl
from vemo.run.controlsocket import ControlError, ControlServer, send
from vemo.run.interlocks import InterlockWatch

DOOR = Interlock("door", "Safety", "door_open", safe=False)
CURTAIN = Interlock("curtain", "Safety", "curtain", safe=True, auto_resume=True)


class Journal:
    def __init__(self):
        self.events = []

    def __call__(self, event, **fields):
        self.events.append({"event": event, **fields})

    def names(self):
        return [e["event"] for e in self.events]


def make_control(**settings):
    journal = Journal()
    stops = []
    control = RunControl(journal=journal, stop_axis=stops.append, interlocks=(DOOR, CURTAIN), **settings)
    return control, journal, stops


def wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.01)


class Module(threading.Thread):
    """A module thread that runs `count` actions of `seconds` each through the control's gate."""

    def __init__(self, control, count, seconds=0.02):
        super().__init__(daemon=True)
        self.control, self.count, self.seconds = control, count, seconds
        self.started = []

    def run(self):
        for n in range(self.count):
            if not self.control.enter_action():
                return
            self.started.append(n)
            time.sleep(self.seconds)
            self.control.leave_action()


def test_pause_holds_every_module_at_a_boundary_and_resume_lets_each_go_on_once():
    control, journal, _ = make_control()
    modules = [Module(control, 40) for _ in range(3)]
    for module in modules:
        module.start()
    wait_for(lambda: all(m.started for m in modules))
    control.pause()
    wait_for(lambda: control.state == "paused")
    held = [len(m.started) for m in modules]
    time.sleep(0.2)
    assert [len(m.started) for m in modules] == held  # nobody started an action while paused
    control.resume()
    for module in modules:
        module.join(10)
    assert all(m.started == list(range(40)) for m in modules)
    assert journal.events == [{"event": "paused", "mode": "deferred", "cause": "operator"},
                              {"event": "resumed", "cause": "operator"}]


@pytest.mark.parametrize("setup, command, message", [
    ([], "resume", "the run is not paused"),
    ([], "retry", "no failure waits for a decision"),
    (["pause"], "pause", "already pausing"),
    (["pause", "wait_paused"], "pause", "already paused"),
    (["pause", "wait_paused"], "pause_now", "already paused"),
    (["trip_door"], "resume", "interlock door is not safe"),
    (["stop"], "pause", "the run is stopping"),
    (["end"], "resume", "the run has ended"),
])
def test_command_that_does_not_apply_in_the_state_is_refused_with_the_reason(setup, command, message):
    control, _, _ = make_control()
    module = Module(control, 1000, seconds=0.01)
    module.start()
    wait_for(lambda: module.started)
    steps = {"pause": control.pause, "wait_paused": lambda: wait_for(lambda: control.state == "paused"),
             "trip_door": lambda: control.interlock_changed("door", False), "stop": control.stop,
             "end": control.ended, "pause_now": lambda: control.pause(now=True), "resume": control.resume,
             "retry": lambda: control.decide("retry")}
    for step in setup:
        steps[step]()
    state = control.state
    with pytest.raises(Refused, match=message):
        steps[command]()
    assert control.state == state
    control.ended()
    module.join(5)


def test_pause_now_stops_the_axes_in_flight_and_holds_the_motion_until_resume():
    control, journal, stops = make_control()
    resent = threading.Event()

    def module():
        assert control.enter_action()
        with control.motion((1, 2)) as first:
            wait_for(lambda: stops)  # the motion "runs" until the pause stops its axes
        assert first.interrupted
        assert control.wait_resumed()
        with control.motion((1, 2)) as again:
            resent.set()
        assert not again.interrupted
        control.leave_action()

    thread = threading.Thread(target=module, daemon=True)
    thread.start()
    wait_for(lambda: control.moving_axes() == [1, 2])
    control.pause(now=True)
    assert stops == [1, 2]
    wait_for(lambda: control.state == "paused")
    assert not resent.wait(0.2)
    control.resume()
    thread.join(5)
    assert resent.is_set()
    assert journal.names() == ["paused", "motion_interrupted", "resumed"] and journal.events[0]["mode"] == "immediate"


def test_dwell_keeps_its_remaining_time_over_an_immediate_pause():
    control, _, _ = make_control()
    took = []

    def dwell():
        started = time.monotonic()
        assert control.sleep(0.6)
        took.append(time.monotonic() - started)

    thread = threading.Thread(target=dwell, daemon=True)
    thread.start()
    time.sleep(0.2)
    control.pause(now=True)
    time.sleep(0.8)
    control.resume()
    thread.join(5)
    assert 1.35 <= took[0] < 2.5  # 0.6 s of dwell plus the 0.8 s it was held


def test_a_paused_run_uses_no_cpu_to_speak_of():
    control, _, _ = make_control()
    modules = [Module(control, 1000, seconds=0.001) for _ in range(4)]
    control.pause()
    for module in modules:
        module.start()
    wait_for(lambda: control.state == "paused")
    cpu = time.process_time()
    time.sleep(1.0)
    assert time.process_time() - cpu < 0.05
    control.ended()


def test_decision_holds_the_others_and_returns_the_operators_answer():
    control, journal, _ = make_control()
    others = Module(control, 1000, seconds=0.005)
    others.start()
    answers = []

    def failing():
        assert control.enter_action()
        answers.append(control.hold_for_decision({"module": "Z", "reason": "jam"}))
        control.leave_action()

    thread = threading.Thread(target=failing, daemon=True)
    thread.start()
    wait_for(lambda: control.state == "waiting_decision")
    assert control.status()["decision"] == {"module": "Z", "reason": "jam"}
    with pytest.raises(Refused, match="decision"):
        control.resume()
    held = len(others.started)
    time.sleep(0.2)
    assert len(others.started) in (held, held + 1)  # at most the action under way when it failed
    who = {"channel": "console", "user": "ann", "address": "192.0.2.7"}
    control.handle({"command": "skip", "by": who})
    thread.join(5)
    assert answers == ["skip"] and control.state == "running"
    assert journal.events == [{"event": "paused", "mode": "deferred", "cause": "failure",
                               "failure": {"module": "Z", "reason": "jam"}},
                              {"event": "decided", "answer": "skip", "module": "Z", "text": None, "location": None,
                               "by": who},
                              {"event": "resumed", "cause": "operator", "by": who}]
    control.ended()


def test_stop_answers_a_pending_decision_with_abort():
    control, _, _ = make_control()
    answers = []
    thread = threading.Thread(target=lambda: answers.append(control.hold_for_decision({})), daemon=True)
    thread.start()
    wait_for(lambda: control.state == "waiting_decision")
    control.stop()
    thread.join(5)
    assert answers == ["abort"] and control.stop_requested.is_set()


def test_interlock_trip_holds_at_once_refuses_resume_until_safe_and_then_needs_the_operator():
    control, journal, stops = make_control()
    def module():
        control.enter_action()
        with control.motion((7,)):
            wait_for(lambda: stops)

    threading.Thread(target=module, daemon=True).start()
    wait_for(lambda: control.moving_axes() == [7])
    control.interlock_changed("door", False, value="on")
    assert stops == [7] and control.status()["interlocks"]["door"] == "tripped"
    with pytest.raises(Refused, match="door is not safe"):
        control.resume()
    control.interlock_changed("door", True, value="off")
    assert control.state in ("pausing", "paused")  # safe again, but the operator resumes
    control.resume()
    assert journal.names() == ["interlock_tripped", "paused", "motion_interrupted", "interlock_cleared", "resumed"]
    assert journal.events[0] == {"event": "interlock_tripped", "name": "door", "module": "Safety",
                                 "input": "door_open", "value": "on"}
    control.ended()


def test_interlock_with_auto_resume_goes_on_by_itself_once_safe():
    control, journal, _ = make_control()
    control.interlock_changed("curtain", False)
    assert control.state == "paused"
    control.interlock_changed("curtain", True)
    assert control.state == "running"
    assert journal.events[-1] == {"event": "resumed", "cause": "interlock", "by": {"channel": "interlock", "name": "curtain"}}


def test_an_interlock_input_whose_reading_raises_counts_as_not_safe():
    class Garbled:
        def io_monitor(self, kinra_id, data):
            raise ValueError("not a handler's reply")

    safety = SimpleNamespace(handler_id=13, inputs={"door_open": 0})
    cell = SimpleNamespace(interlocks=(DOOR,), module=lambda name: safety)
    control, journal, _ = make_control()
    assert InterlockWatch(Garbled(), cell, control).check() is False
    assert control.tripped() == ["door"] and journal.events[0]["value"] == "unreadable"


def test_the_interlock_watch_outlasts_a_stop_and_holds_an_except_block_that_follows():
    class Door:
        level = "00"

        def io_monitor(self, kinra_id, data):
            return self.level

    door = Door()
    safety = SimpleNamespace(handler_id=13, inputs={"door_open": 0})
    cell = SimpleNamespace(interlocks=(DOOR,), module=lambda name: safety)
    control, journal, _ = make_control()
    watch = InterlockWatch(door, cell, control, poll_seconds=0.01).start()
    try:
        control.stopping.set()  # an action failed
        time.sleep(0.05)
        control.stopping.clear()  # its except block begins
        door.level = "01"
        wait_for(lambda: control.tripped() == ["door"])
    finally:
        watch.close()


def test_input_is_refused_without_a_simulator_and_for_unknown_points():
    control, _, _ = make_control()
    with pytest.raises(Refused, match="embedded simulator"):
        control.set_input("Safety", "door_open", True)
    set_inputs = []
    control, _, _ = make_control(set_input=lambda *a: set_inputs.append(a),
                                 inputs={("Safety", "door_open"): (13, 0)})
    with pytest.raises(Refused, match="has no input nope"):
        control.set_input("Safety", "nope", True)
    control.set_input("Safety", "door_open", True)
    assert set_inputs == [(13, 0, True)]


@pytest.fixture
def served(tmp_path):
    control, journal, _ = make_control()
    with ControlServer(tmp_path, control) as server:
        yield tmp_path, control, server


def test_control_socket_is_for_the_runs_user_only_and_goes_with_the_run(served):
    run_dir, control, server = served
    assert stat.S_IMODE(os.stat(server.path).st_mode) == 0o600
    assert send(run_dir, "pause", now=True)["state"] == "paused"
    server.close()
    with pytest.raises(ControlError, match="no run answers"):
        send(run_dir, "status")


@pytest.mark.parametrize("line, error", [
    (b"not json\n", "not a JSON request"),
    (b"[1, 2]\n", "a JSON object"),
    (b'{"command": "dance"}\n', "unknown command 'dance'"),
    (b'{"command": "pause", "now": "yes"}\n', '"now" is true or false'),
    (b'{"command": "resume", "extra": 1}\n', "resume takes no extra"),
    (b'{"command": "input", "module": "Safety"}\n', "input needs"),
    (b"\xff\xfe\n", "not a JSON request"),
    (b"[" * 50000 + b"\n", "not a JSON request"),
])
def test_malformed_request_gets_an_error_and_leaves_the_run_unharmed(served, line, error):
    run_dir, control, server = served
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
        connection.settimeout(5)
        connection.connect(str(server.path))
        connection.sendall(line)
        answer = json.loads(connection.makefile("rb").readline())
    assert answer["ok"] is False and error in answer["error"]
    assert send(run_dir, "status")["state"] == "running"


def test_an_endless_request_is_cut_off_and_the_server_goes_on(served):
    run_dir, control, server = served
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
        connection.settimeout(5)
        connection.connect(str(server.path))
        with pytest.raises(OSError):
            for _ in range(100):
                connection.sendall(b"x" * 65536)
    assert send(run_dir, "status")["ok"]


def test_a_client_gone_before_its_over_long_request_is_answered_leaves_the_server_serving(served):
    run_dir, control, server = served
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
        connection.connect(str(server.path))
        connection.sendall(b"x" * 70000)
    assert send(run_dir, "status")["ok"]


def test_send_without_a_run_folder_says_no_run_answers(tmp_path):
    with pytest.raises(ControlError, match="no run answers"):
        send(tmp_path / "nowhere", "status")


def test_keys_do_what_the_commands_do_in_the_state_they_apply_to():
    from vemo.run.keys import KeyReader, key_help

    control, journal, _ = make_control()
    keys = KeyReader(control)
    keys.press("x")  # no key of any state: ignored
    keys.press("r")  # resume does not apply while running: not offered, nothing sent
    assert journal.events == [] and keys.message == ""
    keys.press("p")
    assert control.state == "paused" and keys.message == "pause: paused"
    assert key_help("paused") == "r resume  s stop"
    control.interlock_changed("door", False)
    keys.press("r")
    assert keys.message.startswith("resume refused: interlock door is not safe")
    control.interlock_changed("door", True)
    keys.press("r")
    assert control.state == "running"
    keys.press("s")
    assert control.stop_requested.is_set()
