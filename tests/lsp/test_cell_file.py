"""The cell description from the script's side and on its own: definitions of modules and their names
lead into cell.yaml, and an open cell.yaml gets its own diagnostics, over stdio."""


import pytest
from lsprotocol import types

from lsp_support import ROOT, editor, position_of, run

EXAMPLES = ROOT / "examples"
CELL = (EXAMPLES / "cell.yaml").read_text()
PICK_PLACE = (EXAMPLES / "pick_place.vemo").read_text()


@pytest.mark.parametrize("at, skip, key", [
    ("move @ZAxis", 6, "ZAxis:"),                        # a module
    ("to place", 3, "place: 480"),                       # one of its positions
    ("set @Gripper vacuum", 13, "vacuum: 3"),            # an IO point
])
def test_definition_of_a_cell_name_is_where_the_cell_file_writes_it(tmp_path, at, skip, key):
    (tmp_path / "cell.yaml").write_text(CELL)
    script = tmp_path / "pick_place.vemo"
    script.write_text(PICK_PLACE)

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            await ed.diagnostics(uri)
            found = await ed.request("text_document_definition_async", types.DefinitionParams(
                types.TextDocumentIdentifier(uri), position_of(PICK_PLACE, at, skip)))
            assert found.uri == (tmp_path / "cell.yaml").resolve().as_uri()
            assert found.range.start == position_of(CELL, key)
            assert found.range.end.character == found.range.start.character + len(key.split(":")[0])
    run(session)


@pytest.mark.parametrize("old, new, marked, words", [
    ("park: 20,", "park: twenty,", "park", "position park: expected a number"),
    ("kind: io", "kind: lathe", "Gripper", "kind must be one of"),
    ("modules:\n", "modules: [\n", None, "not valid YAML"),
])
def test_open_cell_file_gets_its_own_diagnostics_where_the_fault_is(tmp_path, old, new, marked, words):
    cell = tmp_path / "cell.yaml"
    cell.write_text(CELL)

    async def session():
        async with editor() as ed:
            uri = ed.open(cell)
            assert await ed.diagnostics(uri) == []
            broken = CELL.replace(old, new, 1)
            ed.change(uri, broken)
            found = await ed.diagnostics(uri)
            assert len(found) == 1 and words in found[0].message
            if marked is not None:
                line = broken.split("\n")[found[0].range.start.line]
                assert line[found[0].range.start.character:found[0].range.end.character] == marked
    run(session)
