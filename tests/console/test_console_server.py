"""The console server over HTTP: the token guards every request, the event stream carries the run from its
start, commands are checked before they go to the run."""

import os
import socket
import stat
import subprocess
import sys
import threading
import time

import pytest

from consolesupport import ROOT, EventStream, get, post
from vemo.run.console.address import parse_listen
from vemo.run.console.server import MIN_PUBLISH_INTERVAL


def _base(url):
    return url.partition("/?")[0]


def _token(url):
    return url.partition("token=")[2]


@pytest.mark.parametrize("path", ["/", "/console.js", "/console.css", "/events", "/no/such/page"])
@pytest.mark.parametrize("credentials, status", [
    ("", 401), ("?token=not-the-token", 403), ("?token=", 401),
])
def test_every_request_without_the_run_token_is_refused(served, path, credentials, status):
    url = served[1]
    assert get(_base(url) + path + credentials)[0] == status


@pytest.mark.parametrize("headers, status", [
    ({}, 401), ({"Authorization": "Bearer wrong"}, 403),
])
def test_commands_without_the_token_are_refused(served, headers, status):
    url = served[1]
    assert post(_base(url) + "/api/command", {"command": "stop"}, headers=headers)[0] == status


def test_the_page_and_its_files_are_served_with_the_token_and_load_nothing_from_elsewhere(served):
    url = served[1]
    status, page = get(url)
    assert status == 200 and f"console.js?token={_token(url)}" in page
    assert "http" not in page.replace(url, "")
    for name in ("console.js", "console.css"):
        status, body = get(f"{_base(url)}/{name}", headers={"Authorization": f"Bearer {_token(url)}"})
        assert status == 200 and "http://" not in body and "https://" not in body


def test_token_file_is_private_and_kept_for_the_run(hand_run, console):
    first = console(hand_run.dir)
    token_file = hand_run.dir / "console-token"
    assert stat.S_IMODE(token_file.stat().st_mode) == 0o600
    assert token_file.read_text().strip() == _token(first)
    assert _token(console(hand_run.dir)) == _token(first)


def test_a_token_file_others_can_read_is_refused(hand_run):
    token_file = hand_run.dir / "console-token"
    token_file.write_text("x" * 43 + "\n")
    os.chmod(token_file, 0o644)
    result = _vemo_console(hand_run.dir)
    assert result.returncode == 1 and "mode 0600" in result.stderr and "Traceback" not in result.stderr


@pytest.mark.parametrize("body, content_type, status", [
    ({"command": "input", "module": "IO", "point": "door", "value": "on"}, "application/json", 400),
    ({"command": "format-disk"}, "application/json", 400),
    (b"{not json", "application/json", 400),
    (b"[" * 3000, "application/json", 400),
    (b"command=stop", "application/x-www-form-urlencoded", 415),
])
def test_malformed_or_foreign_commands_are_refused_before_they_reach_the_run(served, body, content_type, status):
    url = served[1]
    reply = post(_base(url) + "/api/command", body, content_type=content_type,
                 headers={"Authorization": f"Bearer {_token(url)}"})
    assert reply[0] == status and reply[1]["ok"] is False


def test_a_stream_opened_mid_run_starts_with_what_is_done_and_follows_new_events(hand_run, console):
    hand_run.action("XAxis", 1)
    hand_run.action("Gripper", 1)
    url = console(hand_run.dir)
    stream = EventStream(url)
    try:
        first = stream.until(lambda s: s["state"] == "running")
        assert {m["name"]: m["done"] for m in first["modules"]} == {"XAxis": 1, "Gripper": 1}
        assert first["chart"].count("<rect") >= 2
        hand_run.action("XAxis", 2, outcome=None)
        running = stream.until(lambda s: s["modules"][0]["current"] is not None)
        assert running["modules"][0]["current"]["text"] == "move @XAxis to p2"
        hand_run.write("run_ended", exit_code=0, outcome="finished")
        assert stream.until(lambda s: s["state"] == "ended")["ended"]["exit_code"] == 0
    finally:
        stream.close()


