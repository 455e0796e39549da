"""The server outlives malformed protocol messages, odd documents and a checker process that dies."""

import asyncio
import json
import os
import signal
import sys

import pytest
from lsprotocol import types

from lsp_support import ROOT, WAIT, child_env, editor, run


def _frame(body: bytes) -> bytes:
    return f"Content-Length: {len(body)}\r\n\r\n".encode() + body


async def _reply(stdout, wanted_id):
    """The response to request `wanted_id`, skipping notifications."""
    while True:
        header = await stdout.readuntil(b"\r\n\r\n")
        length = int(header.split(b"Content-Length:")[1].split(b"\r\n")[0])
        message = json.loads(await stdout.readexactly(length))
        if message.get("id") == wanted_id:
            return message


def _request(request_id, method, params):
    return _frame(json.dumps({"jsonrpc": "2.0", "id": request_id, "method": method, "params": params}).encode())


_OPENED = "file:///nowhere/a.vemo"
_AT = {"textDocument": {"uri": _OPENED}}
MALFORMED = [  # (frame, the id of the error reply, its code)
    (_frame(b"{not json"), None, -32700),
    (b"no header at all\r\n\r\n", None, -32700),
    (b"Content-Length: many\r\n\r\n", None, -32700),
    (_frame(b"\xff\xfe"), None, -32700),
    (_frame(json.dumps([1, 2, 3]).encode()), None, -32600),
    (_frame(json.dumps({"id": 7, "method": "textDocument/hover"}).encode()), 7, -32600),
    (_frame(json.dumps({"jsonrpc": "1.0", "id": 8, "method": "textDocument/hover"}).encode()), 8, -32600),
    (_request(10, "no/such/method", {}), 10, -32601),
    (_request(11, "textDocument/hover", {"textDocument": 5, "position": "here"}), 11, -32602),
    (_request(12, "textDocument/hover", dict(_AT, position={"line": -1, "character": 0})), 12, -32602),
    (_request(13, "textDocument/definition", dict(_AT, position={"line": 2 ** 31, "character": 0})), 13, -32602),
    (_request(14, "textDocument/completion", dict(_AT, position={"line": 0, "character": 2 ** 31})), 14, -32602),
    (_request(15, "textDocument/references", dict(_AT, position={"line": 0, "character": "x"},
                                                  context={"includeDeclaration": True})), 15, -32602),
]
# Positions inside the protocol's range but far outside the document: an answer, never a dead request.
FAR = [(_request(20 + i, method, dict(_AT, position={"line": 2 ** 31 - 1, "character": 2 ** 31 - 1}, **extra)), 20 + i)
       for i, (method, extra) in enumerate([("textDocument/hover", {}), ("textDocument/definition", {}),
                                            ("textDocument/completion", {}),
                                            ("textDocument/references", {"context": {"includeDeclaration": True}})])]


async def _start():
    return await asyncio.create_subprocess_exec(
        sys.executable, "-m", "vemo", "lsp", stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.PIPE, env=child_env(), cwd=str(ROOT))


async def _send(process, *frames):
    process.stdin.write(b"".join(frames))
    await process.stdin.drain()


async def _replies(stdout, count):
    """The next `count` responses (messages with an id and no method), in order."""
    found = []
    while len(found) < count:
        header = await stdout.readuntil(b"\r\n\r\n")
        length = int(header.split(b"Content-Length:")[1].split(b"\r\n")[0])
        message = json.loads(await stdout.readexactly(length))
        if "id" in message and "method" not in message:
            found.append(message)
    return found


