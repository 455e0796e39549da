"""The parts of `vemo run` on their own: the cell against its handler settings, the run context, the timeline."""

import json
import re
import threading
import time

import pytest

from runsupport import EXAMPLES
from vemo.cell.actions import Dwell, IOAction, Move, MoveTray
from vemo.cell.model import CellError, load_cell, parse_cell
from vemo.run import drive
from vemo.run.drive import ActionFailed, RunContext
from vemo.cell.handlersettings import check_cell, read_handler_modules
from vemo.cell.kinds import modules_package
from vemo.run.timeline import ActionRecord, render_html, write_chrome_trace
from vemo.run.watch import HandlerWatch

CELL_TEXT = (EXAMPLES / "cell.yaml").read_text()


def check(cell_text):
    cell = parse_cell(cell_text, str(EXAMPLES / "cell.yaml"))
    return check_cell(cell, read_handler_modules(cell.handler_settings), "handler.yaml")


def test_example_cell_names_its_handler_settings_and_matches_them():
    cell = load_cell(EXAMPLES / "cell.yaml")
    assert cell.handler_settings == str(EXAMPLES / "handler" / "cell.yaml")
    assert check(CELL_TEXT) == ([], [])


@pytest.mark.parametrize("old, new, message", [
    ("handler_id: 11", "handler_id: 10", "Gripper: handler module 10 has no outputs to switch"),
    ("handler_id: 11", "handler_id: 3", "Gripper: handler id 3 is a motor in handler.yaml, but the cell makes it an io"),
    ("handler_id: 1 ", "handler_id: 12 ", "XAxis: handler id 12 is an IO module in handler.yaml, but the cell makes it a"),
    ("axes: [5, 6]", "axes: [5, 9]", "Loader: handler id 9 is no KinraID of handler.yaml"),
    ("points: {vacuum: 3, blow: 4}", "points: {vacuum: 3, blow: 16}", "Gripper: IO point blow is pin 16, but handler module 11 has 16 outputs"),
    ("points: {vacuum: 3, blow: 4}", "points: {vacuum: 3, blow: 4}\n    inputs: {door: 0}", "Gripper: input door is pin 0, but handler module 11 has 0 inputs"),
])
def test_cell_that_does_not_match_its_handler_settings_is_refused(old, new, message):
    assert old in CELL_TEXT
    errors, _ = check(CELL_TEXT.replace(old, new, 1))
    assert len(errors) == 1 and errors[0].startswith(message), errors


@pytest.mark.parametrize("old, new, message", [
    ("place: 480", "place: 700", "XAxis: position place puts handler axis 1 at 700, outside its travel -5 to 600"),
    ("out: [110, 50]", "out: [110, 75]", "Loader: position out puts handler axis 6 at 75, outside its travel 0 to 70"),
])
def test_position_beyond_the_simulated_travel_is_a_warning(old, new, message):
    errors, warnings = check(CELL_TEXT.replace(old, new))
    assert errors == [] and len(warnings) == 1 and warnings[0].startswith(message)


@pytest.mark.parametrize("text, message", [
    ("modules: {T: {kind: tray, handler_id: 1, axes: [1, 2], positions: {p: 3}}}", "expected a list of 2 numbers"),
    ("modules: {T: {kind: tray, handler_id: 1, axes: [1, 1]}}", "axes names one handler id twice"),
    ("modules: {T: {kind: tray, handler_id: 1, axes: [2]}, X: {kind: axis, handler_id: 2}}", "share handler_id 2"),
    ("handler_settings: 5\nmodules: {X: {kind: axis, handler_id: 1}}", "handler_settings must be a file path"),
])
def test_bad_tray_axes_and_handler_settings_entries_are_reported(text, message):
    with pytest.raises(CellError, match=message):
        parse_cell(text, "c.yaml")


class FakeRequest:
    def __init__(self, cmd_id, kind, args):
        self.cmd_id, self.kind, self.args = cmd_id, kind, args


