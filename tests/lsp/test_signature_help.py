"""Signature help for `call @Module.operation(`: the operation's parameters and which one is being written."""

import shutil

import pytest
from lsprotocol import types

from lsp_support import ROOT, editor, run

EXAMPLES = ROOT / "examples"


@pytest.mark.parametrize("typed, label, active", [
    ("call @Gripper.dwell(", "Gripper.dwell(milliseconds, reason='')", 0),
    ('call @Gripper.dwell(100, "a, b", ', "Gripper.dwell(milliseconds, reason='')", 1),
    ("call @XAxis.home(", "XAxis.home()", 0),
    ("call @XAxis.spin(", None, None),
    ("call @XAxis.dwell(1) ", None, None),
])
def test_signature_help_shows_the_parameters_of_the_operation_being_called(tmp_path, typed, label, active):
    shutil.copy(EXAMPLES / "cell.yaml", tmp_path / "cell.yaml")
    script = tmp_path / "s.vemo"
    text = "main = { move @XAxis to park }\n"
    script.write_text(text)

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            await ed.diagnostics(uri)  # the cell's modules are known from the first check on
            ed.change(uri, text + "x = { " + typed)
            found = await ed.request("text_document_signature_help_async", types.SignatureHelpParams(
                types.TextDocumentIdentifier(uri), types.Position(1, len("x = { " + typed))))
            if label is None:
                assert found is None
                return
            assert [s.label for s in found.signatures] == [label]
            assert found.active_parameter == active
            assert "holds still" in (found.signatures[0].documentation or "") or label.endswith("home()")
    run(session)
