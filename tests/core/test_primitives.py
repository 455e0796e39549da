import enum
import threading

import pytest

from _vemopq import VemoPriority
from _vemoprimitives import Event, VemoId, VemoState


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
