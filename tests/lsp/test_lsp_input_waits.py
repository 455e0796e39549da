"""`vemo lsp` on input waits: input names completed after `wait @Module`, hovers on the wait."""

import shutil

from lsprotocol import types

from lsp_support import ROOT, editor, position_of, run, text_at

EXAMPLES = ROOT / "examples"
PICK_SENSE = (EXAMPLES / "pick_sense.vemo").read_text()


def test_inputs_are_completed_after_wait_and_a_module_and_the_wait_hovers_with_its_reading(tmp_path):
    shutil.copy(EXAMPLES / "sensing_cell.yaml", tmp_path / "cell.yaml")
    (tmp_path / "handler").mkdir()
    shutil.copy(EXAMPLES / "handler" / "sensing.yaml", tmp_path / "handler" / "sensing.yaml")
    script = tmp_path / "pick_sense.vemo"
    script.write_text(PICK_SENSE)

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            assert [d for d in await ed.diagnostics(uri) if d.severity == types.DiagnosticSeverity.Error] == []
            for typed, wanted, unwanted in [("    { wait @Gripper ", {"vacuum_ok"}, {"vacuum", "blow"}),
                                            ("    { wait @Feeder pa", {"part_present"}, {"vacuum_ok", "move"})]:
                text = PICK_SENSE + typed
                ed.change(uri, text)
                lines = text.split("\n")
                result = await ed.request("text_document_completion_async", types.CompletionParams(
                    types.TextDocumentIdentifier(uri), types.Position(len(lines) - 1, len(lines[-1]))))
                labels = {item.label for item in result.items}
                assert wanted <= labels and not unwanted & labels, (typed, labels)
            ed.change(uri, PICK_SENSE)
            await ed.diagnostics(uri)
            hover = await ed.request("text_document_hover_async", types.HoverParams(
                types.TextDocumentIdentifier(uri), position_of(PICK_SENSE, "vacuum_ok on within")))
            text = hover.contents.value
            assert "`waiting for Gripper.vacuum_ok on within 500 ms` on Gripper (io, handler id 11)" in text
            assert "input condition on input 0 being on; waits at most 0.5 s" in text
            assert "Estimated duration: 0.03 s (runs 4 times)" in text
            assert text_at(PICK_SENSE, hover.range) == "wait @Gripper vacuum_ok on within 500 ms"
    run(session)
