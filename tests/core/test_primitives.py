import enum
import subprocess
import threading

import pytest

from _vemopq import VemoPriority
from _vemoprimitives import Event, VemoId, VemoState
from helpers import run_python


def test_state_is_an_enum_whose_members_equal_only_themselves():
    assert issubclass(VemoState, enum.Enum)
    assert [(s.name, s.value) for s in VemoState] == [
        ("NotExecuted", 1), ("Executing", 2), ("Finished", 3), ("Error", 4)]
    assert VemoState.Error != 4
    assert VemoState.Error != VemoPriority.Error
    assert VemoState.Finished != VemoState.Error
    assert VemoState.Error == VemoState.Error


@pytest.mark.parametrize("given, appended, left", [
    ([], [], []),
    ([";"], [], []),
    (["a", ";", "b", ";"], ["a", "b", ";"], ["a", "b", ";"]),
    (("a", ";"), [("a", ";")], ("a", ";")),
    ("x", ["x"], "x"),
])
def test_add_dependencies_removes_only_the_first_separator_from_the_callers_list(given, appended, left):
    ident = VemoId("name")
    ident.add_dependencies(given)
    assert ident.dependency == appended
    assert given == left


def test_each_identifier_occurrence_has_its_own_dependency_list():
    first, second = VemoId("x"), VemoId("x")
    first.add_dependencies("w")
    first.add_dependencies("w")
    assert first.id == second.id == "x"
    assert first.dependency == ["w", "w"] and second.dependency == []


def test_identifier_adding_its_own_list_doubles_it_once():
    ident = VemoId("x")
    ident.add_dependencies(["a", "b"])
    ident.add_dependencies(ident.dependency)
    assert ident.dependency == ["a", "b", "a", "b"]


def test_event_waits_time_out_and_wake_when_set_from_another_thread():
    event = Event()
    assert event.wait(0.01) is False
    threading.Timer(0.05, event.set).start()
    assert event.wait(5) is True and event.is_set()
    event.clear()
    assert not event.is_set()


def test_threads_making_their_first_waits_at_once_do_not_deadlock():
    # The main-thread lookup of the first wait runs Python code; here that code lets the GIL go for a
    # while, so that every other thread arrives at its own first wait meanwhile.
    code = ("import os, threading, time\nreal = threading.main_thread\n"
            "def slow_main_thread():\n    time.sleep(0.2)\n    return real()\n"
            "threading.main_thread = slow_main_thread\nfrom _vemoprimitives import Event\n"
            "go = threading.Barrier(4)\n"
            "def first_wait():\n    event = Event(); go.wait(); event.wait(0.001)\n"
            "threads = [threading.Thread(target=first_wait, daemon=True) for _ in range(4)]\n"
            "[t.start() for t in threads]; [t.join(5) for t in threads]\n"
            "print('hung' if any(t.is_alive() for t in threads) else 'ok', flush=True); os._exit(0)\n")
    try:
        result = run_python(code, timeout=20)
    except subprocess.TimeoutExpired:
        pytest.fail("the process hung: a thread blocked on the first-use guard while holding the GIL")
    assert result.stdout.strip() == "ok", result.stderr


def test_interpreter_exits_cleanly_while_daemon_threads_wait():
    code = ("import threading, time\nfrom _vemoprimitives import Event\nevent = Event()\n"
            "def wait_forever():\n    while True:\n        event.wait(0.001)\n"
            "for _ in range(4):\n    threading.Thread(target=wait_forever, daemon=True).start()\n"
            "time.sleep(0.2)\nprint('done')\n")
    for _ in range(3):
        result = run_python(code, timeout=20)
        assert (result.returncode, result.stdout) == (0, "done\n"), result.stderr