def _vemo_console(*args, timeout=30):
    return subprocess.run([sys.executable, "-m", "vemo", "console", *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, cwd=ROOT)


def test_vemo_console_without_a_run_says_so(tmp_path):
    result = _vemo_console(tmp_path)
    assert result.returncode == 1 and "no run here" in result.stderr and "Traceback" not in result.stderr


@pytest.mark.parametrize("listen", ["127.0.0.1:70000", "127.0.0.1:", "localhost:http", "[::1]"])
def test_an_address_that_is_not_host_and_port_is_a_usage_error(hand_run, listen):
    result = _vemo_console(hand_run.dir, "--listen", listen)
    assert result.returncode == 2 and "[HOST:]PORT" in result.stderr


@pytest.mark.parametrize("text, address", [
    ("8080", ("127.0.0.1", 8080)), ("0.0.0.0:0", ("0.0.0.0", 0)), ("[::1]:9000", ("::1", 9000)),
])
def test_listen_addresses(text, address):
    assert parse_listen(text) == address


def test_listening_beyond_loopback_warns_and_a_busy_port_is_a_clear_error(hand_run):
    process = subprocess.Popen([sys.executable, "-m", "vemo", "console", str(hand_run.dir), "--listen", "0.0.0.0:0"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=ROOT)
    try:
        warning = process.stderr.readline()
        assert "reachable from other machines" in warning
        line = process.stdout.readline()
        assert "http://127.0.0.1:" in line
        port = int(line.rpartition(":")[2].partition("/")[0])
        busy = _vemo_console(hand_run.dir, "--listen", f"127.0.0.1:{port}")
        assert busy.returncode == 1 and f"cannot listen on 127.0.0.1:{port}" in busy.stderr
    finally:
        process.terminate()
        assert process.wait(timeout=10) == 0


def test_a_run_whose_console_cannot_listen_stops_before_anything_moves(hand_run, console, tmp_path):
    port = int(console(hand_run.dir).rpartition(":")[2].partition("/")[0])
    run_dir = tmp_path / "refused"
    result = subprocess.run([sys.executable, "-m", "vemo", "run", "examples/pick_place.vemo", "--plain",
                             "--console", f"127.0.0.1:{port}", "--run-dir", str(run_dir)],
                            capture_output=True, text=True, timeout=60, cwd=ROOT)
    assert result.returncode == 1 and f"cannot listen on 127.0.0.1:{port}" in result.stderr
    assert "Traceback" not in result.stderr
    events = (run_dir / "journal.jsonl").read_text()
    assert "action_started" not in events and '"run_ended"' in events


def test_a_journal_that_is_not_a_run_is_reported_on_the_page(tmp_path, console):
    (tmp_path / "journal.jsonl").write_text('{"event": "run_started", "t": 0, "format": 1}\nnot json\n')
    stream = EventStream(console(tmp_path))
    try:
        assert "journal.jsonl:2: not a journal line" in stream.until(lambda s: s["error"])["error"]
    finally:
        stream.close()


# Journals that a console must refuse on its page, each with what the banner says.
HOSTILE_LINES = [
    (b'{"event": "x", "t": 1, "deep": ' + b"[" * 100_000 + b"]" * 100_000 + b"}", "nested more than"),
    (b'{"event": "action_started", "t": ' + b"9" * 400 + b', "module": "XAxis", "index": 1}', '"t" must be'),
    (b'{"event": "action_started", "t": 1e300, "module": "XAxis", "index": 1}', '"t" must be'),
    (b'{"event": "action_ended", "t": 1, "module": "XAxis", "index": 1, "outcome": ["error"]}', '"outcome" must'),
]


@pytest.mark.parametrize("line, message", HOSTILE_LINES, ids=["nested", "t of 400 digits", "t 1e300", "outcome list"])
def test_a_hostile_line_is_reported_on_the_page_and_the_view_stays_as_before(hand_run, console, line, message):
    hand_run.action("XAxis", 1)
    with open(hand_run.dir / "journal.jsonl", "ab") as out:
        out.write(line + b"\n")
    hand_run.action("XAxis", 2)  # after the bad line: never shown
    stream = EventStream(console(hand_run.dir))
    try:
        snapshot = stream.until(lambda s: s["error"])
        assert "journal.jsonl:8: " in snapshot["error"] and message in snapshot["error"], snapshot["error"]
        assert [m["done"] for m in snapshot["modules"] if m["name"] == "XAxis"] == [1]
        assert len(snapshot["chart"]) < 20_000
    finally:
        stream.close()


def test_a_page_that_stops_reading_and_then_closes_leaves_no_traceback(hand_run):
    process = subprocess.Popen([sys.executable, "-m", "vemo", "console", str(hand_run.dir), "--listen", "127.0.0.1:0"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=ROOT)
    try:
        lines = []
        reader = threading.Thread(target=lambda: lines.append(process.stdout.readline()), daemon=True)
        reader.start()
        reader.join(30)
        url = (lines or [""])[0].strip().rpartition(": ")[2]
        port = int(url.rpartition(":")[2].partition("/")[0])
        page = socket.socket()
        page.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        page.settimeout(10)
        page.connect(("127.0.0.1", port))
        page.sendall(f"GET /events?token={_token(url)} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        # The run goes on while the page reads nothing: large snapshots fill every buffer up to the server's.
        for _ in range(60):
            hand_run.action("XAxis", 1, outcome="error", reason="r" * 100_000)
            time.sleep(MIN_PUBLISH_INTERVAL * 1.5)
        page.close()  # with unread data: the server's side is reset
        time.sleep(1.0)
    finally:
        process.terminate()
        _, errors = process.communicate(timeout=10)
    assert "Traceback" not in errors and "Error handling request" not in errors, errors