class FakeClient:
    """Builds requests like the handler client and answers every wait with `result` (a list: one result
    per wait in turn, the last one for the rest); a wait may instead block until a motor stop arrives
    (then 0, as a stopped motion's conditions report)."""

    def __init__(self, result=1, block_until_stop=False):
        self.results = list(result) if isinstance(result, list) else [result]
        self.block_until_stop = block_until_stop
        self.count = 0
        self.batches, self.stops, self.timeouts = [], [], []
        self.waiting, self.stopped, self.cancelled = threading.Event(), threading.Event(), threading.Event()

    def _request(self, kind, **args):
        self.count += 1
        return FakeRequest(f"PC1-{self.count}", kind, args)

    def motor_ptp(self, kinra_id, target, vel, acc, deacc, return_action):
        return self._request("move", kinra_id=kinra_id, target=target, vel=vel, acc=acc)

    def motor_home(self, kinra_id, return_action):
        return self._request("home", kinra_id=kinra_id)

    def io_set(self, kinra_id, pin, value, return_action):
        return self._request("io", kinra_id=kinra_id, pin=pin, value=value)

    def generate_condition(self, kinra_id, func_id=None, condition_type_name="", arg_list=None, dep_list=None):
        return self._request(condition_type_name or func_id, args=arg_list, deps=list(dep_list))

    def receive_dequeue_action(self, batch, target, topics, timeout=None):
        self.batches.append((batch, target, topics))
        self.timeouts.append(timeout)
        if self.block_until_stop:
            self.waiting.set()
            deadline = time.monotonic() + (10 if timeout is None else timeout)
            while not (self.stopped.is_set() or self.cancelled.is_set()) and time.monotonic() < deadline:
                self.stopped.wait(0.01)
            return -3 if self.cancelled.is_set() else 0 if self.stopped.is_set() else []
        return self.results.pop(0) if len(self.results) > 1 else self.results[0]

    def get_logger(self, axis, index):
        return "0"  # no error state of its own

    def motor_stop(self, axis):
        self.stops.append(axis)
        self.stopped.set()

    def cancel_waits(self):
        self.cancelled.set()


@pytest.fixture(scope="module")
def kinds():
    return modules_package(load_cell(EXAMPLES / "cell.yaml"))


def recording_context(client):
    ended = []
    context = RunContext(client, on_end=lambda action, outcome, reason: ended.append((outcome, reason)))
    return context, ended


def test_move_sends_motion_end_and_position_checks_and_waits_on_a_suffixed_identifier(kinds):
    from _vemoprimitives import VemoState

    client = FakeClient()
    context, ended = recording_context(client)
    move = Move(kinds.XAxis, position="place", handler_id=1)
    context.execute(move)
    (batch, target, topics), = client.batches
    assert [r.kind for r in batch] == ["move", "KONRA_ID_SLAVE_STATUS_CONDITION", "KINRA_ID_POS_CONDITION"]
    assert batch[0].args == {"kinra_id": 1, "target": 480.0, "vel": 250.0, "acc": 1000.0}
    assert batch[1].args["deps"] == [batch[0].cmd_id] and batch[2].args["deps"] == [batch[1].cmd_id]
    assert re.fullmatch(r"PC1-3\.\d+\.", target) and target == batch[2].cmd_id and topics == [target]
    assert (move.state, move.finish_signal.is_set(), ended) == (VemoState.Finished, True, [("finished", None)])


def test_tray_step_over_five_axes_gathers_the_checks_four_at_a_time(kinds):
    spec = kinds.Loader.spec
    client = FakeClient()
    context, _ = recording_context(client)
    context.move_axes([(axis, 1.0) for axis in (5, 6, 7, 8, 9)], what=spec.name)
    (batch, target, _), = client.batches
    checks = [r.cmd_id for r in batch if r.kind == "KINRA_ID_POS_CONDITION"]
    blanks = [r for r in batch if r.kind == 150]
    assert [b.args["deps"] for b in blanks] == [checks[:4], [blanks[0].cmd_id, checks[4]]]
    assert target == blanks[-1].cmd_id and batch[-1] is blanks[-1]


