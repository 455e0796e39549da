"""The editor extension's TextMate grammar, run by a TextMate tokeniser over the example scripts."""

import json
import shutil

import pytest
from babi.highlight import Grammars, highlight_line

from lsp_support import ROOT
from vemo.lang.grammar import KEYWORDS

GRAMMAR = ROOT / "editors" / "vscode" / "syntaxes" / "vemo.tmLanguage.json"
EXAMPLES = sorted((ROOT / "examples").glob("*.vemo"))


@pytest.fixture(scope="module")
def tokenise(tmp_path_factory):
    folder = tmp_path_factory.mktemp("grammars")
    shutil.copy(GRAMMAR, folder / "source.vemo.json")  # the tokeniser finds a grammar by its scope name
    compiler = Grammars(str(folder)).compiler_for_scope("source.vemo")

    def tokens(text):
        """(token text, innermost scope) for every token that is not blank, line by line."""
        state, found = compiler.root_state, []
        for number, line in enumerate(text.splitlines(True)):
            state, regions = highlight_line(compiler, state, line, number == 0)
            found += [(line[r.start:r.end], r.scope[-1]) for r in regions if line[r.start:r.end].strip()]
        return found
    return tokens


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda path: path.name)
def test_every_token_of_the_examples_gets_a_scope_and_none_is_invalid(tokenise, example):
    found = tokenise(example.read_text())
    assert found
    assert [token for token in found if token[1] in ("source.vemo", "invalid.illegal.character.vemo")] == []


def test_tokens_get_the_scope_of_what_they_are(tokenise):
    text = ('# a comment\ncycle = async\n    x: wait y, z { move @XAxis to pick  call @G.dwell(-5, "why") }\n'
            'and\n    { set @G vacuum on  transfer @L tray 2 along out }\n')
    scopes = dict(tokenise(text))
    assert scopes == {
        "#": "punctuation.definition.comment.vemo", " a comment": "comment.line.number-sign.vemo",
        "cycle": "entity.name.function.declaration.vemo", "=": "keyword.operator.assignment.vemo",
        "async": "keyword.control.vemo", "x": "entity.name.label.vemo", ":": "punctuation.separator.label.vemo",
        "wait": "keyword.control.wait.vemo", "y": "variable.other.label.vemo", "z": "variable.other.label.vemo",
        ",": "punctuation.separator.comma.vemo", "{": "punctuation.section.block.begin.vemo",
        "move": "keyword.other.action.vemo", "@XAxis": "entity.name.type.module.vemo",
        "to": "keyword.other.action.vemo", "pick": "variable.other.vemo", "call": "keyword.other.action.vemo",
        "@G": "entity.name.type.module.vemo", ".": "punctuation.accessor.vemo",
        "dwell": "entity.name.function.operation.vemo", "(": "punctuation.section.arguments.begin.vemo",
        "-5": "constant.numeric.integer.vemo", '"': "punctuation.definition.string.end.vemo",
        "why": "string.quoted.double.vemo", ")": "punctuation.section.arguments.end.vemo",
        "}": "punctuation.section.block.end.vemo", "and": "keyword.control.vemo", "set": "keyword.other.action.vemo",
        "vacuum": "variable.other.vemo", "on": "constant.language.status.vemo",
        "transfer": "keyword.other.action.vemo", "@L": "entity.name.type.module.vemo",
        "tray": "keyword.other.action.vemo", "2": "constant.numeric.integer.vemo", "along": "keyword.other.action.vemo",
        "out": "variable.other.vemo",
    }


@pytest.mark.parametrize("text", ["{ wait @Feeder part_present on within 2 s }", "{ wait @Feeder part_present on within 20ms }"])
def test_an_input_wait_reads_as_an_action_with_its_module_input_level_and_limit(tokenise, text):
    scopes = dict(tokenise(text))
    assert scopes["wait"] == "keyword.other.action.vemo" and scopes["within"] == "keyword.other.action.vemo"
    assert scopes["@Feeder"] == "entity.name.type.module.vemo"
    assert scopes["part_present"] == "variable.other.input.vemo" and scopes["on"] == "constant.language.status.vemo"
    assert {scopes.get("s"), scopes.get("ms")} - {None} == {"keyword.other.unit.vemo"}


def test_grammar_knows_every_keyword_of_the_language(tokenise):
    scopes = dict(tokenise(" ".join(KEYWORDS)))
    assert {word for word, scope in scopes.items() if scope.startswith(("keyword.", "constant.language."))} \
        == set(KEYWORDS)
    assert json.loads(GRAMMAR.read_text())["scopeName"] == "source.vemo"


def test_line_breaks_the_language_allows_keep_each_tokens_scope(tokenise):
    text = ("cycle\n    = async\n    x_pick\n    : { move @XAxis to pick }\nand\n"
            "    z: wait x_pick,\n        grip # both\n    { move @ZAxis to down }\n")
    found = tokenise(text)
    assert [token for token in found if token[1] in ("source.vemo", "invalid.illegal.character.vemo")] == []
    scopes = dict(found)
    assert scopes["cycle"] == "entity.name.function.declaration.vemo"
    assert scopes["="] == "keyword.operator.assignment.vemo"
    assert scopes[":"] == "punctuation.separator.label.vemo"
    assert scopes["grip"] == "variable.other.label.vemo"
    assert scopes["{"] == "punctuation.section.block.begin.vemo"
    assert scopes["pick"] == "variable.other.vemo"


@pytest.mark.parametrize("text", ["main = { move @@XAxis to pick }", "main = { move @XAxis@ZAxis to pick }"])
def test_a_module_reference_is_one_at_sign_and_a_name(tokenise, text):
    assert "entity.name.type.module.vemo" not in {scope for token, scope in tokenise(text) if "@@" in token or
                                                 token.count("@") > 1}
    assert any(scope == "invalid.illegal.character.vemo" for _, scope in tokenise(text))


KEYWORD, NAME, DECLARED, LABEL = ("keyword.control.vemo", "variable.other.vemo",
                                  "entity.name.function.declaration.vemo", "entity.name.label.vemo")


@pytest.mark.parametrize("text, expected", [
    ("main = loop forever { cycle }", [("loop", KEYWORD), ("forever", KEYWORD), ("cycle", NAME)]),
    ("main = loop\n    # each shift\n    forever\n{ cycle }", [("loop", KEYWORD), ("forever", KEYWORD)]),
    ("main = loop forever loop 2 times { forever }", [("forever", KEYWORD), ("times", KEYWORD), ("forever", NAME)]),
    ("main = loop # rounds\n    3 times { forever }", [("3", "constant.numeric.integer.vemo"), ("times", KEYWORD),
                                                         ("forever", NAME)]),
    ("forever = { move @XAxis to pick }", [("forever", DECLARED)]),
    ("main = async forever: { move @XAxis to pick } and wait forever { x }", [("forever", LABEL),
                                                                             ("forever", "variable.other.label.vemo")]),
    ("main = loop forever_x { x }", [("loop", KEYWORD), ("forever_x", DECLARED)]),
])
def test_forever_is_a_keyword_right_after_loop_only(tokenise, text, expected):
    found = [token for token in tokenise(text) if token[0] in {word for word, _ in expected}]
    assert found == expected
