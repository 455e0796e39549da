"""What the server holds stays bounded: documents over the size cap, checker processes per cell, and what
the language side imports."""

import asyncio
import textwrap

from lsprotocol import types

from lsp_support import ROOT, editor, run
from frontend_support import run_python

from vemo.lsp.server import MAX_DOCUMENT_BYTES
from vemo.lsp.workers import MAX_CHECKERS

CELL = (ROOT / "examples" / "cell.yaml").read_text()
POLL = 0.05  # seconds between looks at the server's child processes


def _children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as listing:
        return [int(child) for child in listing.read().split()]


async def _settled_children(pid, wanted):
    """The server's child processes once their number is `wanted` (checkers end a moment after a check)."""
    async def settled():
        while len(_children(pid)) != wanted:
            await asyncio.sleep(POLL)
    try:
        await asyncio.wait_for(settled(), 10)
    except asyncio.TimeoutError:
        pass
    return _children(pid)


def test_document_over_the_size_cap_gets_one_diagnostic_and_no_check(tmp_path):
    (tmp_path / "cell.yaml").write_text(CELL)
    big = "main = { move @XAxis to park }\n" + "# padding\n" * (MAX_DOCUMENT_BYTES // 10)

    async def session():
        async with editor() as ed:
            uri = ed.open(tmp_path / "big.vemo", big)
            found = await ed.diagnostics(uri)
            assert [d.message for d in found] == [
                f"this document is larger than {MAX_DOCUMENT_BYTES // (1024 * 1024)} MiB, the most `vemo check` "
                f"reads: it is not checked"]
            assert _children(ed.client._server.pid) == []
            ed.change(uri, "main = { move @XAxis to nowhere }\n")
            assert ["no position 'nowhere'" in d.message for d in await ed.diagnostics(uri)] == [True]
    run(session)


def test_checkers_are_capped_and_end_when_no_open_document_uses_their_cell(tmp_path):
    cells = [f"c{i}.yaml" for i in range(MAX_CHECKERS + 3)]
    for name in cells:
        (tmp_path / name).write_text(CELL)
    other = tmp_path / "other.vemo"
    other.write_text(f"# cell: {cells[0]}\nmain = {{ move @XAxis to park }}\n")

    async def session():
        async with editor() as ed:
            pid = ed.client._server.pid
            kept = ed.open(other)
            assert await ed.diagnostics(kept) == []
            uri = ed.open(tmp_path / "typed.vemo", "main = { move @XAxis to park }\n")
            await ed.diagnostics(uri)
            most = 0
            for name in cells[1:]:  # a cell path typed over and over, each a cell of its own
                ed.change(uri, f"# cell: {name}\nmain = {{ move @XAxis to park }}\n")
                assert await ed.diagnostics(uri) == []
                most = max(most, len(_children(pid)))
            assert most <= MAX_CHECKERS
            # The typed document's cell and the other document's.
            assert len(await _settled_children(pid, 2)) == 2
            ed.client.text_document_did_close(types.DidCloseTextDocumentParams(types.TextDocumentIdentifier(uri)))
            assert len(await _settled_children(pid, 1)) == 1
            ed.client.text_document_did_close(types.DidCloseTextDocumentParams(types.TextDocumentIdentifier(kept)))
            assert await _settled_children(pid, 0) == []
    run(session)


def test_the_language_side_the_cell_and_the_language_server_never_load_the_run_side():
    result = run_python(textwrap.dedent(f"""
        import importlib, pkgutil, sys
        import vemo.cell, vemo.lang, vemo.lsp, vemo.util
        from vemo.lsp.checker import Checker
        checker = Checker({str(ROOT / "examples" / "cell.yaml")!r})  # puts the host modules in place
        text = open({str(ROOT / "examples" / "pick_place.vemo")!r}).read()
        assert checker.check("u", "p.vemo", text)["diagnostics"] == []
        assert "handler" in checker.hover("u", text.index("move @ZAxis"))["markdown"]
        for package in (vemo.lang, vemo.cell, vemo.util, vemo.lsp):
            for module in pkgutil.walk_packages(package.__path__, package.__name__ + "."):
                importlib.import_module(module.name)
        print(sorted(name for name in sys.modules if name.startswith("vemo.run")))
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"
