"""Parsing declaration by declaration gives the tree of parsing the whole script, edit after edit."""

import pytest

from lsp_support import ROOT
from vemo.lsp.incremental import IncrementalParser
from vemo.lang.parser import Script, ScriptError, parse

PICK_PLACE = (ROOT / "examples" / "pick_place.vemo").read_text()


def _dump(value):
    """Every node's rule, place and token, in tree order."""
    if isinstance(value, list):
        return [_dump(item) for item in value]
    if isinstance(value, dict):
        info = value.get("parseinfo")
        fields = {key: _dump(item) for key, item in value.items() if key != "parseinfo"}
        return (info.rule, info.pos, info.endpos, fields) if info is not None else fields
    return value


EDITS = [  # each applied to the text before it
    ("", ""),
    ("to place }", "to plce }"),                       # inside one declaration
    ("# Pick a part", "# Pick one part\n# and more"),  # before every declaration: all shift
    ("main = loop 3", "main = loop 4"),
    ("approach = {", "extra = { move @XAxis to park }\napproach = {"),  # a new declaration
    ("extra = { move @XAxis to park }\n", "extra = { move @XAxis to park }\n" * 2),  # the same one twice
    ("\nmain", "\nmain_again = { cycle }\nmain"),
    ("approach = {", "approach = "),                   # syntax errors: reported as by the whole parse
    ("approach = ", "approach = {"),
    ("main = loop 4", "main = lop 4"),
    ("main = lop 4", "main = loop 4"),
    ("\nmain_again", "\nloop = { x }\nmain_again"),     # a keyword where a declared name starts
    ("\nloop = { x }", ""),
    ("\nmain_again", "\nthen_x = { x }\nmain_again"),  # read as 'then' after the '}' before it
    ("\nthen_x = { x }", ""),
    ("main = loop 4 times { cycle }", "main = loop 4 times { cycle"),  # the script ends too early
]


def test_each_edit_parses_to_the_tree_of_the_whole_script():
    parser, text = IncrementalParser(), PICK_PLACE
    for old, new in EDITS:
        assert old in text
        text = text.replace(old, new, 1)
        try:
            whole = _dump(parse(Script(text, "s.vemo")))
        except ScriptError as expected:
            with pytest.raises(ScriptError) as raised:
                parser.parse(Script(text, "s.vemo"))
            assert raised.value.report() == expected.report()
            continue
        assert _dump(parser.parse(Script(text, "s.vemo")))[3] == whole[3], (old, new)
