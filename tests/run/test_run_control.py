"""Controlling a live `vemo run` on the handler simulator: pause and resume, pause now, stop, interlocks."""

import threading
import time

import pytest

import kinra_client
from runsupport import EXAMPLES, HANDLER_SETTINGS, journal_events, run_vemo, start_vemo, started, stop_process, \
    wait_for_journal
from vemo.run.who import by
from vemo.run.control import RunControl
from vemo.run.controlsocket import send
from vemo.run.drive import RunContext

DOOR_CELL = EXAMPLES / "door_cell.yaml"


def wait_for_state(run_dir, states, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        status = send(run_dir, "status")
        if status["state"] in states:
            return status
        time.sleep(0.05)
    raise AssertionError(f"the run did not reach {states} within {timeout} s")


def ctl(run_dir, *command):
    return run_vemo("ctl", run_dir, *command, timeout=30)


def assert_every_action_ran_once_and_finished(events):
    starts = [(e["module"], e["index"]) for e in started(events)]
    planned = [(e["module"], e["index"]) for e in events if e["event"] == "action_planned"]
    assert sorted(starts) == sorted(planned)
    assert all(e["outcome"] == "finished" for e in events if e["event"] == "action_ended")


def test_pause_holds_every_module_at_a_boundary_and_after_resume_nothing_runs_twice_or_is_lost(address, tmp_path):
    run_dir = tmp_path / "run"
    process = start_vemo("run", EXAMPLES / "pick_place.vemo", "--sim-address", address, "--run-dir", run_dir,
                         "--speed", "4")
    try:
        wait_for_journal(run_dir, lambda events: len(started(events)) >= 3)
        assert ctl(run_dir, "pause").returncode == 0
        status = wait_for_state(run_dir, ["paused"])
        assert all(module["current"] is None for module in status["modules"].values()), status
        assert 0 < status["progress"] < 1 and 0 < status["remaining_s"] < 60, status
        held = len(started(journal_events(run_dir)))
        time.sleep(0.5)
        assert len(started(journal_events(run_dir))) == held
        refused = ctl(run_dir, "pause")
        assert refused.returncode == 1 and "already paused" in refused.stderr
        assert ctl(run_dir, "resume").returncode == 0
        out, err = process.communicate(timeout=60)
    finally:
        stop_process(process)
    assert process.returncode == 0, out + err
    events = journal_events(run_dir)
    assert_every_action_ran_once_and_finished(events)
    control = [(e["event"], e.get("mode"), e.get("cause")) for e in events if e["event"] in ("paused", "resumed")]
    assert control == [("paused", "deferred", "operator"), ("resumed", None, "operator")]
    assert [e["by"] for e in events if e["event"] in ("paused", "resumed")] == [by("ctl")] * 2
    assert events[0]["estimate_s"] == pytest.approx(19.68 / 4, abs=0.05)  # vemo check's estimate at speed 4


def test_pause_now_sends_the_interrupted_motion_again_and_the_axis_ends_at_its_target(simulator):
    sim = simulator(time_scale=1.0)
    client = kinra_client.KinraClient(str(HANDLER_SETTINGS), server_address=sim.address)
    events = []
    control = RunControl(journal=lambda event, **fields: events.append(event))
    context = RunContext(client, control=control)
    failures = []

    def move():
        try:
            assert control.enter_action()
            context.move_axes([(1, 480.0)])  # 2.5 s at the axis's own speed
            control.leave_action()
        except Exception as error:
            failures.append(error)

    mover = threading.Thread(target=move, daemon=True)
    mover.start()
    time.sleep(0.5)
    control.pause(now=True)
    deadline = time.monotonic() + 10
    while control.state != "paused":
        assert time.monotonic() < deadline
        time.sleep(0.02)
    stopped_at = client.motor_monitor(1)
    time.sleep(0.3)
    assert client.motor_monitor(1) == stopped_at and 0 < stopped_at < 480  # stopped on the way
    control.resume()
    mover.join(15)
    assert not mover.is_alive() and not failures
    assert client.motor_monitor(1) == 480.0
    assert events == ["paused", "motion_interrupted", "resumed"]


def test_stop_through_vemo_ctl_ends_a_paused_run_as_ctrl_c_does(address, tmp_path):
    run_dir = tmp_path / "run"
    process = start_vemo("run", EXAMPLES / "pick_place.vemo", "--sim-address", address, "--run-dir", run_dir)
    try:
        wait_for_journal(run_dir, lambda events: len(started(events)) >= 3)
        assert ctl(run_dir, "pause", "--now").returncode == 0
        assert ctl(run_dir, "stop").returncode == 0
        out, err = process.communicate(timeout=60)
    finally:
        stop_process(process)
    assert process.returncode == 130 and "run stopped by the operator" in out, out + err
    assert journal_events(run_dir)[-1]["outcome"] == "interrupted"
    gone = ctl(run_dir, "status")
    assert gone.returncode == 2 and "no run answers" in gone.stderr


def test_door_interlock_trips_refuses_resume_until_closed_and_then_the_run_goes_on(address, tmp_path):
    run_dir = tmp_path / "run"
    process = start_vemo("run", EXAMPLES / "pick_place.vemo", "--cell", DOOR_CELL, "--sim-address", address,
                         "--run-dir", run_dir, "--speed", "4")
    try:
        wait_for_journal(run_dir, lambda events: len(started(events)) >= 3)
        assert ctl(run_dir, "input", "Safety", "door_open", "on").returncode == 0
        wait_for_journal(run_dir, lambda events: any(e["event"] == "interlock_tripped" for e in events))
        status = wait_for_state(run_dir, ["paused"])
        assert status["pause"] == {"mode": "immediate", "cause": "interlock"}
        assert status["interlocks"] == {"door": "tripped"}
        refused = ctl(run_dir, "resume")
        assert refused.returncode == 1 and "interlock door is not safe" in refused.stderr
        assert ctl(run_dir, "input", "Safety", "door_open", "off").returncode == 0
        wait_for_journal(run_dir, lambda events: any(e["event"] == "interlock_cleared" for e in events))
        assert send(run_dir, "status")["state"] == "paused"  # closed, but the operator resumes
        assert ctl(run_dir, "resume").returncode == 0
        out, err = process.communicate(timeout=60)
    finally:
        stop_process(process)
    assert process.returncode == 0, out + err
    events = journal_events(run_dir)
    assert_every_action_ran_once_and_finished(events)
    names = [e["event"] for e in events if e["event"] in ("interlock_tripped", "paused", "interlock_cleared",
                                                          "resumed")]
    assert names == ["interlock_tripped", "paused", "interlock_cleared", "resumed"]


def test_a_run_whose_interlock_is_tripped_at_start_says_so_and_waits_before_moving_anything(simulator, tmp_path):
    sim = simulator()
    sim.set_input(13, 0, True)  # the door is open before the run starts
    run_dir = tmp_path / "run"
    process = start_vemo("run", EXAMPLES / "pick_place.vemo", "--cell", DOOR_CELL, "--server", sim.address,
                         "--run-dir", run_dir)
    try:
        wait_for_journal(run_dir, lambda events: any(e["event"] == "interlock_tripped" for e in events))
        wait_for_state(run_dir, ["paused"])
        time.sleep(0.3)
        assert not started(journal_events(run_dir))
        refused = ctl(run_dir, "input", "Safety", "door_open", "off")
        assert refused.returncode == 1 and "embedded simulator" in refused.stderr
        sim.set_input(13, 0, False)
        wait_for_journal(run_dir, lambda events: any(e["event"] == "interlock_cleared" for e in events))
        assert ctl(run_dir, "resume").returncode == 0
        out, err = process.communicate(timeout=90)
    finally:
        stop_process(process)
    assert process.returncode == 0, out + err
    assert "interlock door is not safe" in out
    assert_every_action_ran_once_and_finished(journal_events(run_dir))


@pytest.mark.parametrize("entry, message", [
    ("door: {module: Safety, input: door_open}", "safe missing"),
    ("door: {module: Gripper, input: door_open, safe: off}", "Gripper has no input 'door_open'"),
    ("door: {module: XAxis, input: door_open, safe: off}", "must name an io module"),
    ("door: {module: Safety, input: door_open, safe: maybe}", "safe must be on or off"),
    ("door: {module: Safety, input: door_open, safe: off, resume: later}", "resume must be auto or operator"),
])
def test_bad_interlock_entries_are_refused_by_name(entry, message):
    from vemo.cell.model import CellError, parse_cell

    text = DOOR_CELL.read_text().replace("door: {module: Safety, input: door_open, safe: off}", entry)
    with pytest.raises(CellError, match=message):
        parse_cell(text, str(DOOR_CELL))


def test_a_door_opened_while_a_failure_waits_keeps_the_decision_and_every_view_agrees(address, tmp_path):
    # A handler whose X axis travels only to 300 mm: the move to place (480) fails and the run asks.
    settings = (EXAMPLES / "handler" / "cell.yaml").read_text()
    (tmp_path / "handler.yaml").write_text(settings.replace("Min: -5, Max: 600", "Min: -5, Max: 300"))
    (tmp_path / "cell.yaml").write_text(DOOR_CELL.read_text().replace("handler_settings: handler/cell.yaml",
                                                                      "handler_settings: handler.yaml"))
    (tmp_path / "job.vemo").write_text("job = async x: { move @ZAxis to down  move @ZAxis to up }\n"
                                       "and wait x { move @XAxis to pick  move @XAxis to place }\n"
                                       "main = { job }\n")
    run_dir = tmp_path / "run"
    process = start_vemo("run", tmp_path / "job.vemo", "--cell", tmp_path / "cell.yaml", "--sim-address", address,
                         "--run-dir", run_dir, "--speed", "4", "--on-error", "ask", "--plain")
    try:
        wait_for_journal(run_dir, lambda events: len(started(events)) >= 1)
        wait_for_state(run_dir, ["waiting_decision"])
        opened = ctl(run_dir, "input", "Safety", "door_open", "on")
        assert opened.stdout.strip() == "input: the run is waiting_decision"  # after the run read the door
        assert send(run_dir, "status")["commands"] == ["stop", "skip", "abort"]
        refused = ctl(run_dir, "retry")
        assert refused.returncode == 1 and "door is not safe" in refused.stderr
        assert ctl(run_dir, "input", "Safety", "door_open", "off").returncode == 0
        status = send(run_dir, "status")
        assert status["commands"] == ["stop", "retry", "skip", "abort"]
        assert list(status["modules"]) == ["XAxis", "ZAxis"]  # the cell's order, not the script's
        assert ctl(run_dir, "skip").returncode == 0
        out, err = process.communicate(timeout=60)
    finally:
        stop_process(process)
    assert process.returncode == 0, out + err
    assert "XAxis: 1/2 actions finished (done)" in out and "ZAxis: 2/2 actions finished (done)" in out
    events = journal_events(run_dir)
    held = [(e["event"], e.get("cause")) for e in events if e["event"] in ("paused", "resumed", "stopping")]
    assert held == [("paused", "failure"), ("resumed", "operator")]  # the door made no second pause or resume