def test_tray_transfer_moves_both_axes_through_each_step(kinds):
    client = FakeClient()
    context, _ = recording_context(client)
    context.execute(MoveTray(kinds.Loader, tray_id=1, position_seq="unload", handler_id=5))
    steps = [[(r.args["kinra_id"], r.args["target"]) for r in batch if r.kind == "move"] for batch, _, _ in client.batches]
    assert steps == [[(5, 10.0), (6, 50.0)], [(5, 110.0), (6, 50.0)]]


def test_failed_action_sets_error_and_its_finish_signal_and_names_module_action_and_location(kinds):
    from _vemoprimitives import VemoState

    context, ended = recording_context(FakeClient(result=0))
    grip = IOAction(kinds.Gripper, io_id="vacuum", status="on", handler_id=11, origin="job.vemo:4:9")
    with pytest.raises(ActionFailed) as failure:
        context.execute(grip)
    text = "Gripper: set @Gripper vacuum on (job.vemo:4:9) failed: the handler refused it or reported it failed (result 0)"
    assert str(failure.value) == text
    assert (grip.state, grip.finish_signal.is_set(), context.stopping.is_set()) == (VemoState.Error, True, True)
    assert ended == [("error", text)]
    # Once the run stops, what comes next does not run, but still releases whatever waits on it.
    later = Move(kinds.XAxis, position="pick", handler_id=1)
    context.execute(later)
    assert (later.state, later.finish_signal.is_set(), ended[-1]) == (VemoState.NotExecuted, True, ("not_run", None))


def failure_context(client, **policy):
    """A run context that records outcomes and retries as (kind, detail) in one list, in order."""
    events = []
    context = RunContext(client, on_end=lambda action, outcome, reason: events.append((outcome, reason)),
                         on_retry=lambda action, attempt, reason: events.append(("retry", attempt)), **policy)
    return context, events


REFUSED = "the handler refused it or reported it failed (result 0)"


@pytest.mark.parametrize("results, retries, outcomes", [
    ([0, 0, 1], 2, [("retry", 2), ("retry", 3), "finished"]),
    ([0, 1], 3, [("retry", 2), "finished"]),
    ([0, 0, 1], 1, [("retry", 2), "error"]),
    ([0], 0, ["error"]),
])
def test_failed_action_is_tried_again_up_to_the_retries_and_each_retry_is_counted(kinds, results, retries, outcomes):
    client = FakeClient(result=results)
    context, events = failure_context(client, retries=retries)
    move = Move(kinds.XAxis, position="pick", handler_id=1)
    if outcomes[-1] == "error":
        with pytest.raises(ActionFailed, match="result 0"):
            context.execute(move)
    else:
        context.execute(move)
    assert [e if e[0] == "retry" else e[0] for e in events] == outcomes
    assert len(client.batches) == len(outcomes)  # every attempt sent its motion again
    assert context.stopping.is_set() == (outcomes[-1] == "error") and move.finish_signal.is_set()


def test_skipped_action_releases_what_waits_on_it_and_the_run_goes_on(kinds):
    from _vemoprimitives import VemoState

    asked = []
    context, events = failure_context(FakeClient(result=[0, 0, 1]), retries=1,
                                      decide=lambda failure: asked.append(failure) or "skip")
    grip = IOAction(kinds.Gripper, io_id="vacuum", status="on", handler_id=11, origin="job.vemo:4:9")
    context.execute(grip)
    failure, = asked
    assert failure == {"module": "Gripper", "action": "set @Gripper vacuum on", "location": "job.vemo:4:9",
                       "reason": f"Gripper: set @Gripper vacuum on (job.vemo:4:9) failed: {REFUSED}", "attempts": 2}
    assert events == [("retry", 2), ("skipped", failure["reason"])]
    assert (grip.state, grip.finish_signal.is_set(), context.stopping.is_set()) == (VemoState.Error, True, False)
    after = Move(kinds.XAxis, position="pick", handler_id=1)
    context.execute(after)
    assert events[-1] == ("finished", None)


