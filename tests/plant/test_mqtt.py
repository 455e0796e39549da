"""The MQTT publisher against a real broker: every journal line in order, the retained state, the last will,
and a broker that comes and goes while the run goes on."""

import os
import signal
import subprocess
import sys
import time

import pytest

from plantsupport import Broker, Subscriber, certificates, distinct_lines, until
from consolesupport import HandRun
from runsupport import EXAMPLES, child_env, journal_events, start_vemo, stop_process, wait_for_journal

pytestmark = pytest.mark.timeout(120)


def publisher(run_dir, port, *extra):
    return subprocess.Popen([sys.executable, "-m", "vemo", "mqtt", str(run_dir), "--broker", f"127.0.0.1:{port}",
                             *extra], env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def assert_every_line(subscriber, journal):
    """Every journal line arrived on the run's event topic, as written, first arrivals in order."""
    by_line, in_order = distinct_lines(subscriber.on("/events"))
    assert sorted(by_line) == list(range(1, len(journal) + 1))
    assert in_order
    assert all({k: v for k, v in by_line[n].items() if k != "line"} == event for n, event in enumerate(journal, 1))


def test_a_run_on_the_simulator_arrives_line_by_line_and_leaves_its_state_retained(broker, subscriber, tmp_path):
    run_dir = tmp_path / "run"
    done = subprocess.run([sys.executable, "-m", "vemo", "run", str(EXAMPLES / "pick_place.vemo"), "--speed", "20",
                           "--plain", "--run-dir", str(run_dir), "--mqtt", f"127.0.0.1:{broker.port}"],
                          env=child_env(), capture_output=True, text=True, timeout=90)
    assert done.returncode == 0, done.stderr
    assert f"mqtt: publishing to 127.0.0.1:{broker.port}" in done.stdout
    journal = journal_events(run_dir)
    until(lambda: len(distinct_lines(subscriber.on("/events"))[0]) == len(journal), "every event arrives")
    assert_every_line(subscriber, journal)
    assert {topic for topic, _, _ in subscriber.messages} == {"vemo/demo/runs/run/events", "vemo/demo/state"}
    # A subscriber that comes later gets the last state, retained, with the run's end in it.
    late = Subscriber(broker.port, "vemo/demo/state", persistent=False)
    try:
        state = until(lambda: late.on("/state"), "the retained state")[-1]
    finally:
        late.close()
    assert (state["state"], state["packml_state"], state["packml_name"], state["outcome"], state["exit_code"]) == \
        ("ended", 17, "Complete", "finished", 0)
    assert [m["name"] for m in state["modules"]] == ["XAxis", "ZAxis", "Gripper"]
    assert all(m["done"] == m["total"] and m["state"] == "done" for m in state["modules"])
    assert (state["progress"], state["remaining_s"]) == (1.0, 0.0)
    assert state["online"] is False and state["line"] == len(journal)


def test_the_broker_killed_and_restarted_mid_run_leaves_the_run_untouched_and_loses_nothing(broker, subscriber,
                                                                                           tmp_path):
    run_dir = tmp_path / "run"
    process = start_vemo("run", EXAMPLES / "pick_place.vemo", "--speed", "4", "--plain", "--run-dir", run_dir,
                         "--mqtt", f"127.0.0.1:{broker.port}")
    try:
        wait_for_journal(run_dir, lambda events: sum(e["event"] == "action_ended" for e in events) >= 3)
        broker.kill()
        killed_at = len(journal_events(run_dir))
        # The run goes on while the broker is away: its journal grows.
        wait_for_journal(run_dir, lambda events: len(events) >= killed_at + 10, timeout=30)
        broker.start()
        out, err = process.communicate(timeout=90)
    finally:
        stop_process(process)
    assert process.returncode == 0, err
    assert "lost the broker" in err and "the run goes on" in err
    journal = journal_events(run_dir)
    assert journal[-1]["outcome"] == "finished"
    assert all(e["outcome"] == "finished" for e in journal if e["event"] == "action_ended")
    until(lambda: len(distinct_lines(subscriber.on("/events"))[0]) == len(journal), "every event arrives", 40)
    assert_every_line(subscriber, journal)


def test_a_publisher_started_before_the_broker_sends_the_whole_journal_and_ends(broker, subscriber, tmp_path):
    run = HandRun(tmp_path / "run")
    run.action("XAxis", 1)
    broker.kill()
    started = publisher(run.dir, broker.port)
    try:
        run.action("XAxis", 2)
        run.write("run_ended", exit_code=0, outcome="finished")
        time.sleep(1)
        assert started.poll() is None  # waiting for the broker, the journal kept on disk
        broker.start()
        out, err = started.communicate(timeout=30)
    finally:
        stop_process(started)
        run.journal.close()
    assert started.returncode == 0, err
    journal = journal_events(run.dir)
    until(lambda: len(distinct_lines(subscriber.on("/events"))[0]) == len(journal), "every event arrives")
    assert_every_line(subscriber, journal)
    assert subscriber.on("/state")[-1]["state"] == "ended"


def test_a_publisher_that_vanishes_leaves_the_cell_marked_offline(broker, subscriber, tmp_path):
    run = HandRun(tmp_path / "run")
    started = publisher(run.dir, broker.port)
    try:
        until(lambda: any(s.get("online") for s in subscriber.on("/state")), "the cell's state, online")
        os.kill(started.pid, signal.SIGKILL)
        started.wait(10)
        # The broker sends our last will once the keepalive has run out.
        will = until(lambda: [s for s in subscriber.on("/state") if s.get("state") == "offline"], "the last will", 30)
    finally:
        stop_process(started)
        run.journal.close()
    assert will[-1] == {"cell": "run", "run": "run", "online": False, "state": "offline"}


def test_a_broker_that_wants_tls_and_a_login_gets_them(tmp_path):
    authority, *_ = tls = certificates(tmp_path / "pki")
    broker = Broker(tmp_path / "broker", users={"cell-12": "s3cret pass", "dashboard": "dash"}, tls=tls).start()
    subscriber = Subscriber(broker.port, login=("dashboard", "dash"), cafile=authority)
    run = HandRun(tmp_path / "run")
    (tmp_path / "password").write_text("s3cret pass\n")
    started = publisher(run.dir, broker.port, "--cafile", authority, "--username", "cell-12",
                        "--password-file", tmp_path / "password")
    try:
        run.write("run_ended", exit_code=0, outcome="finished")
        out, err = started.communicate(timeout=30)
        assert started.returncode == 0, err
        until(lambda: subscriber.on("/events") and subscriber.on("/events")[-1]["event"] == "run_ended",
              "the run's end")
    finally:
        stop_process(started)
        subscriber.close()
        broker.kill()
        run.journal.close()
    assert distinct_lines(subscriber.on("/events"))[0].keys() == set(range(1, len(journal_events(run.dir)) + 1))


@pytest.mark.parametrize("arguments, message", [
    (["--broker", "127.0.0.1:99999"], "not [HOST:]PORT"),
    (["--broker", "127.0.0.1:1883", "--password-file", "/nonexistent/pw"], "cannot read the password"),
    (["--broker", "127.0.0.1:1883", "--cafile", "/nonexistent/ca.pem"], "/nonexistent/ca.pem: cannot read it"),
])
def test_unusable_options_are_told_without_a_traceback(tmp_path, arguments, message):
    run = HandRun(tmp_path / "run")
    try:
        done = subprocess.run([sys.executable, "-m", "vemo", "mqtt", str(run.dir), *arguments], env=child_env(),
                              capture_output=True, text=True, timeout=30)
    finally:
        run.journal.close()
    assert done.returncode in (1, 2) and message in done.stderr and "Traceback" not in done.stderr
