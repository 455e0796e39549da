"""Request traffic of KinraClient against the fake server: enqueue, log requests, waiting for completions."""
import os
import subprocess
import sys
import signal
import struct
import threading
import time

import pytest

import kinra_client as kc
from kinra_client import XANAction
from kinra_fake_server import publish_at_once

SEND_FAILED = "[Enqueue Action Error] Somthing is wrong in the zmqServer. Failed to send request."
RECEIVE_FAILED = "[Enqueue Action Error] Somthing is wrong in the zmqServer. Failed to receive response after request."


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def in_thread(function, timeout=20):
    """Runs `function` on a thread and returns its result, failing the test if it does not end in time."""
    box = []
    worker = threading.Thread(target=lambda: box.append(function()), daemon=True)
    worker.start()
    worker.join(timeout)
    assert box, "call did not return within %s s" % timeout
    return box[0]


@pytest.mark.parametrize("result", [1, 0, 7])
def test_enqueue_returns_the_result_field_and_names_unnamed_actions(client, server_factory, result):
    server = server_factory(result=result)
    unnamed = XANAction(3, 1, [7, 1000])
    named = XANAction(3, 1, [], [], "mine")
    assert client.enqueue_action(unnamed) == result
    assert client.enqueue_action(named) == result
    assert unnamed.cmd_id == client.func_id_prefix + "0" and named.cmd_id == "mine"
    sent = server.decoded()
    assert [r["cmd_id"] for r in sent] == [unnamed.cmd_id, "mine"]
    assert sent[0]["args"] == [7, 1000, -1, -1, -1, -1] and sent[0]["result"] == -1


def test_enqueue_without_server_fails_after_about_a_second_and_then_resets(client, server_factory, address, capsys):
    begin = time.monotonic()
    assert client.enqueue_action(XANAction(1, 1)) == -3
    assert 0.8 < time.monotonic() - begin < 3
    assert lines(capsys) == [SEND_FAILED, "Resource temporarily unavailable"]
    assert not client.action_req_socket_status and client.logger_req_socket_status
    assert client.get_logger(13, 2) == -3
    assert lines(capsys)[0] == "[Get Logger Error] Somthing is wrong in the zmqServer. Failed to send request."
    assert not client.logger_req_socket_status
    server_factory()
    assert client.enqueue_action(XANAction(1, 1)) == 1
    # The action request replaced both sockets, so the log socket is usable again without a request.
    assert client.action_req_socket_status and client.logger_req_socket_status


def test_silent_server_fails_the_receive_step_and_releases_the_lock(client, server_factory, capsys):
    server_factory(reply="silent")
    assert client.enqueue_action(XANAction(1, 1)) == -3
    assert lines(capsys) == [RECEIVE_FAILED, "Resource temporarily unavailable"]
    assert in_thread(lambda: client.enqueue_action(XANAction(1, 1)), timeout=5) == -3


def test_reply_of_the_wrong_length_raises_and_releases_the_lock(client, server_factory):
    server = server_factory(reply="short")
    with pytest.raises(ValueError):
        client.enqueue_action(XANAction(1, 1))
    with pytest.raises(ValueError):
        client.get_logger(13, 2)
    server.reply = "record"
    assert in_thread(lambda: client.enqueue_action(XANAction(1, 1)), timeout=5) == 1


def test_packing_error_propagates_before_anything_is_sent(client, server_factory):
    server = server_factory()
    with pytest.raises(ValueError):
        client.enqueue_action(XANAction(1, 1, list(range(7))))
    assert server.requests == []


def test_get_logger_sends_the_log_record_and_returns_its_text(client, server_factory):
    server = server_factory(log_text=lambda kinra_id, idx: b"25\x0000")
    assert client.get_logger(13, 2) == "2500"
    assert server.log_requests == [(13, 2, struct.pack(kc.log_datatype, 13, 2, b""))]
    with pytest.raises(TypeError):
        client.get_logger(13, 2.0)


