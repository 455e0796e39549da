"""How a run ends when it is told to stop or its surroundings fail: signals, a reader that goes away, outputs
that cannot be written."""

import os
import re
import signal
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

from runsupport import (EXAMPLES, HANDLER_SETTINGS, fake_handler_server, journal_events, load_record, run_vemo,
                        start_vemo, started, stop_process, wait_for_journal)
from vemo.run.journal import Journal
from vemo.run.runner import Run
from vemo.run.simulator import ports_free


@pytest.mark.parametrize("signals, code, verdict", [
    ([signal.SIGINT], 130, "run interrupted by Ctrl-C"),
    ([signal.SIGINT, signal.SIGINT], 130, "run interrupted by Ctrl-C"),
    ([signal.SIGTERM], 143, "run terminated by SIGTERM"),
    ([signal.SIGHUP], 129, "run terminated by SIGHUP"),
    ([signal.SIGTERM, signal.SIGINT], 143, "run terminated by SIGTERM"),
])
def test_a_stop_signal_stops_the_motion_and_the_simulator_and_keeps_every_output(ctrl_c, hangup, signals, code, verdict,
                                                                                 address, tmp_path):
    run_dir, record, timeline = tmp_path / "run", tmp_path / "record.json", tmp_path / "timeline.html"
    process = start_vemo("run", EXAMPLES / "pick_place.vemo", "--sim-address", address, "--run-dir", run_dir,
                         "--record", record, "--timeline", timeline)
    try:
        # Once the third action has started, modules are moving and waiting on each other.
        wait_for_journal(run_dir, lambda events: len(started(events)) >= 3)
        for n, signum in enumerate(signals):
            time.sleep(0.05 * n)  # a second signal while the stop is under way
            process.send_signal(signum)
        out, err = process.communicate(timeout=30)
    finally:
        stop_process(process)
    assert process.returncode == code, out + err
    assert verdict in out and "Traceback" not in err, out + err
    simulator_pid = int(re.search(r"embedded simulator on \S+ \(pid (\d+)", out).group(1))
    assert not Path(f"/proc/{simulator_pid}").exists() and ports_free(address)
    ended = journal_events(run_dir)[-1]
    assert (ended["event"], ended["exit_code"]) == ("run_ended", code)
    assert ended["outcome"] == ("interrupted" if code == 130 else "terminated")
    records = load_record(record)
    assert any(r["outcome"] == "interrupted" for r in records)  # the move in flight was stopped
    assert not any(r["outcome"] in ("running", "unfinished", "error") for r in records)
    assert any(r["outcome"] == "not run" for r in records)
    assert "interrupted" in timeline.read_text()


@pytest.mark.parametrize("command, lines_read", [("run", 3), ("check", 0)])
def test_a_reader_that_goes_away_does_not_stop_the_command(command, lines_read, simulator, tmp_path):
    record = tmp_path / "record.json"
    if command == "run":
        sim = simulator(time_scale=5.0)
        arguments = ["run", EXAMPLES / "pick_place.vemo", "--server", sim.address, "--record", record]
    else:
        arguments = ["check", EXAMPLES / "pick_place.vemo"]
    process = start_vemo(*arguments)
    try:
        for _ in range(lines_read):
            assert process.stdout.readline()
        process.stdout.close()  # as `| head -3` does once it has its lines
        process.wait(60)
        err = process.stderr.read()
    finally:
        stop_process(process)
    assert process.returncode == 0 and "Traceback" not in err and "Error" not in err, err
    if command == "run":
        records = load_record(record)
        assert len(records) == 36 and all(r["outcome"] == "finished" for r in records)


