import gc
import threading
import weakref

import pytest

from _vemoaction import VemoAction
from _vemopq import VemoPriorityQueue
from _vemoprimitives import VemoId, VemoState
from actions import Move
from helpers import run_python, wait_until
from modules import XAxis


def make(target="p", **settings):
    return Move(XAxis, position=target, **settings)


def test_abstract_base_and_incomplete_kinds_refuse_instantiation():
    with pytest.raises(TypeError, match="abstract methods execute, setup"):
        VemoAction(XAxis)

    class NoExecute(VemoAction):
        def setup(self, **configs):
            pass

    with pytest.raises(TypeError, match="abstract method execute$"):
        NoExecute(XAxis)


def test_new_action_fields_and_setup_receives_the_callers_values():
    nested = {"points": [1, 2]}
    seen = {}

    class Probe(VemoAction):
        def setup(self, **configs):
            seen.update(configs)

        def execute(self):
            pass

    action = Probe(XAxis, shape=nested)
    assert action.state is VemoState.NotExecuted
    assert action.module is XAxis and action.dependency == [] and action.script_dep is None
    assert not action.finish_signal.is_set() and action.finish_signal is action.finish_signal
    assert seen["shape"] is nested
    nested["points"].append(3)
    assert action.params == {"shape": {"points": [1, 2]}}


def test_params_deep_copy_keeps_shared_parts_shared_and_copies_other_objects():
    shared = [1]

    class Point:
        def __init__(self, x):
            self.x = x

    point = Point(4)
    action = make(pair=(shared, shared), point=point)
    first, second = action.params["pair"]
    assert first is second and first is not shared
    assert action.params["point"] is not point and action.params["point"].x == 4


@pytest.mark.parametrize("set_order", [(0, 1), (1, 0)])
def test_run_executes_only_after_every_dependency_and_the_script_signal(set_order):
    deps = [make("a"), make("b")]
    before = make("before")
    action = make("main")
    action.add_dependencies(deps)
    action.set_script_dep(before.finish_signal)
    runner = threading.Thread(target=action.run)
    runner.start()
    for index in set_order:
        deps[index].finish_signal.set()
    assert action.state is VemoState.NotExecuted
    before.finish_signal.set()
    runner.join(5)
    assert not runner.is_alive() and action.state is VemoState.Finished


def test_run_with_an_unresolved_identifier_fails_before_executing():
    action = make()
    action.add_dependencies(VemoId("x"))
    with pytest.raises(AssertionError) as raised:
        action.run()
    assert raised.value.args == ()
    assert action.state is VemoState.NotExecuted


def test_unresolved_identifier_under_optimize_fails_on_the_missing_signal():
    code = (
        "from actions import Move\nfrom modules import XAxis\nfrom _vemoprimitives import VemoId\n"
        "a = Move(XAxis, position='p'); a.add_dependencies(VemoId('x'))\n"
        "try:\n    a.run()\nexcept AttributeError as e:\n    print('missing', 'finish_signal' in str(e))\n")
    result = run_python(code, flags=["-O"])
    assert result.stdout.strip() == "missing True", result.stderr


def test_resolve_dependencies_points_a_name_at_the_last_action_of_its_sequence():
    sequence = [make("x1"), make("x2"), make("x3")]
    other = make("other")
    action = make()
    action.add_dependencies([VemoId("x"), other, VemoId("y")])
    action.resolve_dependencies({"x": sequence})
    assert action.dependency[0] is sequence[2] and action.dependency[1] is other
    assert isinstance(action.dependency[2], VemoId) and not action.dependency_is_resolved()
    with pytest.raises(IndexError):
        action.resolve_dependencies({"y": []})