@pytest.mark.parametrize("answers, outcome, reason", [
    (["retry", "abort"], "error", REFUSED),
    (["retry", "skip"], "skipped", REFUSED),
    (["later"], "error", REFUSED),
    ([RuntimeError("control gone")], "error", "no decision could be had: RuntimeError: control gone"),
])
def test_operators_answer_retries_skips_or_aborts_and_anything_else_aborts(kinds, answers, outcome, reason):
    asked = []

    def decide(failure):
        asked.append(failure["attempts"])
        answer = answers[len(asked) - 1]
        if isinstance(answer, Exception):
            raise answer
        return answer

    context, events = failure_context(FakeClient(result=0), decide=decide)
    move = Move(kinds.XAxis, position="pick", handler_id=1)
    if outcome == "error":
        with pytest.raises(ActionFailed):
            context.execute(move)
    else:
        context.execute(move)
    assert asked == list(range(1, len(answers) + 1))  # an operator's retry is one more attempt, then it asks again
    assert events[-1][0] == outcome and reason in events[-1][1]
    assert context.stopping.is_set() == (outcome == "error")


def test_stop_while_the_run_waits_for_an_answer_aborts_the_action(kinds):
    context, events = failure_context(FakeClient(result=0))
    context.decide = lambda failure: context.stopping.set() or "retry"
    with pytest.raises(ActionFailed):
        context.execute(Move(kinds.XAxis, position="pick", handler_id=1))
    assert [e[0] for e in events] == ["error"]


def test_recovery_runs_actions_again_after_a_failure_but_neither_retries_nor_asks(kinds):
    client = FakeClient(result=[0, 0, 0, 1])
    context, events = failure_context(client, retries=1, decide=lambda failure: "skip")
    context.decide = None
    with pytest.raises(ActionFailed):
        context.execute(Move(kinds.XAxis, position="pick", handler_id=1))
    context.begin_recovery()
    with pytest.raises(ActionFailed):
        context.execute(Move(kinds.XAxis, position="park", handler_id=1))
    assert [e[0] for e in events] == ["retry", "error", "error"]
    context.begin_recovery()
    context.execute(Move(kinds.XAxis, position="park", handler_id=1))
    assert events[-1] == ("finished", None)


def test_stopping_a_run_stops_the_axes_in_motion_and_marks_the_move_interrupted(kinds):
    client = FakeClient(block_until_stop=True)
    context, ended = recording_context(client)
    move = Move(kinds.ZAxis, position="down", handler_id=2)
    runner = threading.Thread(target=context.execute, args=(move,))
    runner.start()
    assert client.waiting.wait(10)
    context.stopping.set()
    assert context.stop_motion() == [2]
    runner.join(10)
    assert not runner.is_alive() and client.stops == [2]
    assert ended == [("interrupted", None)] and move.finish_signal.is_set()


@pytest.mark.parametrize("time_factor, bound", [(1.0, 2 * 2.17 + 5), (4.0, 2 * 2.17 / 4 + 5)])
def test_a_wait_on_a_motion_is_bounded_by_twice_its_longest_expected_duration_plus_5_s(time_factor, bound, kinds):
    client = FakeClient()
    context, _ = recording_context(client)
    context.time_factor = time_factor
    # X travels at most from home (0) to place (480): 480 / 250 s at speed plus 250 / 1000 s to ramp.
    context.execute(Move(kinds.XAxis, position="place", handler_id=1))
    assert client.timeouts[0] == pytest.approx(bound, abs=0.05)


