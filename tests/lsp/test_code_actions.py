"""Quick fixes for misspelt names, offered from the names the diagnostics list, over stdio."""

import shutil

import pytest
from lsprotocol import types

from lsp_support import ROOT, editor, run

EXAMPLES = ROOT / "examples"
PICK_PLACE = (EXAMPLES / "pick_place.vemo").read_text()


@pytest.mark.parametrize("old, new, first_fix", [
    ("to place }", "to plcae }", "place"),
    ("move @ZAxis to down }", "move @ZAxs to down }", "@ZAxis"),
    ("vacuum on", "vacum on", "vacuum"),
    ("{ approach }", "{ aproach }", "approach"),
    ("along reload", "along relaod", "reload"),
])
def test_quick_fix_replaces_the_misspelt_name_with_the_closest_known_one(tmp_path, old, new, first_fix):
    shutil.copy(EXAMPLES / "cell.yaml", tmp_path / "cell.yaml")
    source = (EXAMPLES / "tray_compete.vemo").read_text() if "reload" in old else PICK_PLACE
    broken = source.replace(old, new, 1)
    script = tmp_path / "s.vemo"
    script.write_text(broken)

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            found = [d for d in await ed.diagnostics(uri) if d.severity == types.DiagnosticSeverity.Error]
            assert len(found) == 1
            actions = await ed.request("text_document_code_action_async", types.CodeActionParams(
                types.TextDocumentIdentifier(uri), found[0].range, types.CodeActionContext(diagnostics=found)))
            assert actions and actions[0].kind == types.CodeActionKind.QuickFix and actions[0].is_preferred
            assert actions[0].title == f"Change to '{first_fix}'"
            edit, = actions[0].edit.changes[uri]
            assert edit.new_text == first_fix
            lines = broken.split("\n")
            line = lines[edit.range.start.line]
            lines[edit.range.start.line] = line[:edit.range.start.character] + edit.new_text + line[edit.range.end.character:]
            ed.change(uri, "\n".join(lines))
            assert [d for d in await ed.diagnostics(uri) if d.severity == types.DiagnosticSeverity.Error] == []
    run(session)


def test_no_quick_fix_for_a_diagnostic_without_a_name_to_offer(tmp_path):
    shutil.copy(EXAMPLES / "cell.yaml", tmp_path / "cell.yaml")
    broken = PICK_PLACE.replace("wait z_lift", "wait z_back", 1)  # a wait cycle
    script = tmp_path / "s.vemo"
    script.write_text(broken)

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            found = await ed.diagnostics(uri)
            assert found
            actions = await ed.request("text_document_code_action_async", types.CodeActionParams(
                types.TextDocumentIdentifier(uri), found[0].range, types.CodeActionContext(diagnostics=found)))
            assert not actions
    run(session)