def test_many_threads_enqueue_on_one_client(client, server_factory):
    server = server_factory()
    results, ids = [], []
    lock = threading.Lock()

    def work():
        for _ in range(500):
            action = XANAction(1, 2, [3])
            result = client.enqueue_action(action)
            with lock:
                results.append(result)
                ids.append(action.cmd_id)

    workers = [threading.Thread(target=work) for _ in range(8)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(60)
    assert results == [1] * 4000
    assert sorted(r["cmd_id"] for r in server.decoded()) == sorted(ids)
    numbers = sorted(int(i.rsplit("-", 1)[1]) for i in ids)
    assert numbers == sorted(list(range(1000)) * 4)


def run_batch(client, actions, target, topics, timeout=20):
    return in_thread(lambda: client.receive_dequeue_action(actions, target, topics), timeout)


@pytest.mark.parametrize("outcome", [1, 0])
def test_batch_returns_the_published_result_of_its_target(client, server_factory, outcome):
    server_factory(publish=lambda r: (outcome, 0.05) if r["cmd_id"] == "t" else (1, 0.0))
    actions = [XANAction(1, 1, cmd_id="a"), XANAction(1, 1, cmd_id="t")]
    assert run_batch(client, actions, "t", ["a", "t"]) == outcome


def test_padded_topic_counts_as_the_target(client, server_factory):
    server = server_factory()
    server.schedule([b"t\0\0\0", struct.pack(kc.action_datatype, *([0] * 8), *([b""] * 5), 4)], 0.3)
    assert run_batch(client, [], "t", ["t"]) == 4


def test_without_the_target_the_topics_received_are_returned_after_five_quiet_seconds(client, server_factory):
    server_factory(publish=lambda r: (1, 0.0))
    actions = [XANAction(1, 1, cmd_id="b"), XANAction(1, 1, cmd_id="a")]
    begin = time.monotonic()
    assert run_batch(client, actions, "never", ["a", "b"]) == ["b", "a"]
    assert 4.5 < time.monotonic() - begin < 8


def test_wait_entry_pauses_between_sends(client, server_factory):
    server = server_factory(publish=publish_at_once())
    actions = [XANAction(1, 1, cmd_id="first"), ("wait", 1), XANAction(1, 1, cmd_id="last")]
    assert run_batch(client, actions, "last", ["last"]) == 1
    gap = server.request_times[1] - server.request_times[0]
    assert 0.95 < gap < 1.5


@pytest.mark.parametrize("entry", [("pause", 2), 5, ("wait", -1), ("wait", "2"), ()])
def test_unknown_batch_entry_ends_the_call_with_minus_two(client, server_factory, entry):
    server = server_factory(publish=publish_at_once())
    actions = [XANAction(1, 1, cmd_id="a"), entry, XANAction(1, 1, cmd_id="b")]
    assert run_batch(client, actions, "b", ["b"]) == -2
    assert [r["cmd_id"] for r in server.decoded()] == ["a"]


def test_refused_request_stops_the_batch(client, server_factory):
    server = server_factory(result=lambda r: 0 if r["cmd_id"] == "2" else 1, publish=publish_at_once())
    actions = [XANAction(1, 1, cmd_id=str(k)) for k in (1, 2, 3)]
    assert run_batch(client, actions, "3", ["3"]) == 0
    assert [r["cmd_id"] for r in server.decoded()] == ["1", "2"]


def test_completion_without_body_is_a_receive_error(client, server_factory, capsys):
    server = server_factory()
    server.schedule([b"t"], 0.3)
    assert run_batch(client, [], "t", ["t"]) == []
    out = lines(capsys)
    assert len(out) == 1 and out[0].startswith("[Error when Receiving]:  ")


def test_unusable_subscriber_address_reports_readiness_failure(client, capsys):
    client.server_address = "bad address"
    assert run_batch(client, [XANAction(1, 1)], "x", ["x"]) == -3
    out = lines(capsys)
    assert out[-1] == "[Zmq Recv Error] Somthing is wrong in the zmqServer. Failed to start a recv socket."


def test_completions_published_at_once_are_never_lost(client, server_factory):
    # A second, late publication turns a lost first one into a slow call instead of a hang.
    server_factory(publish=lambda r: [(1, 0.0), (1, 2.0)])
    for k in range(200):
        begin = time.monotonic()
        cmd = XANAction(0, 150, cmd_id="c%d" % k)
        assert client.receive_dequeue_action([cmd], cmd.cmd_id, [cmd.cmd_id]) == 1
        assert time.monotonic() - begin < 1.0, "completion %d was lost" % k


def test_recv_tread_can_be_driven_directly(client, server_factory, address):
    server = server_factory()
    receiver = kc.RecvTread(client.context, address, 5001, "t", ["t"])
    assert not receiver.check_start_recv() and not receiver.check_finish()
    receiver.start()
    with pytest.raises(RuntimeError):
        receiver.start()
    deadline = time.monotonic() + 5
    while not receiver.check_start_recv() and time.monotonic() < deadline:
        time.sleep(0.01)
    server.schedule([b"t", b"\0" * 216])
    while not receiver.check_finish() and time.monotonic() < deadline:
        time.sleep(0.01)
    receiver.stop_thread()
    assert receiver.check_finish() and receiver.stop_flag
    assert receiver.recv_data_dict == {"t": b"\0" * 216}


def interrupt_main_after(seconds):
    timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="needs the main thread")
