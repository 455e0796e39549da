"""Outline, workspace symbols and folding of scripts, over stdio."""

import shutil

import pytest
from lsprotocol import types

from lsp_support import ROOT, editor, position_of, run, text_at

EXAMPLES = ROOT / "examples"
PICK_PLACE = (EXAMPLES / "pick_place.vemo").read_text()


@pytest.fixture
def folder(tmp_path):
    shutil.copy(EXAMPLES / "cell.yaml", tmp_path / "cell.yaml")
    (tmp_path / "pick_place.vemo").write_text(PICK_PLACE)
    return tmp_path


def test_document_symbols_are_the_declarations_with_their_step_labels(folder):
    async def session():
        async with editor() as ed:
            uri = ed.open(folder / "pick_place.vemo")
            found = await ed.request("text_document_document_symbol_async", types.DocumentSymbolParams(
                types.TextDocumentIdentifier(uri)))
            assert [(s.name, s.kind) for s in found] == [("approach", types.SymbolKind.Function),
                                                         ("cycle", types.SymbolKind.Function),
                                                         ("main", types.SymbolKind.Function)]
            cycle = found[1]
            assert [c.name for c in cycle.children] == ["x_pick", "x_place", "z_down", "z_lift", "z_drop", "z_back",
                                                         "grip", "release"]
            assert text_at(PICK_PLACE, cycle.selection_range) == "cycle"
            assert cycle.range.start == position_of(PICK_PLACE, "cycle =")
            assert PICK_PLACE.split("\n")[cycle.range.end.line].strip() == "}"
            # A syntax error below leaves the outline of the last text that parsed.
            ed.change(uri, PICK_PLACE + "broken = {\n")
            await ed.diagnostics(uri)
            again = await ed.request("text_document_document_symbol_async", types.DocumentSymbolParams(
                types.TextDocumentIdentifier(uri)))
            assert [s.name for s in again] == ["approach", "cycle", "main"]
    run(session)


@pytest.mark.parametrize("query, wanted", [
    ("", {"approach", "cycle", "main", "x_pick", "z_lift", "shuttle"}),
    ("zlf", {"z_lift"}),
    ("SHUT", {"shuttle"}),
    ("nothing", set()),
])
def test_workspace_symbols_come_from_open_scripts_and_the_others_of_the_folder(folder, query, wanted):
    (folder / "other.vemo").write_text("shuttle = { move @XAxis to pick }\nmain = { shuttle }\n")

    async def session():
        async with editor(root=folder) as ed:
            uri = ed.open(folder / "pick_place.vemo")
            await ed.diagnostics(uri)
            found = await ed.request("workspace_symbol_async", types.WorkspaceSymbolParams(query=query))
            names = {s.name for s in found}
            assert wanted <= names and (wanted or not names)
            if query == "SHUT":
                assert [s.location.uri for s in found] == [(folder / "other.vemo").resolve().as_uri()]
            if query == "zlf":
                assert found[0].container_name == "cycle"
    run(session)


def test_folding_ranges_cover_multi_line_declarations_and_blocks(folder):
    async def session():
        async with editor() as ed:
            uri = ed.open(folder / "pick_place.vemo")
            found = await ed.request("text_document_folding_range_async", types.FoldingRangeParams(
                types.TextDocumentIdentifier(uri)))
            lines = PICK_PLACE.split("\n")
            spans = {(lines[f.start_line].strip(), lines[f.end_line].strip()) for f in found}
            assert spans == {("cycle = async", "}"), ("then release: wait z_drop {", "}")}
    run(session)
