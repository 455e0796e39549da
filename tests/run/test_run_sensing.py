"""Input waits on the handler simulator: ended by `vemo ctl input` and by the simulator's rules, already
satisfied, past their limit into retries and except blocks, in async blocks beside waits on labels."""

import json

import pytest

from runsupport import EXAMPLES, run_vemo, start_vemo, stop_process, wait_for_journal
from vemo.run.journal import read_journal

SENSING_SETTINGS = EXAMPLES / "handler" / "sensing.yaml"
# A station module without rules: only `vemo ctl input` changes its inputs.
STATION = """
      - {Name: station, KinraID: 13, Slot: 3, InputBytes: 1, OutputBytes: 0}
"""


@pytest.fixture
def cell(tmp_path):
    (tmp_path / "handler.yaml").write_text(SENSING_SETTINGS.read_text().rstrip("\n") + STATION)
    (tmp_path / "cell.yaml").write_text(
        (EXAMPLES / "sensing_cell.yaml").read_text().replace("handler/sensing.yaml", "handler.yaml")
        + "  Station:\n    kind: io\n    handler_id: 13\n    inputs: {clamp_closed: 0, clear: 1}\n")
    return tmp_path / "cell.yaml"


def job(tmp_path, script):
    (tmp_path / "job.vemo").write_text(script)
    return tmp_path / "job.vemo"


def story(events):
    return [(e["event"], e["module"], e.get("outcome", e.get("attempt"))) for e in events
            if e["event"] in ("action_started", "action_ended", "retry")]


def test_an_async_wait_ends_when_vemo_ctl_sets_the_input_and_releases_the_branch_waiting_on_its_label(
        tmp_path, cell, address):
    script = job(tmp_path, "main = async clamped: { wait @Station clamp_closed on }\n"
                           "  and wait clamped { set @Gripper vacuum on }\n")
    run_dir = tmp_path / "run"
    process = start_vemo("run", script, "--cell", cell, "--sim-address", address, "--run-dir", run_dir, "--plain")
    try:
        wait_for_journal(run_dir, lambda events: any(e["event"] == "action_started" for e in events))
        status = json.loads(run_vemo("ctl", run_dir, "status", timeout=30).stdout)
        assert status["modules"]["Station"]["current"] == "waiting for Station.clamp_closed on"
        assert status["modules"]["Gripper"]["done"] == 0  # held by its wait on the label
        assert run_vemo("ctl", run_dir, "input", "Station", "clamp_closed", "on", timeout=30).returncode == 0
        out, err = process.communicate(timeout=60)
    finally:
        stop_process(process)
    assert process.returncode == 0, out + err
    events, _ = read_journal(run_dir / "journal.jsonl")
    assert story(events) == [("action_started", "Station", None), ("action_ended", "Station", "finished"),
                             ("action_started", "Gripper", None), ("action_ended", "Gripper", "finished")]


def test_an_input_already_at_its_level_ends_the_wait_at_once(tmp_path, cell, address):
    script = job(tmp_path, "main = { wait @Station clear off within 1 ms  wait @Station clamp_closed off }")
    result = run_vemo("run", script, "--cell", cell, "--sim-address", address, "--plain", timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_example_runs_unattended_on_the_simulators_rules(address):
    result = run_vemo("run", EXAMPLES / "pick_sense.vemo", "--cell", EXAMPLES / "sensing_cell.yaml", "--speed", "4",
                      "--sim-address", address, "--plain", "--run-dir", "run", timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    events, _ = read_journal("run/journal.jsonl")
    waits = [e for e in events if e["event"] == "action_ended" and e["module"] in ("Feeder",)]
    assert [e["outcome"] for e in waits] == ["finished"] * 4


LATE = "Station: clamp_closed did not turn on within 200 ms"


def test_a_wait_past_its_limit_is_tried_again_then_fails_the_run_with_its_reason(tmp_path, cell, address):
    script = job(tmp_path, "main = { wait @Station clamp_closed on within 200 ms }")
    result = run_vemo("run", script, "--cell", cell, "--sim-address", address, "--plain", "--retries", "1",
                      "--run-dir", "run", timeout=60)
    assert result.returncode == 1, result.stdout + result.stderr
    assert LATE in result.stderr
    events, _ = read_journal("run/journal.jsonl")
    assert story(events) == [("action_started", "Station", None), ("retry", "Station", 2),
                             ("action_ended", "Station", "error")]


def test_a_wait_past_its_limit_runs_the_except_block(tmp_path, cell, address):
    script = job(tmp_path, "main = try { wait @Station clamp_closed on within 200 ms } except { set @Gripper blow on }")
    result = run_vemo("run", script, "--cell", cell, "--sim-address", address, "--plain", "--run-dir", "run",
                      timeout=60)
    assert result.returncode == 1, result.stdout + result.stderr
    events, _ = read_journal("run/journal.jsonl")
    assert story(events)[-2:] == [("action_started", "Gripper", None), ("action_ended", "Gripper", "finished")]
    assert "except block E1: 1/1 actions finished" in result.stdout


def test_a_wait_without_limit_holds_still_in_an_immediate_pause_and_ends_on_resume_with_the_input_set_meanwhile(
        tmp_path, cell, address):
    script = job(tmp_path, "main = { wait @Station clamp_closed on }")
    run_dir = tmp_path / "run"
    process = start_vemo("run", script, "--cell", cell, "--sim-address", address, "--run-dir", run_dir, "--plain")
    try:
        wait_for_journal(run_dir, lambda events: any(e["event"] == "action_started" for e in events))
        assert run_vemo("ctl", run_dir, "pause", "--now", timeout=30).returncode == 0
        # The waiting module counts as held: the run is paused, not still pausing.
        wait_for_journal(run_dir, lambda events: any(e["event"] == "paused" for e in events))
        states = []
        for _ in range(50):
            states.append(json.loads(run_vemo("ctl", run_dir, "status", timeout=30).stdout)["state"])
            if states[-1] == "paused":
                break
        assert states[-1] == "paused", states
        assert run_vemo("ctl", run_dir, "input", "Station", "clamp_closed", "on", timeout=30).returncode == 0
        assert run_vemo("ctl", run_dir, "resume", timeout=30).returncode == 0
        out, err = process.communicate(timeout=60)
    finally:
        stop_process(process)
    assert process.returncode == 0, out + err


def test_a_stop_ends_a_wait_without_limit(tmp_path, cell, address):
    script = job(tmp_path, "main = { wait @Station clamp_closed on }")
    run_dir = tmp_path / "run"
    process = start_vemo("run", script, "--cell", cell, "--sim-address", address, "--run-dir", run_dir, "--plain")
    try:
        wait_for_journal(run_dir, lambda events: any(e["event"] == "action_started" for e in events))
        assert run_vemo("ctl", run_dir, "stop", timeout=30).returncode == 0
        out, err = process.communicate(timeout=60)
    finally:
        stop_process(process)
    assert process.returncode == 130 and "run stopped by the operator" in out, out + err
    events, _ = read_journal(run_dir / "journal.jsonl")
    assert story(events)[-1] == ("action_ended", "Station", "interrupted")
