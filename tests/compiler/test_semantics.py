import textwrap

import pytest

import blocks
from _vemoprimitives import VemoId
from actions import IOAction, Move, MoveTray
from compiler import VemoSemantics
from helpers import run_python
from modules import XAxis
from script_builder import Node


@pytest.fixture
def s():
    return VemoSemantics()


def test_term_rules_convert_token_texts(s):
    assert s.number("007") == 7
    ident = s.identifier("pick")
    assert isinstance(ident, VemoId) and ident.id == "pick" and ident.dependency == []
    assert s.extern_str('""') == "" and s.extern_str('"a\\n"') == "a\\n"
    with pytest.raises(ValueError):
        s.number("1x")


@pytest.mark.parametrize("token", ["@XAxis", "@@XAxis", "@X@Axis"])
def test_module_tokens_name_kinds_with_every_at_sign_removed(s, token):
    assert s.module(token) is XAxis


@pytest.mark.parametrize("token", ["@exit", "@eval", "@print", "@VemoSemantics", "@__builtins__", "@Nowhere"])
def test_module_tokens_are_only_looked_up_never_evaluated(s, token):
    with pytest.raises(NameError, match="is not defined"):
        s.module(token)


def test_later_modules_of_the_namespace_win_and_block_kinds_are_reachable(s):
    assert s.module("@StandardBlock") is blocks.StandardBlock
    assert s.module("@VemoId") is VemoId


@pytest.mark.parametrize("rule, fields, kind, params", [
    ("io", {"status": 1}, IOAction, {"io_id": "valve", "status": 1, "speed": 100}),
    ("move", {}, Move, {"position": "valve", "speed": 100}),
    ("transfer", {"tray": "T1"}, MoveTray, {"tray_id": "T1", "position_seq": "valve", "speed": 100}),
])
def test_action_rules_call_the_module_kinds_factories(s, rule, fields, kind, params):
    action = getattr(s, rule)(Node(mod=XAxis, ident=s.identifier("valve"), **fields))
    assert type(action) is kind and action.module is XAxis and action.params == params


@pytest.mark.parametrize("fields, args", [
    ({"argLeft": 5, "argRight": [6, 7]}, (5, 6, 7)),
    ({"argLeft": 5, "argRight": 6}, (5, 6)),
    ({"argLeft": 5}, (5,)),
    ({"argLeft": 0}, (0,)),
    ({"argRight": [6, 7]}, ()),
])
def test_external_calls_the_named_operation_of_a_new_instance(s, fields, args):
    assert s.external(Node(mod=XAxis, ident=s.identifier("home"), **fields)) == ("home", args)


def test_external_with_a_missing_operation_fails(s):
    with pytest.raises(AttributeError):
        s.external(Node(mod=XAxis, ident=s.identifier("fly")))


def test_a_later_declaration_replaces_the_earlier_one(s):
    first, second = blocks.StandardBlock(), blocks.StandardBlock()
    assert s.declaration(Node(ident=s.identifier("x"), action=first)) is first
    s.declaration(Node(ident=s.identifier("x"), action=second))
    assert s.global_zone == {"x": second} and first.id == second.id == "x"


def test_a_reference_to_a_name_not_yet_declared_is_dropped_with_a_warning(s, capsys):
    node = Node(primary=[s.move(Node(mod=XAxis, ident=s.identifier("a"))), s.identifier("later")])
    block = s.block(node)
    assert len(block.action_seq) == 1
    assert capsys.readouterr().out.startswith("[WARN] Global variable: later doesn't exist in {}")


def test_the_namespace_takes_public_names_of_the_host_package_and_lets_block_kinds_win(tmp_path):
    (tmp_path / "modules").mkdir()
    (tmp_path / "modules" / "__init__.py").write_text(textwrap.dedent("""
        from _vemomodule import VemoModule

        class Lift(VemoModule):
            name = "Lift"
            configs = {}
            def setup(self, **configs):
                pass
            def run(self):
                self.execute_sequence()

        class StandardBlock:
            pass

        _Hidden = Lift
        Unlisted = Lift
        __all__ = ["Lift", "StandardBlock", "VemoModule"]
    """))
    result = run_python(textwrap.dedent("""
        import blocks, modules
        from compiler import VemoSemantics
        s = VemoSemantics()
        print(s.module("@Lift") is modules.Lift, s.module("@StandardBlock") is blocks.StandardBlock)
        for name in ("@_Hidden", "@Unlisted", "@XAxis"):
            try:
                s.module(name)
            except NameError:
                print("undefined", name)
    """), extra_path=(str(tmp_path),))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:4] == ["True True", "undefined @_Hidden", "undefined @Unlisted",
                                              "undefined @XAxis"]
