"""Failures on the handler simulator: retries, and the except block that runs before a failed run ends."""

import re
import signal

import pytest

import kinra_client
from runsupport import EXAMPLES, HANDLER_SETTINGS, run_vemo, start_vemo, stop_process, wait_for_journal
from vemo.run.controlsocket import send
from vemo.run.journal import read_journal

# The X axis of this handler travels only to 300 mm: every move to place (480) fails.
SHORT_TRAVEL = ("Min: -5, Max: 600", "Min: -5, Max: 300")
SHUTTLE = "{ move @XAxis to pick  move @XAxis to place  move @XAxis to park }"


@pytest.fixture
def short_cell(tmp_path, simulator):
    """A cell on a simulator whose X axis cannot reach place; returns (cell file, simulator)."""
    settings = HANDLER_SETTINGS.read_text()
    assert SHORT_TRAVEL[0] in settings
    (tmp_path / "handler.yaml").write_text(settings.replace(*SHORT_TRAVEL))
    (tmp_path / "cell.yaml").write_text((EXAMPLES / "cell.yaml").read_text()
                                        .replace("handler_settings: handler/cell.yaml", "handler_settings: handler.yaml"))
    return tmp_path / "cell.yaml", simulator(tmp_path / "handler.yaml")


def run_job(tmp_path, short_cell, script, *options):
    cell, sim = short_cell
    (tmp_path / "job.vemo").write_text(script)
    result = run_vemo("run", tmp_path / "job.vemo", "--cell", cell, "--server", sim.address,
                      "--run-dir", tmp_path / "run", *options, timeout=60)
    assert (tmp_path / "run" / "journal.jsonl").exists(), result.stdout + result.stderr
    events, warnings = read_journal(tmp_path / "run" / "journal.jsonl")
    assert warnings == []
    return result, events, kinra_client.KinraClient(str(tmp_path / "handler.yaml"), server_address=sim.address)


def story(events):
    """The events after the plan, as (event, module, index or block, outcome or attempt)."""
    told = []
    for e in events:
        if e["event"] in ("action_started", "action_ended", "retry"):
            told.append((e["event"], e["module"], e["index"], e.get("outcome", e.get("attempt"))))
        elif e["event"].startswith("recovery_"):
            told.append((e["event"], e["block"], e.get("outcome")))
    return told


def in_parallel_sorted(told):
    """The story with the except block's events sorted: its modules run in parallel."""
    start = told.index(("recovery_started", "E1", None))
    end = told.index(("recovery_ended", "E1", "finished"))
    return told[:start + 1] + sorted(told[start + 1:end]) + told[end:]


def test_except_block_runs_after_the_retries_are_used_up_and_the_run_exits_1(tmp_path, short_cell):
    script = ("safe = async { move @XAxis to park } and { set @Gripper vacuum off }\n"
              f"job = async g: {{ set @Gripper vacuum on }} and wait g {SHUTTLE}\n"
              "main = try { job } except { safe }\n")
    result, events, client = run_job(tmp_path, short_cell, script, "--retries", "2")
    assert result.returncode == 1, result.stdout + result.stderr
    assert in_parallel_sorted(story(events)) == [
        ("action_started", "Gripper", 1, None), ("action_ended", "Gripper", 1, "finished"),
        ("action_started", "XAxis", 1, None), ("action_ended", "XAxis", 1, "finished"),
        ("action_started", "XAxis", 2, None), ("retry", "XAxis", 2, 2), ("retry", "XAxis", 2, 3),
        ("action_ended", "XAxis", 2, "error"),
        ("recovery_started", "E1", None),
        ("action_ended", "Gripper", 2, "finished"), ("action_ended", "XAxis", 4, "finished"),
        ("action_started", "Gripper", 2, None), ("action_started", "XAxis", 4, None),
        ("recovery_ended", "E1", "finished"),
    ]
    started = next(e for e in events if e["event"] == "recovery_started")
    assert started["failed"] == [["XAxis", 2]] and started["location"] == f"{tmp_path / 'job.vemo'}:3:8"
    planned = [(e["module"], e["index"], e["text"]) for e in events
               if e["event"] == "action_planned" and e.get("recovery") == "E1"]
    assert sorted(planned) == [("Gripper", 2, "set @Gripper vacuum off"), ("XAxis", 4, "move @XAxis to park")]
    assert events[-1]["event"] == "run_ended" and events[-1]["exit_code"] == 1
    # The cell is where the except block left it: X parked, the vacuum off.
    assert client.motor_monitor(1) == 20.0 and client.io_monitor(11, "KINRA_ID_OUTPUT_DATA") == "0000"
    assert "except block E1: 2/2 actions finished" in result.stdout
    assert "FAILED: XAxis: move @XAxis to place" in result.stderr



def test_a_failure_in_a_long_loop_runs_its_except_block_and_the_summary_counts_what_ended(tmp_path, short_cell):
    """A run of a long loop sums itself up from what ended, not from a record per action."""
    script = ("safe = async { move @XAxis to park } and { set @Gripper vacuum off }\n"
              f"job = async g: {{ set @Gripper vacuum on }} and wait g {SHUTTLE}\n"
              "jobs = loop 5 times { job }\n"
              "main = try { jobs } except { safe }\n")
    result, events, _ = run_job(tmp_path, short_cell, script)
    assert result.returncode == 1, result.stdout + result.stderr
    assert [e["count"] for e in events if e["event"] == "loop_planned"] == [5]
    assert "  XAxis: 1/15 actions finished (failed)" in result.stdout
    assert re.search(r"  Gripper: [1-5]/5 actions finished", result.stdout)
    assert "except block E1: 2/2 actions finished" in result.stdout
    assert "FAILED: XAxis: move @XAxis to place" in result.stderr
    assert result.stdout.strip().splitlines()[-1].startswith("run failed after")