def test_a_motion_whose_completion_never_comes_fails_saying_so_and_stops_its_axis(kinds, monkeypatch):
    monkeypatch.setattr(drive, "COMPLETION_MARGIN_SECONDS", 0.05)
    client = FakeClient(block_until_stop=True)
    context, ended = recording_context(client)
    context.time_factor = 1e6  # the expected motion time shrinks to nothing: the margin is the bound
    with pytest.raises(ActionFailed, match=r"its completion did not arrive within 0\.1 s \(twice the expected "
                                           r"0\.00 s plus 0\.05 s\)"):
        context.execute(Move(kinds.ZAxis, position="down", handler_id=2))
    assert client.stops == [2] and ended[0][0] == "error"


def test_a_lost_handler_fails_the_actions_waiting_on_it_and_interrupts_the_others(kinds):
    client = FakeClient(block_until_stop=True)
    context, ended = recording_context(client)
    move = Move(kinds.ZAxis, position="down", handler_id=2)
    dwell = Dwell(kinds.Gripper, milliseconds=60000)

    def execute(action):
        try:
            context.execute(action)
        except ActionFailed:
            pass

    threads = [threading.Thread(target=execute, args=(action,)) for action in (move, dwell)]
    for thread in threads:
        thread.start()
    assert client.waiting.wait(10)
    context.lose_handler("the handler at 127.0.0.9 no longer answers")
    context.stopping.set()
    for thread in threads:
        thread.join(10)
    assert not any(thread.is_alive() for thread in threads) and client.stops == []
    assert sorted(ended) == [("error", "ZAxis: move @ZAxis to down failed: the handler at 127.0.0.9 no longer answers"),
                             ("interrupted", None)]


@pytest.mark.parametrize("lost, reason", [
    (True, "ZAxis: move @ZAxis to down failed: the handler at 127.0.0.9 no longer answers"),
    (False, "ZAxis: move @ZAxis to down failed: the handler server cannot be reached (result -3)"),
])
def test_a_request_that_finds_no_handler_fails_for_the_loss_once_the_watch_confirms_it(kinds, lost, reason):
    context, ended = recording_context(FakeClient(result=-3))
    context.loss_verdict_seconds = 0.3
    if lost:
        threading.Timer(0.1, context.lose_handler, ("the handler at 127.0.0.9 no longer answers",)).start()
    with pytest.raises(ActionFailed):
        context.execute(Move(kinds.ZAxis, position="down", handler_id=2))
    assert ended == [("error", reason)]


def test_dwell_runs_faster_by_the_time_factor_and_ends_when_the_run_stops(kinds):
    context, ended = recording_context(FakeClient())
    context.time_factor = 4.0
    started = time.monotonic()
    context.execute(Dwell(kinds.Gripper, milliseconds=2000))
    took = time.monotonic() - started
    assert 0.5 <= took < 1.5  # a quarter of the dwell, well short of all of it
    stopper = threading.Timer(0.05, context.stopping.set)  # the run stops while the next dwell waits
    stopper.start()
    context.execute(Dwell(kinds.Gripper, milliseconds=10 ** 9))  # days, unless the stop ends it
    stopper.join()
    assert ended == [("finished", None), ("interrupted", None)]


def _records():
    return [
        ActionRecord(1, "XAxis", "Move", "to pick", "s.vemo:1:1", 0.0, 0.5, "finished", text="move @XAxis to pick"),
        ActionRecord(2, "ZAxis", "Move", "to down", "s.vemo:2:1", 0.6, 0.9, "error", waits_on=[1], ready=0.0,
                     reason="ZAxis: move @ZAxis to down failed", text="move @ZAxis to down"),
        ActionRecord(3, "ZAxis", "Move", "to up", "s.vemo:3:1", after=2),
    ]


