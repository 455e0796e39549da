"""The control socket under clients that misbehave: stalled readers, idle connections, descriptors running
out, clients gone before their answer, and lines at the documented length limit."""

import json
import os
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from vemo.run import controlsocket
from vemo.run.controlsocket import MAX_CONNECTIONS, MAX_REQUEST_BYTES, ControlError, ControlServer, send


class Control:
    """A control double: records the requests it applies; `slow` makes the next request take that long."""

    def __init__(self):
        self.applied = []
        self.slow = 0.0

    def handle(self, request):
        if self.slow:
            delay, self.slow = self.slow, 0.0
            time.sleep(delay)
        self.applied.append(request.get("command"))
        return {"ok": True, "state": "running"}


@pytest.fixture
def served(tmp_path):
    control = Control()
    with ControlServer(tmp_path, control) as server:
        yield tmp_path, control, server


def connect(server):
    connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    connection.settimeout(5)
    controlsocket._connect(connection, str(server.path), time.monotonic() + 5)
    return connection


def flood(connection, line):
    """Sends `line` over and over without reading until the socket takes no more."""
    connection.setblocking(False)
    try:
        while True:
            connection.send(line * 256)
    except BlockingIOError:
        pass


@pytest.mark.parametrize("stalled", [1, 4])
def test_clients_that_never_read_do_not_delay_another(served, stalled):
    run_dir, control, server = served
    clients = [connect(server) for _ in range(stalled)]
    try:
        for client in clients:
            flood(client, b'{"command": "status"}\n')
        started = time.monotonic()
        assert send(run_dir, "pause") == {"ok": True, "state": "running"}
        assert time.monotonic() - started < controlsocket.CLIENT_TIMEOUT_SECONDS
    finally:
        for client in clients:
            client.close()
    assert server.alive()


def test_a_command_whose_client_left_before_it_was_taken_is_not_applied(served):
    run_dir, control, server = served
    control.slow = 0.5  # the server is busy with another client's request meanwhile
    busy = threading.Thread(target=send, args=(run_dir, "status"))
    busy.start()
    time.sleep(0.1)
    with connect(server) as gone:
        gone.sendall(b'{"command": "pause"}\n')
    busy.join(timeout=5)
    assert send(run_dir, "status")["ok"]
    assert control.applied == ["status", "status"]


def test_answers_after_the_clients_send_side_is_shut(served):
    run_dir, control, server = served
    with connect(server) as client:
        client.sendall(b'{"command": "status"}\n{"command": "resume"}\n')
        client.shutdown(socket.SHUT_WR)
        answers = client.makefile("rb").read().splitlines()
    assert [json.loads(a)["ok"] for a in answers] == [True, True] and control.applied == ["status", "resume"]


def test_a_client_that_times_out_is_told_its_command_may_still_apply(tmp_path, monkeypatch):
    monkeypatch.setattr(controlsocket, "CLIENT_TIMEOUT_SECONDS", 0.2)
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as silent:
        silent.bind(str(tmp_path / "control"))
        silent.listen(1)
        with pytest.raises(ControlError, match="did not answer within 0.2 s; the pause may still take effect"):
            send(tmp_path, "pause")


def test_idle_connections_are_capped_and_control_goes_on(served):
    run_dir, control, server = served
    idle = [connect(server) for _ in range(MAX_CONNECTIONS * 4)]
    try:
        assert send(run_dir, "status")["ok"]
        assert server.connections() <= MAX_CONNECTIONS
    finally:
        for connection in idle:
            connection.close()


def test_idle_and_stalled_connections_are_closed_after_their_time(served, monkeypatch):
    run_dir, control, server = served
    monkeypatch.setattr(controlsocket, "IDLE_SECONDS", 0.2)
    monkeypatch.setattr(controlsocket, "ANSWER_SECONDS", 0.2)
    with connect(server) as idle, connect(server) as stalled:
        flood(stalled, b'{"command": "status"}\n')
        idle.settimeout(5)
        assert idle.recv(1) == b""  # closed by the server
        deadline = time.monotonic() + 5
        while server.connections() and time.monotonic() < deadline:
            time.sleep(0.05)
        assert server.connections() == 0


# Runs a server in a process with few descriptors, fills them up, and frees them on a line of input.
_STARVED = textwrap.dedent("""
    import os, resource, sys, time
    from vemo.run.controlsocket import ControlServer
    class Control:
        def handle(self, request):
            return {"ok": True, "state": "running"}
    resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
    server = ControlServer(sys.argv[1], Control()).start()
    held = []
    try:
        while True:
            held.append(os.open(os.devnull, os.O_RDONLY))
    except OSError:
        pass
    print("full", flush=True)
    sys.stdin.readline()
    for fd in held:
        os.close(fd)
    print("freed", flush=True)
    sys.stdin.readline()
    print(server.alive(), server.faults > 0, flush=True)
""")


def test_the_server_survives_running_out_of_descriptors(tmp_path):
    child = subprocess.Popen([sys.executable, "-c", _STARVED, str(tmp_path)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "full"
        for _ in range(3):  # refused with a reason, not left hanging
            answer = send(tmp_path, "status")
            assert answer["ok"] is False and "no file descriptor left" in answer["error"]
        child.stdin.write("\n")
        child.stdin.flush()
        assert child.stdout.readline().strip() == "freed"
        assert send(tmp_path, "status")["ok"]
        child.stdin.write("\n")
        child.stdin.flush()
        assert child.stdout.readline().split() == ["True", "True"]
    finally:
        child.kill()
        child.wait(timeout=5)


@pytest.mark.parametrize("length, answered", [
    (MAX_REQUEST_BYTES, True),
    (MAX_REQUEST_BYTES + 1, False),
    (300_000, False),
])
def test_the_request_line_limit_is_the_documented_one(served, length, answered):
    run_dir, control, server = served
    request = b'{"command": "status"}'
    line = request + b" " * (length - len(request)) + b"\n"
    with connect(server) as client:
        client.sendall(line)  # a refused line is read to its end: no broken pipe
        answer = json.loads(client.makefile("rb").readline())
        if not answered:
            assert client.recv(1) == b""  # and the connection is closed
    if answered:
        assert answer == {"ok": True, "state": "running"}
    else:
        assert answer["ok"] is False and "longer than 65536 bytes (64 KiB)" in answer["error"]
        assert control.applied == []
    assert send(run_dir, "status")["ok"]
