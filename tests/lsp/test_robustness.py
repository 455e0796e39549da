"""The server outlives malformed protocol messages, odd documents and a checker process that dies."""

import asyncio
import json
import os
import signal
import sys

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


def test_server_answers_after_malformed_messages():
    garbage = [
        _frame(b"{not json"),
        _frame(json.dumps({"jsonrpc": "2.0", "id": 2, "method": "no/such/method"}).encode()),
        _frame(json.dumps({"jsonrpc": "2.0", "id": 3, "method": "textDocument/hover",
                           "params": {"textDocument": 5, "position": "here"}}).encode()),
        _frame(json.dumps({"jsonrpc": "2.0", "method": "textDocument/didChange",
                           "params": {"textDocument": {"uri": "file:///never/opened.vemo", "version": 2},
                                      "contentChanges": [{"text": "x"}]}}).encode()),
        _frame(json.dumps({"jsonrpc": "2.0", "id": 4, "method": "textDocument/completion",
                           "params": {"textDocument": {"uri": "file:///never/opened.vemo"},
                                      "position": {"line": 0, "character": 0}}}).encode()),
        _frame(json.dumps([1, 2, 3]).encode()),
    ]

    async def session():
        process = await asyncio.create_subprocess_exec(
            sys.executable, "-m", "vemo", "lsp", stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.DEVNULL, env=child_env(), cwd=str(ROOT))
        try:
            initialize = {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {"capabilities": {}}}
            process.stdin.write(_frame(json.dumps(initialize).encode()) + b"".join(garbage))
            await process.stdin.drain()
            assert "capabilities" in (await asyncio.wait_for(_reply(process.stdout, 1), WAIT))["result"]
            # Requests the library turns away get no answer; a request about a document that is not
            # open gets an empty one.
            unopened = await asyncio.wait_for(_reply(process.stdout, 4), WAIT)
            assert unopened["result"]["items"] == []
            shutdown = {"jsonrpc": "2.0", "id": 9, "method": "shutdown"}
            process.stdin.write(_frame(json.dumps(shutdown).encode()))
            await process.stdin.drain()
            assert (await asyncio.wait_for(_reply(process.stdout, 9), WAIT))["result"] is None
            assert process.returncode is None
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
