"""Semantic tokens tell what each name of a script is: modules, positions, IO points, sequences, operations,
block names and step labels, over stdio."""

import shutil

import pytest
from lsprotocol import types

from lsp_support import ROOT, editor, run
from vemo.lang.grammar import parse
from vemo.lang.parser import Script
from vemo.lsp.checker import _details_json
from vemo.lsp.outline import outline

EXAMPLES = ROOT / "examples"
TEXT = """approach = { move @XAxis to park }
main = async
    x: { approach  call @XAxis.home() }
and
    wait x { set @Gripper vacuum on }
and
    { transfer @Loader tray 1 along unload }
"""


def decoded(data, legend, text=TEXT):
    """(text of the token, type, is a declaration) of the protocol's relative encoding."""
    lines, found = text.split("\n"), []
    line = column = 0
    for index in range(0, len(data), 5):
        delta_line, delta_start, length, kind, modifiers = data[index:index + 5]
        line += delta_line
        column = column + delta_start if delta_line == 0 else delta_start
        found.append((lines[line][column:column + length], legend.token_types[kind], bool(modifiers & 1)))
    return found


def _script(tmp_path, text):
    """`text` as s.vemo beside the example cell."""
    shutil.copy(EXAMPLES / "cell.yaml", tmp_path / "cell.yaml")
    script = tmp_path / "s.vemo"
    script.write_text(text)
    return script


async def _tokens(ed, uri, text=TEXT):
    """The server's semantic tokens of the open document, decoded."""
    tokens = await ed.request("text_document_semantic_tokens_full_async", types.SemanticTokensParams(
        types.TextDocumentIdentifier(uri)))
    return decoded(tokens.data, ed.capabilities.semantic_tokens_provider.legend, text)


def test_every_name_gets_the_type_of_what_it_names(tmp_path):
    script = _script(tmp_path, TEXT)

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            assert await ed.diagnostics(uri) == []
            assert await _tokens(ed, uri) == [
                ("approach", "function", True), ("@XAxis", "namespace", False), ("park", "enumMember", False),
                ("main", "function", True),
                ("x", "label", True), ("approach", "function", False), ("@XAxis", "namespace", False),
                ("home", "method", False),
                ("x", "label", False), ("@Gripper", "namespace", False), ("vacuum", "property", False),
                ("@Loader", "namespace", False), ("unload", "event", False),
            ]
    run(session)


# `forever` is a keyword right after `loop` only; a block, a label or a wait may be named so.
ENDLESS = """forever = { move @XAxis to pick }
twice = async forever: { forever } then { forever } and wait forever { set @Gripper vacuum on }
main = loop # each round
    forever { twice }
"""


@pytest.mark.parametrize("text, words", [
    (ENDLESS, [(3, 4, 3, 11)]),
    ("main = loop forever loop 3 times { x }\nother = loop\nforever { forever }\n", [(0, 12, 0, 19), (2, 0, 2, 7)]),
    ("main = loop 3 times { forever }\n", []),
])
def test_the_forever_of_each_loop_without_end_is_a_keyword_and_nothing_else_is(text, words):
    details = _details_json(Script(text, "s.vemo"), outline(parse(text)))
    assert [tuple(w["range"]) for w in details["keywords"]] == words
    assert all(w["kind"] == "keyword" and w["name"] == "forever" for w in details["keywords"])


def test_forever_after_loop_is_a_keyword_token_and_a_name_elsewhere_and_outline_and_folds_hold(tmp_path):
    script = _script(tmp_path, ENDLESS)

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            await ed.diagnostics(uri)
            assert [t for t in await _tokens(ed, uri, ENDLESS) if t[0] == "forever"] == [
                ("forever", "function", True), ("forever", "label", True), ("forever", "function", False),
                ("forever", "function", False), ("forever", "label", False), ("forever", "keyword", False)]
            symbols = await ed.request("text_document_document_symbol_async", types.DocumentSymbolParams(
                types.TextDocumentIdentifier(uri)))
            assert [s.name for s in symbols] == ["forever", "twice", "main"]
            folds = await ed.request("text_document_folding_range_async", types.FoldingRangeParams(
                types.TextDocumentIdentifier(uri)))
            assert [(f.start_line, f.end_line) for f in folds] == [(2, 3)]
    run(session)
