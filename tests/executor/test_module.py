import gc
import threading
import time
import weakref

import pytest

import actions
from _vemomodule import VemoModule
from _vemoprimitives import VemoState
from actions import IOAction, Move
from helpers import TESTS_DIR, run_python, wait_until
from modules import Gripper, XAxis, YAxis


@pytest.fixture(autouse=True)
def clean_journal():
    actions.reset_journal()
    yield
    actions.reset_journal()


def ran():
    return [target for _, _, target in actions.journal]


def moves(kind, *targets, **settings):
    return [Move(kind, position=t, **settings) for t in targets]


def run_to_end(*modules, timeout=10):
    threads = [m.async_run() for m in modules]
    for thread in threads:
        thread.join(timeout)
    assert not any(t.is_alive() for t in threads), "a module thread did not finish"


def test_sequence_mode_runs_actions_in_the_order_added():
    module = XAxis(moves(XAxis, "a", "b"))
    module.add_action_seq(moves(XAxis, "c"))
    run_to_end(module)
    assert ran() == ["a", "b", "c"] and module.queue_cleared()


def test_modules_order_themselves_only_through_finish_signals():
    x1, x2 = moves(XAxis, "x1", "x2")
    (y1,) = moves(YAxis, "y1")
    (g1,) = moves(Gripper, "g1")
    x2.add_dependencies(y1)
    y1.add_dependencies(g1)
    g1.add_dependencies(x1)
    run_to_end(XAxis([x1, x2]), YAxis([y1]), Gripper([g1]))
    assert ran() == ["x1", "g1", "y1", "x2"]


def test_execute_sequence_without_async_run_executes_nothing():
    module = XAxis(moves(XAxis, "a"))
    module.execute_sequence()
    assert ran() == [] and not module.queue_cleared()


@pytest.mark.parametrize("bad", [("a", "b"), "single"])
def test_action_seq_that_is_neither_list_nor_map_is_refused(bad, capsys):
    with pytest.raises(Exception, match="^Action Seq data type incorrect error$"):
        XAxis(bad)
    assert capsys.readouterr().out == "[ERROR] Action Seq data type incorrect error\n"


def test_add_action_seq_must_match_the_modules_mode():
    lanes = XAxis({0: [], 1: []})
    with pytest.raises(AttributeError):
        lanes.add_action_seq(moves(XAxis, "a"))
    with pytest.raises(KeyError):
        lanes.add_action_seq({7: moves(XAxis, "a")})
    assert not hasattr(XAxis([]), "round_robin_set")


def test_ready_lanes_are_served_alternately():
    module = XAxis({0: moves(XAxis, "a1", "a2", "a3"), 1: moves(XAxis, "b1", "b2")})
    run_to_end(module)
    assert ran() == ["a1", "b1", "a2", "b2", "a3"] and module.queue_cleared()


def test_waiting_lane_first_does_not_delay_ready_lane_and_stop_ends_the_pause():
    blocker = Move(YAxis, position="blocker")
    waiting = moves(XAxis, "b1")
    waiting[0].add_dependencies(blocker)
    module = XAxis({"B": waiting, "A": moves(XAxis, "a1", "a2", "a3")})
    module.COMPETE_LOOP_WAIT_TIME_SEC = 30
    thread = module.async_run()
    wait_until(lambda: ran() == ["a1", "a2", "a3"], timeout=10)
    module.run_event.clear()  # also cuts the 30 s pause short
    thread.join(5)
    assert not thread.is_alive() and ran() == ["a1", "a2", "a3"]


def test_ready_lane_is_not_starved_by_two_waiting_lanes():
    blocker = Move(YAxis, position="blocker")
    lanes = {"A": moves(XAxis, "a1", "a2", "a3"), "B": moves(XAxis, "b1"), "C": moves(XAxis, "c1")}
    lanes["B"][0].add_dependencies(blocker)
    lanes["C"][0].add_dependencies(blocker)
    module = XAxis(lanes)
    module.COMPETE_LOOP_WAIT_TIME_SEC = 0.01
    thread = module.async_run()
    wait_until(lambda: len(ran()) == 3, timeout=10)
    blocker.finish_signal.set()
    thread.join(10)
    assert ran() == ["a1", "a2", "a3", "b1", "c1"]


def test_failed_action_is_reported_and_parks_until_run_event_is_cleared(capsys):
    failing = Move(XAxis, position="bad", fail=True)
    rescue = moves(XAxis, "rescue")
    module = XAxis([failing, *moves(XAxis, "after")], exception_block=rescue)
    assert module.settings["exception_block"] is rescue
    thread = module.async_run()
    wait_until(lambda: "Move bad failed" in capsys.readouterr().out or not thread.is_alive(), timeout=5)
    time.sleep(0.2)
    assert thread.is_alive() and ran() == []
    module.run_event.clear()
    thread.join(5)
    assert not thread.is_alive() and ran() == []
    remaining = []
    while not module.queue_cleared():
        remaining.append(module.get_next_queue_action().target)
    assert remaining == ["after", "rescue"]


def test_failure_report_lines(capsys):
    failing = Move(XAxis, position="bad", fail=True)
    module = XAxis([failing])
    thread = module.async_run()
    wait_until(lambda: failing.state is VemoState.Error, timeout=5)
    time.sleep(0.1)
    module.run_event.clear()
    thread.join(5)
    assert capsys.readouterr().out.splitlines() == [
        f"[ERROR] Exception occurred in XAxis action: {failing}", "Move bad failed"]