def test_every_malformed_request_gets_an_error_reply_and_the_server_goes_on():
    opened = {"textDocument": {"uri": _OPENED, "languageId": "vemo", "version": 1, "text": "main = { x }\n"}}

    async def session():
        process = await _start()
        try:
            await _send(process, _request(1, "initialize", {"capabilities": {}}),
                        _frame(json.dumps({"jsonrpc": "2.0", "method": "textDocument/didOpen",
                                           "params": opened}).encode()),
                        _frame(json.dumps({"jsonrpc": "2.0", "method": "textDocument/didChange",
                                           "params": {"textDocument": 3}}).encode()),
                        *[frame for frame, _, _ in MALFORMED], *[frame for frame, _ in FAR])
            replies = await asyncio.wait_for(_replies(process.stdout, 1 + len(MALFORMED) + len(FAR)), WAIT)
            assert "capabilities" in replies[0]["result"]
            assert [(r["id"], r["error"]["code"]) for r in replies[1:1 + len(MALFORMED)]] == [
                (request_id, code) for _, request_id, code in MALFORMED]
            assert sorted(r["id"] for r in replies[1 + len(MALFORMED):]) == [request_id for _, request_id in FAR]
            # A request after the shutdown is refused with an answer too.
            await _send(process, _request(30, "shutdown", None))
            shutdown, = await asyncio.wait_for(_replies(process.stdout, 1), WAIT)
            assert shutdown == {"jsonrpc": "2.0", "id": 30, "result": None}
            await _send(process, _request(31, "textDocument/hover", dict(_AT, position={"line": 0, "character": 0})))
            late, = await asyncio.wait_for(_replies(process.stdout, 1), WAIT)
            assert late["id"] == 31 and late["error"]["code"] == -32600
        finally:
            process.kill()
            await process.wait()
    run(session)


@pytest.mark.parametrize("shut_down, code", [(True, 0), (False, 1)])
def test_exit_ends_the_server_with_the_protocols_code_and_no_traceback(shut_down, code):
    async def session():
        process = await _start()
        try:
            await _send(process, _request(1, "initialize", {"capabilities": {}}),
                        _frame(b'{"jsonrpc": "2.0", "method": "initialized", "params": {}}'))
            await asyncio.wait_for(_replies(process.stdout, 1), WAIT)
            if shut_down:
                await _send(process, _request(2, "shutdown", None))
                await asyncio.wait_for(_replies(process.stdout, 1), WAIT)
            await _send(process, _frame(b'{"jsonrpc": "2.0", "method": "exit"}'))
            assert await asyncio.wait_for(process.wait(), WAIT) == code
            assert (stderr := await process.stderr.read()) == b"", stderr.decode()
        finally:
            if process.returncode is None:
                process.kill()
                await process.wait()
    run(session)


def test_oversized_frame_is_skipped_with_an_error_and_the_next_one_is_read():
    from vemo.lsp.transport import MAX_FRAME

    async def session():
        process = await _start()
        try:
            await _send(process, _request(1, "initialize", {"capabilities": {}}))
            await asyncio.wait_for(_replies(process.stdout, 1), WAIT)
            chunk = b" " * (1024 * 1024)
            process.stdin.write(f"Content-Length: {MAX_FRAME + 1}\r\n\r\n".encode())
            for _ in range(MAX_FRAME // len(chunk)):
                process.stdin.write(chunk)
                await process.stdin.drain()
            await _send(process, b" ", _request(2, "shutdown", None))
            skipped, shutdown = await asyncio.wait_for(_replies(process.stdout, 2), WAIT)
            assert skipped["id"] is None and skipped["error"]["code"] == -32600
            assert shutdown["id"] == 2 and shutdown["result"] is None
        finally:
            process.kill()
            await process.wait()
    run(session)


def _children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as listing:
        return [int(child) for child in listing.read().split()]


def test_checker_that_dies_is_replaced(tmp_path):
    (tmp_path / "cell.yaml").write_text((ROOT / "examples" / "cell.yaml").read_text())
    script = tmp_path / "s.vemo"
    script.write_text("main = { move @XAxis to park }\n")

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            assert await ed.diagnostics(uri) == []
            for checker in _children(ed.client._server.pid):
                os.kill(checker, signal.SIGKILL)
            # The first check after the death may report it; the server goes on checking.
            for attempt in range(3):
                ed.change(uri, f"main = {{ move @XAxis to nowhere{attempt} }}\n")
                found = await ed.diagnostics(uri)
                if found and "no position" in found[0].message:
                    break
                assert "ended unexpectedly" in found[0].message
            else:
                raise AssertionError("no check after the checker process died")
    run(session)


def test_deeply_nested_script_gets_a_diagnostic_not_a_dead_server(tmp_path):
    script = tmp_path / "deep.vemo"
    script.write_text("main = " + "loop 2 times " * 3000 + "{ x }\n")

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            assert any(d.severity == types.DiagnosticSeverity.Error for d in await ed.diagnostics(uri))
            ed.change(uri, "main = { x }\n")
            assert [d.severity for d in await ed.diagnostics(uri)] == [types.DiagnosticSeverity.Information]
    run(session)