def test_ctrl_c_interrupts_a_wait_for_completion(ctrl_c, client, server_factory):
    server_factory()  # accepts, never publishes
    interrupt_main_after(0.3)
    begin = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        client.receive_dequeue_action([XANAction(1, 1)], "never", ["never"])
    assert time.monotonic() - begin < 1.5


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="needs the main thread")
def test_ctrl_c_interrupts_an_unanswered_request_and_the_socket_is_renewed(ctrl_c, client, server_factory):
    server = server_factory(reply="silent")
    interrupt_main_after(0.3)
    begin = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        client.enqueue_action(XANAction(1, 1))
    assert time.monotonic() - begin < 0.8
    assert not client.action_req_socket_status
    server.reply = "record"
    assert client.enqueue_action(XANAction(1, 1)) == 1


def test_actions_of_derived_classes_are_sent(client, server_factory):
    class TaggedAction(XANAction):
        def __init__(self, tag):
            super().__init__(1, 2, [3])
            self.tag = tag

    server = server_factory(publish=publish_at_once())
    action = TaggedAction("x")
    assert client.enqueue_action(action) == 1
    sent = server.decoded()
    assert [r["cmd_id"] for r in sent] == [action.cmd_id] and action.tag == "x"


@pytest.mark.parametrize("timeout, result", [(0.5, []), (5, 1)])
def test_timeout_ends_a_wait_without_its_result_as_a_quiet_wait_does(client, server_factory, timeout, result):
    server_factory(publish=lambda r: (1, 1.0))
    begin = time.monotonic()
    batch = [XANAction(1, 1, cmd_id="slow")]
    assert in_thread(lambda: client.receive_dequeue_action(batch, "slow", ["slow"], timeout=timeout)) == result
    assert time.monotonic() - begin < min(timeout, 1.0) + 0.8


@pytest.mark.parametrize("timeout", [-1, float("nan"), "1", True])
def test_timeout_that_is_no_duration_is_refused(client, timeout):
    with pytest.raises(ValueError, match="timeout"):
        client.receive_dequeue_action([], "t", ["t"], timeout=timeout)