def test_timeline_page_draws_bars_by_outcome_waits_and_arrows_and_no_bar_for_what_never_ran():
    page = render_html(_records(), "run <1>")
    assert page.count('rx="3" fill="#4c9f70"') == 1 and page.count('rx="3" fill="#d64545"') == 1
    assert page.count('marker-end="url(#arrow)"') == 1
    assert "ZAxis waits 0.600 s before move @ZAxis to down" in page
    assert "<li>ZAxis: move @ZAxis to down failed</li>" in page and "to up" not in page
    assert "3 actions: 1 finished, 1 error, 1 not run" in page
    assert "run &lt;1&gt;" in page and "http" not in page.replace('xmlns="http://www.w3.org/2000/svg"', "")


def test_chrome_trace_has_a_track_per_module_an_event_per_run_action_and_a_flow_per_wait(tmp_path):
    write_chrome_trace(_records(), tmp_path / "t.json")
    events = json.loads((tmp_path / "t.json").read_text())["traceEvents"]
    assert sorted(e["args"]["name"] for e in events if e.get("name") == "thread_name") == ["XAxis", "ZAxis"]
    complete = [e for e in events if e["ph"] == "X"]
    assert [(e["args"]["action"], e["ts"], e["dur"]) for e in complete] == [(1, 0.0, 500000.0), (2, 600000.0, 300000.0)]
    assert [e["ph"] for e in events if e.get("cat") == "dependency"] == ["s", "f"]


def test_every_awaited_result_belongs_to_its_own_request_across_identifier_wraps(simulator):
    """3,000 waits (three wraps of the client's identifiers) from four threads, all within the simulator's
    replay window; a move within the travel succeeds and one beyond it fails, in an order that makes a
    result taken from an earlier request with the same identifier show as a wrong outcome."""
    import random

    import kinra_client

    from runsupport import HANDLER_SETTINGS

    sim = simulator(time_scale=1000.0)
    client = kinra_client.KinraClient(str(HANDLER_SETTINGS), server_address=sim.address)
    context = RunContext(client)
    per_thread, threads = 750, 4
    outcomes = [[] for _ in range(threads)]

    def work(k):
        axis = k + 1  # gantry_x, gantry_z, rotary, stage: one axis per thread
        rng = random.Random(k)
        for _ in range(per_thread):
            fails = rng.random() < 0.5
            target = 10_000 if fails else 0.01 * rng.randint(0, 100)
            try:
                context._drive(lambda: [client.motor_ptp(axis, target, return_action=True)], "move")
                outcomes[k].append((fails, 1))
            except ActionFailed as error:
                outcomes[k].append((fails, 0 if "(result 0)" in str(error) else str(error)))

    workers = [threading.Thread(target=work, args=(k,), daemon=True) for k in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(120)
    assert not any(worker.is_alive() for worker in workers), "waits did not end"
    for results in outcomes:
        assert len(results) == per_thread
        assert [result for _, result in results] == [0 if fails else 1 for fails, _ in results]


class ProbedClient:
    server_address = "127.0.0.9"

    def __init__(self, answers):
        self.answers = list(answers)

    def get_logger(self, kinra_id, idx):
        return self.answers.pop(0) if self.answers else -3


@pytest.mark.parametrize("answers, alive, reason", [
    (["0", "0"], None, "the handler at 127.0.0.9 no longer answers"),
    ([], None, "the handler at 127.0.0.9 does not answer"),
    (["0"] * 100, lambda: "the embedded simulator was killed by signal 9",
     "the handler at 127.0.0.9 no longer answers (the embedded simulator was killed by signal 9)"),
])
def test_the_watch_reports_a_handler_that_stops_answering_once(answers, alive, reason):
    lost = []
    reported = threading.Event()
    watch = HandlerWatch(ProbedClient(answers), 1, 1, lambda *report: (lost.append(report), reported.set()),
                         alive=alive, interval=0.01).start()
    assert reported.wait(10)
    watch.stop()
    assert len(lost) == 1 and lost[0][0] == reason and 0 <= lost[0][1] < 5
