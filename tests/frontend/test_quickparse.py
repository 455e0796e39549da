"""The direct parser gives exactly the generated parser's tree, or leaves the script to it; and the text
escaping that everything printed from scripts and cells goes through."""

from pathlib import Path

import pytest
from tatsu.ast import AST

from vemo.lang import grammar
from vemo.lang.parser import Script, ScriptError, parse
from vemo.lang.quickparse import quick_parse
from vemo.util.text import printable

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def shape(node):
    """Everything a reader of the tree can see: types, key order, rules, positions and lines, values."""
    if isinstance(node, AST):
        info = node.parseinfo
        return ("AST", (info.rule, info.pos, info.endpos, info.line, info.endline),
                [(key, shape(value)) for key, value in node.items() if key != "parseinfo"])
    if isinstance(node, list):
        return (type(node).__name__, [shape(item) for item in node])
    return (type(node).__name__, node)


WELL_FORMED = [
    *(path.read_text() for path in sorted(EXAMPLES.glob("*.vemo"))),
    "a = { x }",
    "  # a comment first\n\ta = x: wait p, q { move @X to b set @G v on set @G v 1 set @G v -2 }\n",
    'a = { transfer @L tray 2 along s call @X.d() call @X.d(1) call @X.d(1, "s #", -2) foo } then { bar }',
    "b = async loop 2 times try { a } except { c } and y: { a } and { d }\r\n",
    "c = compete { a } or { b } or w: wait c { d }\nm = try { a }   # trailing",
    "n = loop 3 times loop 2 times { call @X.d(5) }\n\n\n",
    "o=x:wait a{move@X to b}then{moves} p = { call @Y_z.go_2() Y_z }",
    "q = { move @X to b # comment }\n }",
    "r = { a }\rs = { b }\x0ct = { c }\u2028u = { d }\x85",  # line breaks other than \n
    "v = { a }\r\n\r",
    "w = { wait @F p on within 2 s wait @F q off set @F r on } then { wait @F p off within 20 ms x }",
]


@pytest.mark.parametrize("text", WELL_FORMED)
def test_well_formed_scripts_get_the_generated_parsers_tree(text):
    tree = quick_parse(text)
    assert tree is not None
    assert shape(tree) == shape(grammar.parse(text))


@pytest.mark.parametrize("text", [
    "a = { move_x }",          # 'move' then '_x' for the generated parser
    "a = { x",
    "a = {}",
    "a = loop 2times { x }",
    "",
    "a = { café }",
    "a = { move @X to }",
    "a = async { x }",
    "a = { wait @F p 1 }",
    "a = { wait @F p on within 2 sec }",
    "a = { move @@X to p }",
    "a = { move @X@Y to p }",
])
def test_anything_unsure_is_left_to_the_generated_parser_with_the_same_outcome(text):
    assert quick_parse(text) is None
    try:
        expected = shape(grammar.parse(text))
    except Exception:
        with pytest.raises(ScriptError):
            parse(Script(text))
    else:
        assert shape(parse(Script(text))) == expected


@pytest.mark.parametrize("text, shown", [
    ("plain text, ünïcode", "plain text, ünïcode"),
    ("\x1b]0;title\x07\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J"),
    ("a\rb\nc\td\x00\x7f\x9b", "a\\x0db\\x0ac\\x09d\\x00\\x7f\\x9b"),
    ("abc\u202edef\u2066\u2028", "abc\\u202edef\\u2066\\u2028"),
])
def test_printable_writes_control_characters_as_escapes(text, shown):
    assert printable(text) == shown
