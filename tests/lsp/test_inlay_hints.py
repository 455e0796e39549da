"""Inlay hints give the estimated duration of each declared block and loop, the estimate `vemo check`
makes, over stdio."""

import json
import shutil

from lsprotocol import types

from lsp_support import ROOT, editor, position_of, run
from frontend_support import ENDLESS_NOT_COMPILED, run_vemo

EXAMPLES = ROOT / "examples"
PICK_PLACE = (EXAMPLES / "pick_place.vemo").read_text()


def test_each_declaration_and_loop_shows_its_estimated_duration(tmp_path):
    shutil.copy(EXAMPLES / "cell.yaml", tmp_path / "cell.yaml")
    script = tmp_path / "pick_place.vemo"
    script.write_text(PICK_PLACE + "twice = loop 2 times { move @XAxis to pick  move @XAxis to place }\n")
    text = script.read_text()
    checked = run_vemo("check", script, "--json")
    whole = json.loads(checked.stdout)["estimate"]["seconds"]

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            await ed.diagnostics(uri)
            lines = text.split("\n")
            everything = types.Range(types.Position(0, 0), types.Position(len(lines), 0))
            found = await ed.request("text_document_inlay_hint_async", types.InlayHintParams(
                types.TextDocumentIdentifier(uri), everything))
            hints = {(h.position.line, h.position.character): h.label for h in found}
            at = lambda needle, skip: (position_of(text, needle, skip).line, position_of(text, needle, skip).character)  # noqa: E731
            # approach: park then pick, 2 * sqrt(20/1000) + 100/250 + 250/1000 s (as its hover says).
            assert hints[at("approach =", 8)] == "≈ 0.93 s"
            assert hints[at("main =", 4)] == f"≈ {whole:.2f} s"
            assert hints[at("main = loop 3 times", 19)] == f"≈ {whole:.2f} s"
            # From home to pick (120 mm at 250 mm/s, 1000 mm/s²: 0.48 + 0.25 s), then three moves of 360 mm
            # between pick and place (1.44 + 0.25 s each).
            assert hints[at("twice = loop 2 times", 20)] == "≈ 5.80 s"
            # Only the declarations in view are estimated.
            view = types.Range(position_of(text, "approach ="), position_of(text, "approach =", 5))
            shown = await ed.request("text_document_inlay_hint_async", types.InlayHintParams(
                types.TextDocumentIdentifier(uri), view))
            assert [h.label for h in shown] == ["≈ 0.93 s"]
    run(session)


@ENDLESS_NOT_COMPILED
def test_a_loop_without_end_shows_one_round_and_what_runs_it_shows_no_end_also_in_its_hover(tmp_path):
    shutil.copy(EXAMPLES / "cell.yaml", tmp_path / "cell.yaml")
    script = tmp_path / "shift.vemo"
    text = PICK_PLACE.replace("main = loop 3 times { cycle }", "shift = loop forever { cycle }\nmain = { shift }")
    script.write_text(text)

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            assert await ed.diagnostics(uri) == []
            lines = text.split("\n")
            found = await ed.request("text_document_inlay_hint_async", types.InlayHintParams(
                types.TextDocumentIdentifier(uri), types.Range(types.Position(0, 0), types.Position(len(lines), 0))))
            hints = {(h.position.line, h.position.character): h.label for h in found}
            at = lambda needle, skip: (position_of(text, needle, skip).line, position_of(text, needle, skip).character)  # noqa: E731
            cycle = hints[at("cycle =", 5)]
            assert cycle.startswith("≈ ") and hints[at("shift = loop forever", 20)] == f"{cycle} a round"
            assert hints[at("shift =", 5)] == hints[at("main =", 4)] == "no end"
            assert len(hints) == 5, hints  # approach, cycle, shift, its loop, main
            for name, endless in [("main", True), ("cycle", False)]:
                shown = await ed.request("text_document_hover_async", types.HoverParams(
                    types.TextDocumentIdentifier(uri), position_of(text, f"{name} =")))
                assert ("loop without end" in shown.contents.value) == endless, shown.contents.value
    run(session)


def test_without_any_estimate_a_loop_without_end_and_what_runs_it_still_say_no_end():
    """As when the compiler gives no analysis of a block: the hints then come from the text alone."""
    from types import SimpleNamespace

    from vemo.lang.grammar import parse
    from vemo.lang.parser import Script
    from vemo.lsp.estimates import Estimates
    from vemo.lsp.outline import outline

    text = ("twice = loop 2 times { x }\nshift = loop forever { twice }\nmain = { shift }\n"
            "forever = { x }\nother = loop 3 times { forever }\n")
    no_analysis = SimpleNamespace(semantics=SimpleNamespace(global_zone={}))
    hints = Estimates(no_analysis, Script(text, "s.vemo"), outline(parse(text))).hints(0, len(text))
    assert [(text[:h["offset"]].rsplit("\n", 1)[-1], h["label"]) for h in hints] == [
        ("shift", "no end"), ("shift = loop forever", "no end"), ("main", "no end")]
