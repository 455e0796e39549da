"""Draws the picture in docs/editors.md: a script highlighted by the extension's grammar, with the diagnostics
that `vemo lsp` sends for it.

The colours come from a TextMate tokeniser (babi, of the test extras) running the grammar; the squiggles and
messages from a real `vemo lsp` over stdio. Only the drawing is this script's (Pillow, which the
project does not depend on: `pip install pillow` first).

    python editors/preview.py docs/images/editor-preview.png
"""

from __future__ import annotations

import asyncio
import shutil
import sys
import tempfile
from pathlib import Path

from babi.highlight import Grammars, highlight_line
from lsprotocol import types
from PIL import Image, ImageDraw, ImageFont
from pygls.lsp.client import LanguageClient

ROOT = Path(__file__).resolve().parents[1]
GRAMMAR = ROOT / "editors" / "vscode" / "syntaxes" / "vemo.tmLanguage.json"
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
# The colours of VS Code's "Dark Modern" theme for the scopes the grammar gives.
COLOURS = [
    ("comment", "#6a9955"), ("string", "#ce9178"), ("constant.numeric", "#b5cea8"),
    ("constant.language", "#569cd6"), ("keyword.control", "#c586c0"), ("keyword.other", "#569cd6"),
    ("keyword.operator", "#d4d4d4"), ("entity.name.function", "#dcdcaa"), ("entity.name.type", "#4ec9b0"),
    ("entity.name.label", "#9cdcfe"), ("variable", "#9cdcfe"), ("punctuation", "#d4d4d4"),
]
BACKGROUND, TEXT, GUTTER, ERROR = "#1f1f1f", "#cccccc", "#6e7681", "#f14c4c"

# The example, with a fault an author might make.
SCRIPT = (ROOT / "examples" / "pick_place.vemo").read_text().replace(
    "wait z_lift { move @XAxis to place }", "wait z_lift { move @XAxis to plce }")


async def _diagnostics(script: Path) -> list[types.Diagnostic]:
    client = LanguageClient("preview", "1")
    published: asyncio.Future = asyncio.get_running_loop().create_future()

    @client.feature(types.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    def diagnostics(ls, params):
        if not published.done():
            published.set_result(list(params.diagnostics))

    await client.start_io(sys.executable, "-m", "vemo", "lsp")
    await client.initialize_async(types.InitializeParams(capabilities=types.ClientCapabilities()))
    client.initialized(types.InitializedParams())
    uri = script.as_uri()
    client.text_document_did_open(types.DidOpenTextDocumentParams(
        types.TextDocumentItem(uri=uri, language_id="vemo", version=1, text=SCRIPT)))
    found = await asyncio.wait_for(published, 60)
    await client.shutdown_async(None)
    client.exit(None)
    await client.stop()
    return found


def _colour(scope: tuple[str, ...]) -> str:
    for prefix, colour in COLOURS:
        if any(name.startswith(prefix) for name in reversed(scope)):
            return colour
    return TEXT


def draw(target: Path) -> None:
    with tempfile.TemporaryDirectory() as folder:
        shutil.copy(ROOT / "examples" / "cell.yaml", Path(folder) / "cell.yaml")
        script = Path(folder) / "pick_place.vemo"
        script.write_text(SCRIPT)
        found = asyncio.run(_diagnostics(script))
        shutil.copy(GRAMMAR, Path(folder) / "source.vemo.json")
        compiler = Grammars(folder).compiler_for_scope("source.vemo")

    font = ImageFont.truetype(FONT, 15)
    small = ImageFont.truetype(FONT, 13)
    width, height = font.getbbox("M")[2], 22
    lines = SCRIPT.rstrip("\n").split("\n")
    gutter = 5 * width
    picture = Image.new("RGB", (1180, (len(lines) + 2) * height + 24 * len(found) + 20), BACKGROUND)
    pen = ImageDraw.Draw(picture)
    state = compiler.root_state
    for number, line in enumerate(lines):
        y = 10 + number * height
        pen.text((8, y), f"{number + 1:>3}", font=font, fill=GUTTER)
        state, regions = highlight_line(compiler, state, line + "\n", number == 0)
        for region in regions:
            pen.text((gutter + region.start * width, y), line[region.start:region.end], font=font,
                     fill=_colour(region.scope))
    for diagnostic in found:  # a squiggle under each range, the message below the code
        start, end = diagnostic.range.start, diagnostic.range.end
        y = 10 + start.line * height + height - 4
        for x in range(gutter + start.character * width, gutter + max(end.character, start.character + 1) * width, 4):
            pen.line([(x, y + 2), (x + 2, y), (x + 4, y + 2)], fill=ERROR)
    y = 10 + len(lines) * height + 10
    for diagnostic in found:
        pen.text((8, y), f"Problems: pick_place.vemo:{diagnostic.range.start.line + 1}:"
                         f"{diagnostic.range.start.character + 1}  {diagnostic.message}", font=small, fill=ERROR)
        y += 24
    target.parent.mkdir(parents=True, exist_ok=True)
    picture.save(target)
    print(f"wrote {target}: {len(found)} diagnostics")


if __name__ == "__main__":
    draw(Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs" / "images" / "editor-preview.png")
