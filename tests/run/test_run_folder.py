"""The run folder: a journal on disk as the run goes, and `vemo report` rebuilding the outputs from it."""

import signal
import time

import pytest

from runsupport import (EXAMPLES, journal_events, load_record, run_vemo, start_vemo, started, stop_process,
                        wait_for_journal)
from vemo.run.journal import FORMAT
from vemo.run.outputs import RunRecords, records_from_events
from vemo.run.simulator import ports_free

# The gripper holds for a minute; the move waits for it.
HOLD = """job = async
    hold: { call @Gripper.dwell(60000, "hold") }
and
    pick: wait hold { move @XAxis to pick }
main = { job }
"""


def test_outputs_of_a_run_and_of_report_on_its_folder_are_the_same_files(simulator, tmp_path):
    sim = simulator()
    first = [tmp_path / "run.html", tmp_path / "run-trace.json", tmp_path / "run.json"]
    result = run_vemo("run", EXAMPLES / "tray_compete.vemo", "--server", sim.address, "--timeline", first[0],
                      "--trace", first[1], "--record", first[2])
    assert result.returncode == 0, result.stdout + result.stderr
    run_dir, = (tmp_path / "runs").iterdir()
    assert f"run folder: runs/{run_dir.name}" in result.stdout and run_dir.name.endswith("-tray_compete")
    events = journal_events(run_dir)
    assert [events[0]["event"], events[-1]["event"]] == ["run_started", "run_ended"]
    assert (events[0]["format"], events[0]["handler"], events[0]["simulator"]) == (FORMAT, sim.address, False)
    assert (events[-1]["exit_code"], events[-1]["outcome"]) == (0, "finished")
    for event in started(events):
        assert set(event) >= {"module", "index", "text", "location"}
        assert event["index"] >= 1 and event["location"].startswith(str(EXAMPLES / "tray_compete.vemo") + ":")

    again = ["again/run.html", "again/run-trace.json", "again/run.json"]
    report = run_vemo("report", run_dir, "--timeline", again[0], "--trace", again[1], "--record", again[2])
    assert report.returncode == 0, report.stdout + report.stderr
    assert "created the folder" in report.stdout and "/again for the run's outputs" in report.stdout
    assert "run ended at" in report.stdout and "finished (exit code 0)" in report.stdout
    for made, remade in zip(first, again):
        assert made.read_bytes() == (tmp_path / remade).read_bytes(), remade


def test_a_killed_run_leaves_every_event_before_the_kill_and_report_draws_it(address, tmp_path):
    (tmp_path / "hold.vemo").write_text(HOLD)
    run_dir = tmp_path / "run"
    process = start_vemo("run", tmp_path / "hold.vemo", "--cell", EXAMPLES / "cell.yaml", "--sim-address", address,
                         "--run-dir", run_dir)
    try:
        # Read from this process while the run's move waits on the dwell: the dwell's start is on disk.
        events = wait_for_journal(run_dir, lambda events: started(events, "Gripper"))
        assert not started(events, "XAxis")
        process.send_signal(signal.SIGKILL)
        process.wait(10)
    finally:
        stop_process(process)
    journal = run_dir / "journal.jsonl"
    with open(journal, "ab") as out:
        out.write(b'{"event": "action_ended", "t": 1.5, "mod')  # what a kill in the middle of a write leaves

    result = run_vemo("report", run_dir, "--record", "report/record.json", "--timeline", "report/timeline.html")

    assert result.returncode == 0, result.stdout + result.stderr
    assert "the last line is torn" in result.stderr and "without run_ended" in result.stdout
    assert "1 action in flight drawn as unfinished" in result.stdout
    hold, pick = sorted(load_record(tmp_path / "report" / "record.json"), key=lambda r: r["module"])
    last = journal_events(run_dir)[-1]["t"]
    assert (hold["outcome"], hold["end"]) == ("unfinished", last) and hold["start"] <= last
    assert (pick["outcome"], pick["start"], pick["waits_on"]) == ("not run", None, [hold["number"]])
    assert "unfinished" in (tmp_path / "report" / "timeline.html").read_text()
    # The simulator watches its standard input and ends with the process that started it.
    deadline = time.monotonic() + 10
    while not ports_free(address) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert ports_free(address)


@pytest.mark.parametrize("make, message", [
    (lambda d: None, "no journal here"),
    (lambda d: d.mkdir(), "no journal here"),
    (lambda d: (d.mkdir(), (d / "journal.jsonl").write_bytes(b"\x7fELF\x02\x01\x01\x00" * 50)), ":1: not a journal"),
    (lambda d: (d.mkdir(), (d / "journal.jsonl").mkdir()), "not a regular file"),
])
def test_report_on_something_that_is_no_run_folder_says_so_with_exit_1(make, message, tmp_path):
    make(tmp_path / "run")
    result = run_vemo("report", tmp_path / "run", "--record", tmp_path / "r.json", timeout=30)
    assert result.returncode == 1 and message in result.stderr and "Traceback" not in result.stderr, result.stderr
    assert not (tmp_path / "r.json").exists()


def test_events_of_a_journal_from_elsewhere_that_fit_no_action_are_left_out():
    events = [
        {"event": "run_started", "t": 0, "format": 1, "modules": [{"name": "XAxis", "actions": 2}]},
        {"event": "action_planned", "t": 0, "module": "XAxis", "index": 1, "text": "move @XAxis to pick"},
        {"event": "action_planned", "t": 0, "module": "XAxis", "index": 2, "text": "move @XAxis to place",
         "waits": [["XAxis", 1], ["Nowhere", 3], "junk"], "after": ["XAxis", 1]},
        {"event": "action_started", "t": 0.5, "module": "XAxis", "index": 1},
        {"event": "action_ended", "t": 1.0, "module": "XAxis", "index": 1, "outcome": "finished"},
        {"event": "action_started", "t": 1.0, "module": "XAxis", "index": 9},
        {"event": "action_started", "t": 1.1, "module": ["XAxis"], "index": "2"},
        {"event": "action_ended", "t": 1.2, "module": "XAxis", "index": 2, "outcome": "exploded"},
        {"event": "action_started", "t": 1.25, "module": "XAxis", "index": 2},
        {"event": "something_new", "t": 1.5},
    ]
    state = RunRecords()
    for event in events:
        state.add(event)
    first, second = state.final()
    assert (first.outcome, first.start, first.end, first.ready) == ("finished", 0.5, 1.0, 0.0)
    assert (second.outcome, second.start, second.end, second.ready) == ("unfinished", 1.25, 1.5, 1.0)
    assert (second.waits_on, second.after) == ([1], 1)
    assert len(state.warnings) == 3 and "exploded" in state.warnings[2]
    assert [r.outcome for r in records_from_events(events)] == ["finished", "unfinished"]


def test_a_script_with_nothing_to_run_is_a_finished_run(address, tmp_path):
    (tmp_path / "empty.vemo").write_text("main = loop 0 times { move @XAxis to pick }\n")
    result = run_vemo("run", "empty.vemo", "--cell", EXAMPLES / "cell.yaml", "--sim-address", address,
                      "--run-dir", "run", timeout=30)
    assert result.returncode == 0 and "the script has no actions to run" in result.stdout, result.stdout + result.stderr
    ended = journal_events(tmp_path / "run")[-1]
    assert (ended["event"], ended["exit_code"], ended["outcome"]) == ("run_ended", 0, "finished")