def test_clearing_run_event_lets_the_running_action_finish_and_runs_no_more():
    gate = actions.gates["slow"] = threading.Event()
    module = XAxis([Move(XAxis, position="slow", gate="slow"), *moves(XAxis, "next")])
    thread = module.async_run()
    time.sleep(0.05)
    module.run_event.clear()
    gate.set()
    thread.join(5)
    assert not thread.is_alive() and ran() == ["slow"]


def test_clearing_run_event_ends_the_wait_for_a_dependency_that_never_finishes():
    never = Move(YAxis, position="never")
    (waiting,) = moves(XAxis, "waiting")
    waiting.add_dependencies(never)
    module = XAxis([waiting])
    thread = module.async_run()
    time.sleep(0.1)
    module.run_event.clear()
    thread.join(5)
    assert not thread.is_alive() and waiting.state is VemoState.NotExecuted


@pytest.mark.parametrize("mode", ["sequence", "lanes"])
def test_ctrl_c_on_the_main_thread_ends_parking(ctrl_c, mode):
    seq = "[a]" if mode == "sequence" else "{0: [a]}"
    code = (
        "import os, signal, threading, time\nfrom actions import Move\nfrom modules import XAxis\n"
        f"a = Move(XAxis, position='bad', fail=True)\nm = XAxis({seq})\nm.run_event.set()\n"
        "threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()\n"
        "start = time.monotonic()\nm.execute_sequence()\n"
        "print('returned after', round(time.monotonic() - start))\n")
    result = run_python(code, timeout=30)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[-2:] == ["Terminate Vemo Execution with Ctrl-C ...", "returned after 1"] or \
        lines[-2:] == ["Terminate Vemo Execution with Ctrl-C ...", "returned after 0"]


def test_factories_build_host_actions_for_the_calling_kind():
    class Fast(XAxis):
        configs = {"speed": 400, "accel": 2}

    move = Fast.move_action("home")
    io = Gripper.io_action("vacuum", 1)
    tray = Fast.tray_action(3, ["p1", "p2"])
    assert type(move) is Move and move.module is Fast
    assert move.params == {"position": "home", "speed": 400, "accel": 2}
    assert type(io) is IOAction and io.params == {"io_id": "vacuum", "status": 1}
    assert tray.params["tray_id"] == 3 and tray.params["position_seq"] == ["p1", "p2"]

    class Clash(XAxis):
        configs = {"position": 1}

    with pytest.raises(TypeError, match="multiple values"):
        Clash.move_action("home")


def test_reference_cycle_through_the_module_queue_is_collected():
    module = XAxis([])
    action = Move(module, position="a")
    module.add_action_seq([action])
    ref = weakref.ref(module)
    del module, action
    gc.collect()
    assert ref() is None


def test_host_supplied_pure_python_queue_runs_the_same():
    code = (
        "import actions\nfrom actions import Move\nfrom modules import XAxis, YAxis\nimport _vemopq\n"
        "assert _vemopq.__file__.endswith('.py')\n"
        "x1, x2 = Move(XAxis, position='x1'), Move(XAxis, position='x2')\ny1 = Move(YAxis, position='y1')\n"
        "x2.add_dependencies(y1); y1.add_dependencies(x1)\n"
        "lanes = XAxis({0: [Move(XAxis, position='l0')], 1: [Move(XAxis, position='l1')]})\n"
        "ts = [m.async_run() for m in (XAxis([x1, x2]), YAxis([y1]), lanes)]\n"
        "[t.join(10) for t in ts]\nprint(sorted(t for _, _, t in actions.journal))\n")
    result = run_python(code, extra_path=[f"{TESTS_DIR}/host/pyqueue"])
    assert result.stdout.strip() == "['l0', 'l1', 'x1', 'x2', 'y1']", result.stderr


def test_module_kind_without_run_is_refused_naming_the_one_missing_method():
    class NoRun(VemoModule):
        def setup(self, **configs):
            pass

    with pytest.raises(TypeError, match="with abstract method run$"):
        NoRun([])


LANES_WAITING = ("blocker = Move(XAxis, position='never'); a = Move(XAxis, position='a')\n"
                 "a.add_dependencies(blocker)\n"
                 "m = XAxis({'a': [a], 'b': []}); m.COMPETE_LOOP_WAIT_TIME_SEC = 0.2\n")
PARKED = "m = XAxis([Move(XAxis, position='a', fail=True)])\n"


@pytest.mark.parametrize("module, replace", [
    (LANES_WAITING, "m.round_robin_set = {'a', 'b'}"),
    (LANES_WAITING, "m.queue = dict(m.queue)"),
    (LANES_WAITING, "m.run_event = Event(); m.run_event.set()"),
    (PARKED, "m.run_event = Event()"),
])
def test_replacing_a_field_while_the_module_waits_is_safe(module, replace):
    # In a child process, so that a crash fails this test and no other; under the sanitizer build a
    # read of freed memory fails it too.
    code = ("import gc, time\nfrom _vemoprimitives import Event\nfrom actions import Move\n"
            "from modules import XAxis\n" + module +
            "t = m.async_run(); time.sleep(0.3)\n"
            "for _ in range(3):\n"
            f"    {replace}; gc.collect(); junk = [object() for _ in range(50000)]; time.sleep(0.3)\n"
            "m.run_event.clear(); t.join(5)\nprint('running' if t.is_alive() else 'ended')\n")
    result = run_python(code, timeout=30)
    assert (result.returncode, result.stdout.splitlines()[-1:]) == (0, ["ended"]), result.stderr