def test_failure_inside_the_except_block_ends_the_recovery_and_is_reported(tmp_path, short_cell):
    script = f"main = try {SHUTTLE} except {{ move @XAxis to place  move @XAxis to park }}\n"
    result, events, _ = run_job(tmp_path, short_cell, script, "--retries", "1")
    assert result.returncode == 1, result.stdout + result.stderr
    told = story(events)
    recovery = told[told.index(("recovery_started", "E1", None)):]
    # Within the except block nothing is tried again, and what follows the failure does not run.
    assert recovery == [("recovery_started", "E1", None), ("action_started", "XAxis", 4, None),
                        ("action_ended", "XAxis", 4, "error"),
                        ("recovery_ended", "E1", "failed")]
    assert "FAILED: XAxis: move @XAxis to place" in result.stderr
    assert "FAILED in except block E1: XAxis: move @XAxis to place" in result.stderr


ASK_JOB = ("job = async x: { move @XAxis to pick  move @XAxis to place }\n"
           "and wait x { move @ZAxis to down  move @ZAxis to up }\n"
           "main = try { job } except { move @XAxis to park }\n")


def failure_pauses(events):
    return sum(1 for e in events if e["event"] == "paused" and e.get("cause") == "failure")


@pytest.mark.parametrize("answers, code", [(["skip"], 0), (["retry", "abort"], 1), (["stop"], 130)])
def test_on_error_ask_holds_the_run_until_the_operator_retries_skips_or_aborts(tmp_path, short_cell, answers, code):
    cell, sim = short_cell
    (tmp_path / "job.vemo").write_text(ASK_JOB)
    run_dir = tmp_path / "run"
    process = start_vemo("run", tmp_path / "job.vemo", "--cell", cell, "--server", sim.address, "--run-dir", run_dir,
                         "--on-error", "ask")
    try:
        for attempt, answer in enumerate(answers, 1):
            wait_for_journal(run_dir, lambda events: failure_pauses(events) >= attempt)
            status = send(run_dir, "status")
            assert status["state"] == "waiting_decision" and status["decision"]["attempts"] == attempt
            assert status["decision"]["action"] == "move @XAxis to place"
            assert send(run_dir, answer)["ok"]
        out, err = process.communicate(timeout=60)
    finally:
        stop_process(process)
    assert process.returncode == code, out + err
    events, _ = read_journal(run_dir / "journal.jsonl")
    told = story(events)
    if answers == ["skip"]:
        # The skipped move releases what waits on it: Z goes down and up, and nothing is recovered.
        skipped = told.index(("action_ended", "XAxis", 2, "skipped"))
        assert told[skipped + 1:] == [("action_started", "ZAxis", 1, None), ("action_ended", "ZAxis", 1, "finished"),
                                      ("action_started", "ZAxis", 2, None), ("action_ended", "ZAxis", 2, "finished")]
        assert "1 failed action was skipped by the operator" in out
    elif answers == ["stop"]:
        # An operator's stop is no failure of the script: no except block runs.
        assert not any(t[0].startswith("recovery_") for t in told)
        assert "run stopped by the operator" in out
    else:
        failed = told.index(("action_ended", "XAxis", 2, "error"))
        assert ("retry", "XAxis", 2, 2) in told[:failed]
        # Z, held before its move that waits on X, runs none of its moves; then the except block parks X.
        recovery = told.index(("recovery_started", "E1", None))
        assert {t[:2] + t[3:] for t in told[failed + 1:recovery]} <= {("action_ended", "ZAxis", "not_run")}
        assert told[recovery:] == [("recovery_started", "E1", None), ("action_started", "XAxis", 3, None),
                                   ("action_ended", "XAxis", 3, "finished"), ("recovery_ended", "E1", "finished")]
        assert not any(t[:2] == ("action_started", "ZAxis") for t in told)


def test_a_stop_signal_during_the_except_block_ends_it_at_once(tmp_path, short_cell):
    # SIGTERM rather than Ctrl-C: the suite may run with SIGINT ignored, which its children inherit.
    cell, sim = short_cell
    (tmp_path / "job.vemo").write_text(f"main = try {SHUTTLE} except {{ call @XAxis.dwell(600000) }}\n")
    run_dir = tmp_path / "run"
    process = start_vemo("run", tmp_path / "job.vemo", "--cell", cell, "--server", sim.address, "--run-dir", run_dir)
    try:
        wait_for_journal(run_dir, lambda events: any(e["event"] == "action_started" and e["index"] == 4
                                                     for e in events))
        process.send_signal(signal.SIGTERM)
        out, err = process.communicate(timeout=30)
    finally:
        stop_process(process)
    assert process.returncode == 143, out + err
    told = story(read_journal(run_dir / "journal.jsonl")[0])
    assert told[-3:] == [("action_started", "XAxis", 4, None), ("action_ended", "XAxis", 4, "interrupted"),
                         ("recovery_ended", "E1", "interrupted")]
