"""The parser's calling contract with a recording semantics object, and its located syntax errors."""

import pytest

from vemo.lang.parser import ScriptError, compile_text


class Made:
    """What a recorded operation returned: the rule and the node fields (or token) it was called with."""

    def __init__(self, rule, argument, keys):
        self.rule = rule
        self.argument = argument
        self.keys = keys

    def __repr__(self):
        return f"<{self.rule} {self.argument!r}>"


class RecordingSemantics:
    """Records every rule call in order; each result stands for the node in its parent's fields."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, rule):
        if rule.startswith("_"):
            raise AttributeError(rule)

        def operation(ast):
            if isinstance(ast, str):
                made = Made(rule, ast, None)
            else:
                fields = {name: getattr(ast, name) for name in ast.keys()}
                made = Made(rule, fields, set(ast.keys()))
            self.calls.append(made)
            return made

        return operation


def run(text):
    semantics = RecordingSemantics()
    result = compile_text(text, "t.vemo", semantics)
    return semantics, result


def calls_of(semantics, rule):
    return [made for made in semantics.calls if made.rule == rule]


def test_term_rules_receive_the_token_text_itself():
    semantics, _ = run('main = { call @X_Axis.go(007, "", -3) move @X to p }')
    terms = [(m.rule, m.argument) for m in semantics.calls if m.keys is None]
    assert terms == [("identifier", "main"), ("module", "@X_Axis"), ("identifier", "go"), ("number", "007"),
                     ("extern_str", '""'), ("number", "-3"), ("module", "@X"), ("identifier", "p")]
    assert all(type(m.argument) is str for m in semantics.calls if m.keys is None)


@pytest.mark.parametrize("text, rule, fields", [
    ("set @G vacuum on", "io", {"mod": "@G", "ident": "vacuum", "status": "on"}),
    ("set @G vacuum 1", "io", {"mod": "@G", "ident": "vacuum", "status": "1"}),
    ("move @X to pick", "move", {"mod": "@X", "ident": "pick"}),
    ("transfer @T tray 2 along unload", "transfer", {"mod": "@T", "tray": "2", "ident": "unload"}),
    ("call @X.home()", "external", {"mod": "@X", "ident": "home"}),
    ("call @X.go(5)", "external", {"mod": "@X", "ident": "go", "argLeft": "5"}),
    ('call @X.go(5, 6, "s")', "external", {"mod": "@X", "ident": "go", "argLeft": "5", "argRight": ["6", '"s"']}),
])
def test_action_rules_get_exactly_their_fields(text, rule, fields):
    semantics, _ = run(f"main = {{ {text} }}")
    (made,) = calls_of(semantics, rule)
    shown = {name: ([item.argument for item in value] if isinstance(value, list)
                    else value if isinstance(value, str) else value.argument)
             for name, value in made.argument.items()}
    assert shown == fields


@pytest.mark.parametrize("waits, expected", [
    ("", {"ident", "primary"}),
    ("wait a", {"ident", "primary", "wait", "dependency"}),
    ("wait a, b, c", {"ident", "primary", "wait", "dependLeft", "dependRight"}),
])
def test_block_waits_use_dependency_for_one_and_left_right_for_several(waits, expected):
    semantics, _ = run(f"main = n: {waits} {{ x }}")
    block = calls_of(semantics, "block")[0]
    assert block.keys == expected
    fields = block.argument
    if "dependency" in fields:
        assert fields["dependency"].argument == "a"
    if "dependLeft" in fields:
        assert fields["dependLeft"].argument == "a"
        assert [d.argument for d in fields["dependRight"]] == ["b", "c"]
    if waits:
        assert fields["wait"] == "wait"
    assert [e.argument for e in fields["primary"]] == ["x"]


def test_chain_is_built_last_block_first_and_each_is_the_others_of_the_one_before():
    semantics, _ = run("main = { a } then { b } then { c }")
    blocks = calls_of(semantics, "block")
    assert [b.argument["primary"][0].argument for b in blocks] == ["c", "b", "a"]
    assert "others" not in blocks[0].keys
    assert blocks[1].argument["others"] is blocks[0]
    assert blocks[2].argument["others"] is blocks[1]


def test_missing_fields_read_as_none_and_are_not_among_the_keys():
    seen = {}

    class Probe(RecordingSemantics):
        def actionclause(self, ast):
            seen["exception"] = (ast.exception, ast.get("exception", "default"), "exception" in ast)
            return super().__getattr__("actionclause")(ast)

    compile_text("main = try { a }", "t.vemo", Probe())
    assert seen["exception"] == (None, "default", False)


def test_exception_field_is_present_when_the_except_block_is_written():
    semantics, _ = run("main = try { a } except { b }")
    (clause,) = calls_of(semantics, "actionclause")
    assert clause.keys == {"primary", "exception"}
    assert clause.argument["exception"].rule == "block"


@pytest.mark.parametrize("text, rule, left, right", [
    ("async { a } and { b } and { c }", "asyncblock", "asyncleft", "asyncright"),
    ("compete { a } or { b } or { c }", "competeblock", "competeleft", "competeright"),
])
def test_async_and_compete_give_the_first_branch_left_and_the_others_as_a_list(text, rule, left, right):
    semantics, _ = run(f"main = {text}")
    (made,) = calls_of(semantics, rule)
    assert made.keys == {left, right}
    assert made.argument[left].argument["primary"][0].argument == "a"
    assert [b.argument["primary"][0].argument for b in made.argument[right]] == ["b", "c"]


def test_plain_block_passes_through_compete_and_async_with_only_the_left_field():
    semantics, _ = run("main = { a }")
    assert [m.rule for m in semantics.calls if m.keys is not None] == [
        "block", "competeblock", "asyncblock", "declaration", "action"]
    assert calls_of(semantics, "competeblock")[0].keys == {"competeleft"}
    assert calls_of(semantics, "asyncblock")[0].keys == {"asyncleft"}


def test_loop_fields_and_declarations_in_script_order_then_action_last():
    semantics, result = run("a = { x }\nmain = loop 3 times { a }")
    (loop,) = calls_of(semantics, "loop")
    assert loop.argument["cnt"].argument == "3"
    assert loop.argument["iterateBlock"].rule == "block"
    declarations = calls_of(semantics, "declaration")
    assert [d.argument["ident"].argument for d in declarations] == ["a", "main"]
    assert declarations[0].argument["action"].rule == "asyncblock"
    assert semantics.calls[-1].rule == "action" and semantics.calls[-1].keys == set()
    assert result is semantics.calls[-1]


def test_each_operation_is_called_once_per_written_construct_even_where_the_parser_backtracks():
    # `n: {...}` and `{...}` start alike, and `wait a` / `wait a, b` too: trying one alternative and
    # falling back to the other must not show up as extra calls.
    semantics, _ = run("main = n: wait a { x } then wait a, b { y } then { z }")
    counts = {}
    for made in semantics.calls:
        counts[made.rule] = counts.get(made.rule, 0) + 1
    assert counts == {"identifier": 8, "block": 3, "competeblock": 1, "asyncblock": 1, "declaration": 1,
                      "action": 1}


def test_comments_and_layout_do_not_matter():
    compact = run("a={x}main=async{a}and{b}")[0]
    spaced = run("# header\na = {\n  x  # the x\n}\n\nmain = async\n  { a }\nand\n  { b }\n")[0]
    assert [(m.rule, m.keys) for m in compact.calls] == [(m.rule, m.keys) for m in spaced.calls]


@pytest.mark.parametrize("text, line, column, message, expected", [
    ("main = { move @X to }", 1, 21, "unexpected '}'", "a name"),
    ("main = { move @X pick }", 1, 18, "unexpected 'pick'", "'to'"),
    ("main = {\n  bogus stuff\n", 2, 14, "unexpected end of script", "an action"),
    ("wait = { a }", 1, 1, "'wait' is a keyword", "a name"),
    ("main = async { a }", 1, 19, "unexpected end of script", "'and'"),
    ("main = { a } b", 1, 15, "unexpected end of script", "'='"),
    ("main = { call @X.f(1,) }", 1, 22, "unexpected ')'", "a whole number or a quoted string"),
    ("main = { set @G v maybe }", 1, 19, "unexpected 'maybe'", "on, off"),
    ("main = loop 3 { a }", 1, 15, "unexpected '{'", "'times'"),
    ("main = loop three { a }", 1, 13, "unexpected 'three'", "or 'forever'"),
    ("main = loop forever\n", 1, 20, "unexpected end of script", "a block"),
    ("main = { transfer @T tray a along b }", 1, 27, "unexpected 'a'", "a whole number"),
    ("main = { }", 1, 10, "unexpected '}'", "an action"),
    ("main = { move X to p }", 1, 15, "unexpected 'X'", "a module reference"),
    # A module reference is one '@' and the module's name: nothing is read into or around it.
    ("main = { move @@X to p }", 1, 15, "unexpected '@@X'", "a module reference"),
    ("main = { move @X@Z to p }", 1, 15, "unexpected '@X@Z'", "a module reference"),
    ("main = { call @X@Z.go() }", 1, 15, "unexpected '@X@Z'", "a module reference"),
    ("main = { set @G@ v on }", 1, 14, "unexpected '@G@'", "a module reference"),
    ("", 1, 1, "unexpected end of script", None),
])
def test_syntax_errors_name_line_column_and_what_fits_there(text, line, column, message, expected):
    semantics = RecordingSemantics()
    with pytest.raises(ScriptError) as caught:
        compile_text(text, "bad.vemo", semantics)
    error = caught.value
    assert (error.location.line, error.location.column) == (line, column)
    assert error.message.startswith(message)
    if expected is not None:
        assert expected in error.expected
    report = error.report().splitlines()
    assert report[0] == f"bad.vemo:{line}:{column}: {error.message}"
    assert report[1] == "    " + text.split("\n")[line - 1]
    assert report[2] == "    " + " " * (column - 1) + "^"
    assert semantics.calls == [], "no operation may run for a script that does not parse"


def test_failure_of_an_operation_is_reported_at_its_node():
    class Failing(RecordingSemantics):
        def move(self, ast):
            raise ValueError("XAxis has no position 'nowhere'")

    with pytest.raises(ScriptError) as caught:
        compile_text("main = {\n    move @X to nowhere\n}", "t.vemo", Failing(),
                     explain=lambda rule, error: str(error))
    assert str(caught.value.location) == "t.vemo:2:5"
    assert caught.value.message == "XAxis has no position 'nowhere'"
    assert caught.value.source_line == "    move @X to nowhere"


def test_long_chains_and_many_declarations_need_no_deep_recursion():
    chain = " then ".join("{ x }" for _ in range(3000))
    semantics, _ = run(f"main = {chain}")
    assert len(calls_of(semantics, "block")) == 3000


def test_checked_in_parser_is_generated_from_the_current_grammar():
    from vemo.lang import grammar

    assert grammar.GENERATED.read_text(encoding="utf-8") == grammar.generated_source(), \
        "run `python -m vemo.lang.grammar` after changing the grammar"