def test_copy_is_a_fresh_action_of_the_same_kind_sharing_dependencies():
    class Tagged(Move):
        def setup(self, **configs):
            super().setup(**configs)
            self.tag = configs.get("tag")

    a, b = make("a"), make("b")
    source = Tagged(XAxis, position="p", tag="t")
    source.add_dependencies([a, b])
    source.set_script_dep(a.finish_signal)
    source.state = VemoState.Finished
    source.finish_signal.set()
    clone = source.copy()
    assert type(clone) is Tagged and clone.module is XAxis and clone.tag == "t"
    assert clone.state is VemoState.NotExecuted and not clone.finish_signal.is_set()
    assert clone.script_dep is None
    assert clone.dependency == [a, b] and clone.dependency is not source.dependency
    assert clone.params == source.params and clone.params is not source.params


def test_reference_cycle_through_dependency_list_is_collected():
    action = make()
    action.add_dependencies(action)
    action.self_ref = action
    ref = weakref.ref(action)
    del action
    gc.collect()
    assert ref() is None


def test_wait_on_the_main_thread_ends_with_keyboard_interrupt_on_ctrl_c(ctrl_c):
    code = (
        "import os, signal, threading, time\nfrom _vemoprimitives import Event\n"
        "threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()\n"
        "start = time.monotonic()\n"
        "try:\n    Event().wait()\nexcept KeyboardInterrupt:\n"
        "    print('interrupted', round(time.monotonic() - start, 1) < 1.5)\n")
    result = run_python(code, timeout=20)
    assert result.stdout.strip() == "interrupted True", result.stderr


def test_waiting_action_lets_other_python_threads_run():
    blocker = make("blocker")
    action = make("waiting")
    action.add_dependencies(blocker)
    runner = threading.Thread(target=action.run)
    runner.start()
    counter = []
    worker = threading.Thread(target=lambda: counter.extend(range(100000)))
    worker.start()
    worker.join(5)
    assert len(counter) == 100000 and runner.is_alive()
    blocker.finish_signal.set()
    wait_until(lambda: not runner.is_alive())


@pytest.mark.parametrize("owner, field", [
    (make, "module"), (make, "script_dep"), (lambda: VemoId("x"), "id"), (lambda: XAxis([]), "exception_block")])
def test_fields_that_may_be_absent_take_none(owner, field):
    instance = owner()
    setattr(instance, field, None)
    assert getattr(instance, field) is None


@pytest.mark.parametrize("build, read", [
    (lambda: Move(None, position="p"), lambda a: [a.module]),
    (lambda: VemoId(None), lambda i: [i.id]),
    (lambda: XAxis.move_action(None), lambda a: [a.params["position"]]),
    (lambda: XAxis.io_action(None, None), lambda a: [a.params["io_id"], a.params["status"]]),
    (lambda: XAxis.tray_action(None, None), lambda a: [a.params["tray_id"], a.params["position_seq"]]),
])
def test_arguments_that_may_hold_any_object_take_none(build, read):
    values = read(build())
    assert values == [None] * len(values)


def test_action_whose_script_dep_is_back_to_none_runs_without_waiting():
    action = make()
    action.script_dep = make().finish_signal
    action.script_dep = None
    runner = threading.Thread(target=action.run)
    runner.start()
    runner.join(5)
    assert action.state is VemoState.Finished


@pytest.mark.parametrize("owner, field", [
    (make, "state"), (make, "finish_signal"), (make, "dependency"), (make, "params"),
    (lambda: VemoId("x"), "dependency"),
    (lambda: XAxis([]), "queue"), (lambda: XAxis([]), "run_event"), (lambda: XAxis({}), "round_robin_set"),
])
def test_fields_that_must_hold_a_value_refuse_none_naming_the_field(owner, field):
    instance = owner()
    before = getattr(instance, field)
    with pytest.raises(TypeError, match=rf"^{type(instance).__name__}\.{field} cannot be None$"):
        setattr(instance, field, None)
    assert getattr(instance, field) is before


def test_queue_refuses_none_for_an_action_since_none_marks_it_empty():
    with pytest.raises(TypeError):
        VemoPriorityQueue().add(None, 1)
