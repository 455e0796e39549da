"""Renaming declared blocks and step labels (with prepareRename), and highlighting a name's uses, over stdio."""

import re
import shutil

import pytest
from lsprotocol import types

from lsp_support import ROOT, editor, position_of, run, text_at

EXAMPLES = ROOT / "examples"
PICK_PLACE = (EXAMPLES / "pick_place.vemo").read_text()


@pytest.fixture
def script(tmp_path):
    shutil.copy(EXAMPLES / "cell.yaml", tmp_path / "cell.yaml")
    path = tmp_path / "pick_place.vemo"
    path.write_text(PICK_PLACE)
    return path


def applied(text, edits):
    """The text with a list of edits (on distinct places) applied."""
    lines = text.split("\n")
    for edit in sorted(edits, key=lambda e: (e.range.start.line, e.range.start.character), reverse=True):
        assert edit.range.start.line == edit.range.end.line
        line = lines[edit.range.start.line]
        lines[edit.range.start.line] = line[:edit.range.start.character] + edit.new_text + line[edit.range.end.character:]
    return "\n".join(lines)


@pytest.mark.parametrize("at, skip, new_name, old", [
    ("{ approach }", 3, "reach", "approach"),      # from a use of a block
    ("approach =", 0, "reach", "approach"),         # from its declaration
    ("wait z_drop", 6, "z_release", "z_drop"),      # from a wait, to the label
    ("grip:", 1, "hold", "grip"),                   # from the label
])
def test_rename_changes_the_declaration_and_every_use_and_the_result_checks_clean(script, at, skip, new_name, old):
    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            assert await ed.diagnostics(uri) == []
            where = position_of(PICK_PLACE, at, skip)
            prepared = await ed.request("text_document_prepare_rename_async", types.PrepareRenameParams(
                types.TextDocumentIdentifier(uri), where))
            assert prepared.placeholder == old and text_at(PICK_PLACE, prepared.range) == old
            edit = await ed.request("text_document_rename_async", types.RenameParams(
                types.TextDocumentIdentifier(uri), where, new_name))
            edits = edit.changes[uri]
            assert {text_at(PICK_PLACE, e.range) for e in edits} == {old}
            renamed = applied(PICK_PLACE, edits)
            code = re.sub(r"#[^\n]*", "", renamed)
            assert re.search(rf"(?<![\w@]){old}\b", code) is None  # every use went
            assert len(re.findall(rf"\b{new_name}\b", code)) == len(edits)
            ed.change(uri, renamed)
            assert await ed.diagnostics(uri) == []
    run(session)


@pytest.mark.parametrize("at, new_name, why", [
    ("approach =", "cycle", "already a block"),
    ("grip:", "release", "already a step label"),
    ("grip:", "then", "keyword"),
    ("grip:", "2go", "not a name"),
    ("move @ZAxis", None, "only declared blocks and step labels"),
])
def test_rename_refuses_what_would_break_the_script(script, at, new_name, why):
    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            await ed.diagnostics(uri)
            with pytest.raises(Exception, match=why):
                await ed.request("text_document_rename_async", types.RenameParams(
                    types.TextDocumentIdentifier(uri), position_of(PICK_PLACE, at), new_name or "x"))
    run(session)


def test_rename_waits_for_a_text_that_parses(script):
    broken = PICK_PLACE + "oops = {\n"

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            ed.change(uri, broken)
            await ed.diagnostics(uri)
            with pytest.raises(Exception, match="does not parse"):
                await ed.request("text_document_prepare_rename_async", types.PrepareRenameParams(
                    types.TextDocumentIdentifier(uri), position_of(broken, "grip:")))
    run(session)


@pytest.mark.parametrize("at, skip, wanted", [
    ("z_drop:", 0, [("z_drop:", types.DocumentHighlightKind.Write), ("wait z_drop", types.DocumentHighlightKind.Read)]),
    ("vacuum on", 0, [("vacuum on", types.DocumentHighlightKind.Text), ("vacuum off", types.DocumentHighlightKind.Text)]),
])
def test_document_highlight_marks_the_definition_and_the_uses(script, at, skip, wanted):
    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            found = await ed.request("text_document_document_highlight_async", types.DocumentHighlightParams(
                types.TextDocumentIdentifier(uri), position_of(PICK_PLACE, at, skip)))
            expected = [(position_of(PICK_PLACE, needle, 5 if needle.startswith("wait") else 0), kind)
                        for needle, kind in wanted]
            assert [(h.range.start, h.kind) for h in found] == expected
    run(session)
