"""A loop made as the run goes on the simulator: what the run journals against the rounds written out, and a
run without end stopped after its cycle."""

from pathlib import Path

import os
import subprocess
import sys

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_the_rules_of_the_feed_hold_in_a_process_whose_compiler_has_the_cells_host():
    """test_feed needs the compiler loaded with the cell's host; in a suite where another host came first
    it skips, and here it runs on its own."""
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rs",
                             str(Path(__file__).with_name("test_feed.py"))],
                            capture_output=True, text=True, timeout=300, env=dict(os.environ))
    assert result.returncode == 0 and "skipped" not in result.stdout, result.stdout[-3000:] + result.stderr[-2000:]
PICK_PLACE = (EXAMPLES / "pick_place.vemo").read_text()


def test_on_the_simulator_a_loop_made_as_the_run_goes_journals_what_its_rounds_written_out_do(tmp_path, address):
    """The same rounds as a loop and written out as a chain: each action's text, waits, script order and
    outcome in the record the run writes, by module and index."""
    from runsupport import load_record, run_vemo

    records = []
    for name, main in [("loop", "main = loop 8 times { cycle }"), ("written", "main = " + " then ".join(["{ cycle }"] * 8))]:
        script = tmp_path / f"{name}.vemo"
        script.write_text(PICK_PLACE.replace("main = loop 3 times { cycle }", main))
        result = run_vemo("run", script, "--cell", EXAMPLES / "cell.yaml", "--speed", "1000", "--sim-address", address,
                          "--record", tmp_path / f"{name}.json", timeout=60)
        assert result.returncode == 0, result.stderr
        record = load_record(tmp_path / f"{name}.json")
        names = {r["number"]: (r["module"], r["index"]) for r in record}
        records.append({(r["module"], r["index"]): (r["text"], r["origin"].rsplit(":", 2)[1:], r["outcome"],
                                                    sorted(names[w] for w in r["waits_on"]), names.get(r["after"]))
                        for r in record})
    assert len(records[0]) == 96 and records[0] == records[1]


def _stopped_after_cycle(tmp_path, address, text, iteration, *outputs):
    """A run of `text` on the simulator, asked to stop after its cycle once an iteration `iteration` has
    started: (exit code, standard output, standard error, the journal's events)."""
    from runsupport import journal_events, run_vemo, start_vemo, wait_for_journal

    script = tmp_path / "shift.vemo"
    script.write_text(text)
    process = start_vemo("run", script, "--cell", EXAMPLES / "cell.yaml", "--speed", "1000", "--sim-address", address,
                         "--run-dir", tmp_path / "run", "--plain", *outputs)
    try:
        wait_for_journal(tmp_path / "run", lambda events: any(e["event"] == "iteration_started"
                                                              and e["iteration"] >= iteration for e in events))
        assert run_vemo("ctl", tmp_path / "run", "stop-after-cycle").returncode == 0
        out, err = process.communicate(timeout=60)
    finally:
        process.kill()
    return process.returncode, out, err, journal_events(tmp_path / "run")


@pytest.mark.parametrize("loop, outputs", [("loop forever", ()), ("loop 500 times", ("--record", "record.json"))])
def test_a_run_stops_after_the_cycle_it_is_in_with_exit_0(tmp_path, address, loop, outputs):
    """Without outputs the end is told from the recorder's counts, with them from the journal's records."""
    code, out, err, events = _stopped_after_cycle(tmp_path, address, PICK_PLACE.replace("loop 3 times", loop), 3,
                                                  *outputs)
    last = next(e["iteration"] for e in events if e["event"] == "cycle_stop_requested")
    per_round = {e["module"]: e["per_iteration"] for e in events if e["event"] == "loop_planned"
                 for e in e["modules"]}
    ended = [e for e in events if e["event"] == "action_ended"]
    assert code == 0 and "run finished after iteration" in out, err
    assert all(e["outcome"] == "finished" for e in ended)
    assert {m: sum(e["module"] == m for e in ended) for m in per_round} == {m: n * last for m, n in per_round.items()}
    assert events[-1]["event"] == "run_ended" and events[-1]["outcome"] == "finished"


LONG_LOOP = "a = loop 500 times { move @XAxis to pick  move @XAxis to place }\n"


@pytest.mark.parametrize("main, never", [
    ("b = loop 5 times { move @ZAxis to up  move @ZAxis to down }\n"
     "main = async x: { a } and z: { b } and wait x, z { set @Gripper vacuum on }",  # waits on both loops
     {"set @Gripper vacuum on"}),
    # and a module that waits on the one that waits on the loop
    ("main = async x: { a } and g: wait x { set @Gripper vacuum on } and wait g { move @ZAxis to up }",
     {"set @Gripper vacuum on", "move @ZAxis to up"}),
])
def test_a_stop_after_the_cycle_ends_a_module_that_waits_on_the_loop_from_outside_it(tmp_path, address, main, never):
    """The gripper takes its one action at the start, to wait there for the loop's last round, which the stop
    leaves unrun: the run ends with exit 0 all the same, without that action or any that waits on it."""
    # Past the short loop's 5 rounds: the long loop runs, the short one (if any) has ended.
    code, out, err, events = _stopped_after_cycle(tmp_path, address, LONG_LOOP + main, 7)
    assert code == 0 and "run finished after iteration" in out, err
    assert not any(e["event"] == "action_started" and e["text"] in never for e in events)
    assert events[-1]["event"] == "run_ended" and events[-1]["outcome"] == "finished"