@pytest.mark.parametrize("batch", [
    pytest.param(lambda: [XANAction(1, 1, cmd_id="never")], id="waiting for a result"),
    pytest.param(lambda: [("wait", 30), XANAction(1, 1, cmd_id="never")], id="pausing in the batch"),
])
def test_cancel_waits_ends_every_wait_of_the_client_with_minus_three(client, server_factory, batch):
    server = server_factory()  # accepts, never publishes
    results = []
    workers = [threading.Thread(target=lambda: results.append(client.receive_dequeue_action(batch(), "never", ["never"])),
                                daemon=True) for _ in range(3)]
    for worker in workers:
        worker.start()
    time.sleep(0.5)
    begin = time.monotonic()
    assert client.cancel_waits() == 3
    for worker in workers:
        worker.join(5)
    assert results == [-3, -3, -3] and time.monotonic() - begin < 1.0
    # Later waits are not affected by an earlier cancel.
    server.publish = publish_at_once()
    action = XANAction(0, 150, cmd_id="after")
    assert in_thread(lambda: client.receive_dequeue_action([action], "after", ["after"])) == 1


def test_completion_published_before_its_wait_begins_is_delivered(client, server_factory):
    server = server_factory(publish=publish_at_once())
    action = XANAction(0, 150)
    assert client.enqueue_action(action) == 1
    deadline = time.monotonic() + 5
    while len(server.request_times) < 1 and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.2)  # the completion has been published by now
    begin = time.monotonic()
    assert in_thread(lambda: client.receive_dequeue_action([], action.cmd_id, [action.cmd_id], timeout=5)) == 1
    assert time.monotonic() - begin < 1.0


def test_a_wait_does_not_take_an_earlier_result_of_the_identifier_it_sends(client, server_factory):
    server = server_factory(publish=lambda r: (0, 0.0) if r["args"][0] == 7 else (1, 0.3))
    first = XANAction(0, 150, [7])
    assert client.enqueue_action(first) == 1
    time.sleep(0.2)  # result 0 of the first request arrives
    again = XANAction(0, 150, [8], cmd_id=first.cmd_id)
    assert in_thread(lambda: client.receive_dequeue_action([again], again.cmd_id, [again.cmd_id])) == 1
    assert len(server.requests) == 2


def test_waiting_command_ignores_results_of_identifiers_that_extend_its_own(client, server_factory):
    # The awaited …-N is a prefix of …-N0: before, that result ended the wait after the quiet period.
    record = struct.pack(kc.action_datatype, *([0] * 8), *([b""] * 5), 1)

    def publish(request):
        server.schedule([(request["cmd_id"] + "0").encode(), record])
        return 1, 5.5

    server = server_factory(publish=publish)
    assert in_thread(lambda: client.generate_condition_and_send(0, 150, block=True)) == 1


def test_process_exits_promptly_with_a_receive_thread_that_has_no_message(settings_path, address):
    script = ("import kinra_client as kc\n"
              f"c = kc.KinraClient({settings_path!r})\n"
              f"t = kc.RecvTread(c.context, {address!r}, 5001, 'PC-1', ['PC-1'])\n"
              "t.start()\n"
              "del t, c\n")
    begin = time.monotonic()
    finished = subprocess.run([sys.executable, "-c", script], env=dict(os.environ), timeout=30, capture_output=True)
    assert finished.returncode == 0, finished.stderr
    assert time.monotonic() - begin < 10


@pytest.mark.parametrize("server, result", [("silent publisher", []), ("no server", -3)])
def test_a_long_wait_uses_next_to_no_cpu(client, server_factory, server, result):
    if server == "silent publisher":
        server_factory()  # accepts, never publishes
    action = XANAction(0, 150, cmd_id=client.generate_func_id())
    begin, cpu = time.monotonic(), time.process_time()
    assert in_thread(lambda: client.receive_dequeue_action([action], action.cmd_id, [action.cmd_id], timeout=2)) == result
    # A busy loop would take about as much CPU as the wait lasted.
    assert time.process_time() - cpu < 0.25 * (time.monotonic() - begin)
