"""Semantic tokens tell what each name of a script is: modules, positions, IO points, sequences, operations,
block names and step labels, over stdio."""

import shutil

from lsprotocol import types

from lsp_support import ROOT, editor, run

EXAMPLES = ROOT / "examples"
TEXT = """approach = { move @XAxis to park }
main = async
    x: { approach  call @XAxis.home() }
and
    wait x { set @Gripper vacuum on }
and
    { transfer @Loader tray 1 along unload }
"""


def decoded(data, legend):
    """(line, column, text of the token, type, is a declaration) of the protocol's relative encoding."""
    lines, found = TEXT.split("\n"), []
    line = column = 0
    for index in range(0, len(data), 5):
        delta_line, delta_start, length, kind, modifiers = data[index:index + 5]
        line += delta_line
        column = column + delta_start if delta_line == 0 else delta_start
        found.append((lines[line][column:column + length], legend.token_types[kind], bool(modifiers & 1)))
    return found


def test_every_name_gets_the_type_of_what_it_names(tmp_path):
    shutil.copy(EXAMPLES / "cell.yaml", tmp_path / "cell.yaml")
    script = tmp_path / "s.vemo"
    script.write_text(TEXT)

    async def session():
        async with editor() as ed:
            legend = ed.capabilities.semantic_tokens_provider.legend
            uri = ed.open(script)
            assert await ed.diagnostics(uri) == []
            tokens = await ed.request("text_document_semantic_tokens_full_async", types.SemanticTokensParams(
                types.TextDocumentIdentifier(uri)))
            assert decoded(tokens.data, legend) == [
                ("approach", "function", True), ("@XAxis", "namespace", False), ("park", "enumMember", False),
                ("main", "function", True),
                ("x", "label", True), ("approach", "function", False), ("@XAxis", "namespace", False),
                ("home", "method", False),
                ("x", "label", False), ("@Gripper", "namespace", False), ("vacuum", "property", False),
                ("@Loader", "namespace", False), ("unload", "event", False),
            ]
    run(session)
