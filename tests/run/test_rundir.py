"""The run folder is the run's own: what it may be, what the run makes private, one run at a time in it, and a
folder that was announced keeping what happened in it."""

import os
import re
import stat
import subprocess
from pathlib import Path

import pytest

from runsupport import EXAMPLES, HANDLER_SETTINGS, child_env, journal_events, run_vemo, vemo_command
from vemo.run.rundir import RunDirError, claim_run_dir
from vemo.run.simulator import Simulator, free_loopback_address

SCRIPT = Path("job.vemo")
ONE_MOVE = "main = { move @XAxis to pick }\n"


def _foreign(folder):
    folder.mkdir()
    os.chown(folder, 65534, 65534)
    folder.chmod(0o755)


@pytest.mark.parametrize("make, message", [
    (lambda d: (d.mkdir(), d.chmod(0o777)), "others may write in it (mode 0777)"),
    (lambda d: (d.mkdir(), d.chmod(0o770)), "others may write in it (mode 0770)"),
    (pytest.param(_foreign, "it belongs to another user",
                  marks=pytest.mark.skipif(os.geteuid() != 0, reason="giving a folder away takes root"))),
    (lambda d: (d.mkdir(mode=0o700), (d / "journal.jsonl").write_text("")), "it already holds a run's journal"),
    (lambda d: d.write_text("a file"), "it is a file"),
])
def test_a_folder_that_is_not_the_runs_own_is_refused(tmp_path, make, message):
    make(tmp_path / "dir")
    with pytest.raises(RunDirError, match=re.escape(message)):
        claim_run_dir(str(tmp_path / "dir"), SCRIPT)


@pytest.mark.parametrize("requested", [None, "given/new"])
def test_a_folder_made_for_a_run_is_its_users_alone_and_claimed_once(tmp_path, requested):
    first = claim_run_dir(requested, SCRIPT)
    try:
        assert stat.S_IMODE(first.path.stat().st_mode) == 0o700
        with pytest.raises(RunDirError, match="another run is using that folder"):
            claim_run_dir(str(first.path), SCRIPT)
    finally:
        first.release()
    claim_run_dir(str(first.path), SCRIPT).release()  # free again once the first run has let it go


def test_a_run_writes_its_journal_and_outputs_for_its_user_alone(tmp_path):
    SCRIPT.write_text(ONE_MOVE)
    result = run_vemo("run", SCRIPT, "--cell", EXAMPLES / "cell.yaml",
                      "--record", "out/record.json", "--timeline", "timeline.html", timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    run_dir, = Path("runs").iterdir()
    modes = {name: stat.S_IMODE(path.stat().st_mode) for name, path in
             [("folder", run_dir), ("journal", run_dir / "journal.jsonl"), ("outputs", Path("out")),
              ("record", Path("out/record.json")), ("timeline", Path("timeline.html"))]}
    assert modes == {"folder": 0o700, "journal": 0o600, "outputs": 0o700, "record": 0o600, "timeline": 0o600}


def test_runs_started_together_on_one_folder_are_refused_but_one(tmp_path):
    SCRIPT.write_text(ONE_MOVE)
    for attempt in range(2):
        run_dir = f"run{attempt}"
        command = vemo_command("run", SCRIPT, "--cell", EXAMPLES / "cell.yaml", "--run-dir", run_dir, "--plain")
        processes = [subprocess.Popen(command, env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      text=True) for _ in range(2)]
        results = [(p.wait(60), p.communicate(timeout=60)) for p in processes]
        codes = sorted(code for code, _ in results)
        errors = "".join(err for _, (_, err) in results)
        assert codes == [0, 2], errors
        assert "another run is using that folder" in errors or "already holds a run's journal" in errors
        assert [e["event"] for e in journal_events(run_dir)].count("run_started") == 1


def test_a_foreign_run_dir_is_refused_before_anything_runs(tmp_path):
    SCRIPT.write_text(ONE_MOVE)
    Path("shared").mkdir()
    Path("shared").chmod(0o777)
    result = run_vemo("run", SCRIPT, "--cell", EXAMPLES / "cell.yaml", "--run-dir", "shared", timeout=30)
    assert result.returncode == 2 and "--run-dir shared: others may write in it" in result.stderr, result.stderr
    assert "handler:" not in result.stdout and list(Path("shared").iterdir()) == []


def test_an_announced_folder_stays_with_a_journal_that_says_why_the_run_did_not_start(tmp_path):
    SCRIPT.write_text(ONE_MOVE)
    # A simulator cannot bind an address of another host.
    result = run_vemo("run", SCRIPT, "--cell", EXAMPLES / "cell.yaml", "--sim-address", "192.0.2.1",
                      "--run-dir", "run", timeout=60)
    assert result.returncode == 1 and "run folder: run" in result.stdout, result.stdout + result.stderr
    started, ended = journal_events("run")
    assert (started["event"], ended["event"], ended["exit_code"], ended["outcome"]) == \
           ("run_started", "run_ended", 1, "failed")
    assert "did not start on 192.0.2.1" in ended["reason"] and ended["reason"] in result.stderr
    report = run_vemo("report", "run", timeout=30)
    assert report.returncode == 0 and "failed (exit code 1)" in report.stdout and ended["reason"] in report.stdout


def test_the_header_names_the_handler_address_the_run_uses(sim_binary, tmp_path):
    address = free_loopback_address()
    settings = Path("handler.yaml")
    settings.write_text(HANDLER_SETTINGS.read_text().replace("xan_handler:\n",
                                                             f"xan_handler:\n  server_address: {address}\n", 1))
    sim = Simulator(settings, address=address, time_scale=20.0, binary=sim_binary).start()
    SCRIPT.write_text(ONE_MOVE)
    elsewhere = "127.0.0.1" if address != "127.0.0.1" else "127.0.0.2"
    try:
        result = run_vemo("run", SCRIPT, "--cell", EXAMPLES / "cell.yaml", "--handler-settings", settings,
                          "--server", elsewhere, "--run-dir", "run", timeout=60)
    finally:
        sim.stop()
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"handler: server at {sim.address} (the handler settings' server_address; not --server {elsewhere})" \
           in result.stdout
    assert journal_events("run")[0]["handler"] == sim.address