def test_a_reader_that_takes_nothing_holds_up_neither_the_stop_nor_the_journal(address, tmp_path):
    """A run without end whose output nobody reads (a terminal held with Ctrl-S): `vemo ctl stop` still
    ends it, the journal ends with run_ended, and once read the output ends with the verdict."""
    script, run_dir = tmp_path / "shift.vemo", tmp_path / "run"
    script.write_text((EXAMPLES / "pick_place.vemo").read_text().replace("loop 3 times", "loop forever"))
    process = start_vemo("run", script, "--cell", EXAMPLES / "cell.yaml", "--speed", "1000", "--sim-address", address,
                         "--run-dir", run_dir, "--plain")
    try:
        # A line is about 60 bytes: 3,000 started actions are far more than a pipe holds.
        wait_for_journal(run_dir, lambda events: sum(e["event"] == "action_started" for e in events) > 3000, 60)
        assert run_vemo("ctl", run_dir, "stop").returncode == 0
        events = wait_for_journal(run_dir, lambda events: events[-1]["event"] == "run_ended", 30)
        out, err = process.communicate(timeout=60)
    finally:
        stop_process(process)
    assert process.returncode == 130 and events[-1]["outcome"] == "interrupted", err
    assert re.search(r"run stopped by the operator after [\d.]+ s\n$", out), out[-500:]


@pytest.fixture
def victim(tmp_path):
    """Copies of a script, its cell and its handler settings, all in one folder."""
    (tmp_path / "victim.vemo").write_text((EXAMPLES / "pick_place.vemo").read_text())
    (tmp_path / "handler.yaml").write_text(HANDLER_SETTINGS.read_text())
    (tmp_path / "victim_cell.yaml").write_text((EXAMPLES / "cell.yaml").read_text().replace(
        "handler_settings: handler/cell.yaml", "handler_settings: handler.yaml"))
    return tmp_path


@pytest.mark.parametrize("options, message", [
    (["--timeline", "victim.vemo"], "--timeline victim.vemo: that is an input of the run"),
    (["--trace", "victim_cell.yaml"], "--trace victim_cell.yaml: that is an input of the run"),
    (["--record", "./handler.yaml"], "--record ./handler.yaml: that is an input of the run"),
    (["--timeline", "out.html", "--trace", "out.html"], "--trace out.html: --timeline writes the same file"),
    (["--timeline", "/sys/t.html"], "--timeline /sys/t.html: cannot write there"),
    (["--record", "victim.vemo/r.json"], "victim.vemo is not a folder"),
    (["--timeline", "/nonexistent-vemo-folder/dir/t.html"], "the folder /nonexistent-vemo-folder/dir does not exist"),
    (["--run-dir", "victim.vemo"], "--run-dir victim.vemo: cannot create the folder"),
    (["--run-dir", "old", "--record", "old/journal.jsonl"], "it already holds a run's journal"),
])
def test_an_output_that_cannot_be_written_is_refused_with_exit_2_before_anything_runs(options, message, victim,
                                                                                      address):
    (victim / "old").mkdir()
    (victim / "old" / "journal.jsonl").write_text("")
    before = {path: path.read_bytes() for path in victim.iterdir() if path.is_file()}
    result = run_vemo("run", "victim.vemo", "--cell", "victim_cell.yaml", "--sim-address", address, *options,
                      timeout=30)
    assert result.returncode == 2 and message in result.stderr, result.stdout + result.stderr
    assert "handler:" not in result.stdout and "Traceback" not in result.stderr
    assert {path: path.read_bytes() for path in before} == before
    assert not Path("/nonexistent-vemo-folder").exists() and not (victim / "runs").exists()


@pytest.mark.parametrize("embedded", [True, False])
def test_a_handler_that_dies_mid_run_fails_the_waiting_actions_and_ends_the_run_with_1(embedded, simulator, address,
                                                                                       tmp_path):
    run_dir, record = tmp_path / "run", tmp_path / "record.json"
    if embedded:
        where = ["--sim-address", address]
    else:
        server = simulator(time_scale=1.0)
        where = ["--server", server.address]
    process = start_vemo("run", EXAMPLES / "pick_place.vemo", *where, "--run-dir", run_dir, "--record", record)
    try:
        events = wait_for_journal(run_dir, lambda events: len(started(events)) >= 3)
        os.kill(events[0]["simulator_pid"] if embedded else server.process.pid, signal.SIGKILL)
        out, err = process.communicate(timeout=30)
    finally:
        stop_process(process)
    assert process.returncode == 1, out + err
    lost = f"the handler at {address} no longer answers"
    assert f"error: {lost}" in err and "Traceback" not in err and "run failed after" in out, out + err
    events = journal_events(run_dir)
    loss, = [e for e in events if e["event"] == "handler_lost"]
    assert loss["address"] == address and loss["reason"].startswith(lost)
    assert (events[-1]["event"], events[-1]["exit_code"], events[-1]["outcome"]) == ("run_ended", 1, "failed")
    records = load_record(record)
    failed = [r for r in records if r["outcome"] == "error"]
    assert failed and all(lost in r["reason"] for r in failed)
    assert f"FAILED: {failed[0]['reason']}" in err
    assert not any(r["outcome"] in ("running", "unfinished") for r in records)
    assert ports_free(address)


def test_a_motion_whose_completion_never_comes_fails_after_twice_its_expected_time_plus_5_s(address, tmp_path):
    (tmp_path / "cell.yaml").write_text(f"""handler_settings: {HANDLER_SETTINGS}
modules:
  XAxis: {{kind: axis, handler_id: 1, positions: {{pick: 10}}, motion: {{speed: 1000, acceleration: 100000}}}}
""")
    (tmp_path / "job.vemo").write_text("main = { move @XAxis to pick }\n")
    # A handler that takes every request and answers every log request, but never reports a request done.
    server = fake_handler_server(address)
    try:
        result = run_vemo("run", "job.vemo", "--server", address, "--record", "record.json", timeout=60)
    finally:
        server.close()
    assert result.returncode == 1, result.stdout + result.stderr
    assert re.search(r"FAILED: XAxis: move @XAxis to pick \(job\.vemo:1:10\) failed: its completion did not arrive "
                     r"within 5\.0 s \(twice the expected 0\.02 s plus 5 s\)", result.stderr), result.stderr
    assert [r["func_id"] for r in server.decoded()][-1] in (4, 54)  # the axis was told to stop
    move, = load_record(tmp_path / "record.json")
    assert move["outcome"] == "error" and 5.0 <= move["end"] - move["start"] < 10


def test_a_stop_signal_while_an_except_block_is_prepared_stops_it_and_the_run_still_ends(tmp_path):
    # Ends the block in the window after the stop of the first stage, where a signal used to escape the
    # run before its run_ended was written.
    class Block:  # hashable, as the compiler's blocks are
        name, origin, plans = "E1", "job.vemo:1:1", []

    block = Block()
    the_run = Run(SimpleNamespace(), open(os.devnull, "w"), open(os.devnull, "w"))
    the_run.prepared = SimpleNamespace(compiled=SimpleNamespace(recovery_of=lambda action: block))
    the_run.recorder = SimpleNamespace(failed=["failed action"], key=lambda action: ["XAxis", 1],
                                       plan_recovery=lambda plans, name: os.kill(os.getpid(), signal.SIGTERM))
    the_run.journal = Journal(tmp_path / "journal.jsonl")
    written = []
    the_run.journal.add_listener(written.append)
    the_run.context = SimpleNamespace(begin_recovery=lambda: None, stopping=threading.Event(), handler_lost=None,
                                      stop_motion=lambda: None)
    the_run.client = SimpleNamespace(cancel_waits=lambda: None)
    the_run.control = SimpleNamespace(stop_requested=threading.Event(), begin_stop=lambda cause, by=None: None)
    the_run.progress = SimpleNamespace(event=lambda event, record: None, refresh=lambda: None)
    previous = signal.signal(signal.SIGTERM, signal.SIG_DFL)
    try:
        with the_run.signals:
            the_run.signals.absorb()  # as the stop of the first stage leaves them
            the_run._recover()
            os.kill(os.getpid(), signal.SIGTERM)  # the end of the run is not to be broken either
    finally:
        signal.signal(signal.SIGTERM, previous)
    the_run.journal.close()
    assert the_run.interrupt is not None and the_run.interrupt.signum == signal.SIGTERM
    assert [(e["event"], e.get("outcome")) for e in written] == [("recovery_started", None),
                                                                  ("recovery_ended", "interrupted")]
