import pytest
from tatsu.ast import AST

from blocks import AsyncBlock, CompeteBlock, RunExceptBlock, StandardBlock
from modules import Gripper, YAxis
from compiler import VemoSemantics
from helpers import run_python
from script_builder import Node, Script, plans, run


@pytest.fixture
def slow_y(monkeypatch):
    """YAxis actions take a little while, so that a missing wait on them would show in the order."""
    monkeypatch.setattr(YAxis, "configs", {"speed": 50, "duration": 0.03})


def targets(journal, module):
    return [target for name, target in journal if name == module]


@pytest.mark.parametrize("node", [Node, dict, AST])
def test_a_sequence_runs_in_script_order_whatever_the_node_class(node):
    s = Script(node)
    s.declare("main", s.block(s.move("XAxis", "a"), s.move("XAxis", "b"), s.move("XAxis", "c")))
    main = s.program()
    assert type(main) is StandardBlock and main.module_name == "XAxis"
    assert run(main) == [("XAxis", "a"), ("XAxis", "b"), ("XAxis", "c")]


def test_a_chained_block_starts_after_the_block_before_it():
    s = Script()
    tail = s.block(s.move("XAxis", "c"))
    s.declare("main", s.block(s.move("XAxis", "a"), s.move("XAxis", "b"), then=tail))
    main = s.program()
    evaluated = main.evaluate()
    assert evaluated[2].script_dep is evaluated[1].finish_signal
    assert targets(run(main), "XAxis") == ["a", "b", "c"]


def test_a_wait_on_a_named_block_of_another_module_holds_until_it_ends(slow_y):
    s = Script()
    prep = s.block(s.move("YAxis", "y1"), s.move("YAxis", "y2"), name="prep")
    pick = s.block(s.move("XAxis", "x1"), waits=["prep"])
    main = s.declare("main", s.parallel(prep, pick))
    assert isinstance(main, AsyncBlock) and list(main.async_block_map) == ["XAxis", "YAxis"]
    x1 = main.async_block_map["XAxis"].first()
    assert x1.dependency == [prep.action_seq[1]]
    assert run(s.program()) == [("YAxis", "y1"), ("YAxis", "y2"), ("XAxis", "x1")]


def test_async_over_three_modules_joins_on_waits_named_by_one_and_by_several(slow_y):
    s = Script()
    x = s.block(s.move("XAxis", "x1"), name="xs")
    y = s.block(s.move("YAxis", "y1"), s.move("YAxis", "y2"), name="ys")
    grip = s.block(s.move("Gripper", "close"), waits=["xs", "ys"])
    s.declare("main", s.parallel(grip, x, y))
    journal = run(s.program())
    assert journal[-1] == ("Gripper", "close") and targets(journal, "YAxis") == ["y1", "y2"]


@pytest.mark.parametrize("exception", [None, "clause"])
def test_an_action_clause_wraps_its_block_and_runs_it_unchanged(exception):
    s = Script()
    inner = s.block(s.move("XAxis", "a"), s.move("XAxis", "b"))
    extra = {} if exception is None else {"exception": s.block(s.move("XAxis", "recover"))}
    clause = s.clause(inner, **extra)
    assert type(clause) is (StandardBlock if exception is None else RunExceptBlock)
    if exception:
        assert clause.exception_block is extra["exception"]
    s.declare("main", clause)
    assert targets(run(s.program()), "XAxis") == ["a", "b"]


def test_an_action_clause_with_an_exception_field_set_to_none_still_makes_a_run_except_block():
    s = Script()
    assert type(s.clause(s.block(s.move("XAxis", "a")), exception=None)) is RunExceptBlock


def test_an_action_clause_returns_an_async_block_itself():
    s = Script()
    par = s.parallel(s.block(s.move("XAxis", "a")), s.block(s.move("YAxis", "b")))
    assert s.clause(par, exception=s.block(s.move("XAxis", "r"))) is par


def test_competing_blocks_share_one_module_round_robin():
    s = Script()
    first = s.block(s.move("XAxis", "a1"), s.move("XAxis", "a2"))
    second = s.block(s.move("XAxis", "b1"), s.move("XAxis", "b2"))
    race = s.declare("main", s.compete(first, second))
    assert isinstance(race, CompeteBlock) and race.module_name == "XAxis"
    assert race.compete_blocks == [second, first]
    assert targets(run(s.program()), "XAxis") == ["b1", "a1", "b2", "a2"]


def test_a_single_compete_or_async_operand_is_resolved_and_returned_itself():
    s = Script()
    alone = s.block(s.move("XAxis", "a"))
    assert s.compete(alone) is alone and s.parallel(alone) is alone


def test_a_loop_repeats_fresh_copies_of_a_standard_block():
    s = Script()
    body = s.block(s.move("XAxis", "a"), s.move("XAxis", "b"))
    looped = s.loop(body, 3)
    assert len({id(a) for a in looped.action_seq}) == 6 and not set(looped.action_seq) & set(body.action_seq)
    s.declare("main", looped)
    assert targets(run(s.program()), "XAxis") == ["a", "b"] * 3
    assert s.loop(body, 0).action_seq == []


def test_a_loop_repeats_an_async_block_module_by_module_keeping_its_waits(slow_y):
    s = Script()
    y = s.block(s.move("YAxis", "y"), name="ys")
    x = s.block(s.move("XAxis", "x"), waits=["ys"])
    looped = s.loop(s.parallel(x, y), 2)
    assert isinstance(looped, AsyncBlock)
    second_x = looped.async_block_map["XAxis"].action_seq[1]
    assert second_x.dependency == [looped.async_block_map["YAxis"].action_seq[1]]
    s.declare("main", looped)
    assert run(s.program()) == [("YAxis", "y"), ("XAxis", "x"), ("YAxis", "y"), ("XAxis", "x")]


def test_a_loop_over_an_async_block_once_or_never_returns_it_once():
    s = Script()
    par = s.parallel(s.block(s.move("XAxis", "x")), s.block(s.move("YAxis", "y")))
    looped = s.loop(par, 0)
    assert looped is par and [len(b.action_seq) for b in looped.async_block_map.values()] == [1, 1]


def test_references_to_a_declared_standard_block_become_fresh_copies_with_their_waits():
    s = Script()
    pick = s.declare("pick", s.block(s.move("XAxis", "p1"), s.move("XAxis", "p2")))
    s.declare("main", s.block(s.move("XAxis", "start"), "pick", "pick"))
    main = s.program()
    assert len(main.action_seq) == 5 and not set(main.action_seq) & set(pick.action_seq)
    assert targets(run(main), "XAxis") == ["start", "p1", "p2", "p1", "p2"]


def test_a_reference_to_a_declared_async_block_runs_every_module(slow_y):
    s = Script()
    y = s.block(s.move("YAxis", "y"), name="ys")
    x = s.block(s.move("XAxis", "x"), waits=["ys"])
    declared = s.declare("par", s.parallel(x, y))
    main = s.declare("main", s.block("par"))
    assert isinstance(main, AsyncBlock) and main is not declared
    assert run(s.program()) == [("YAxis", "y"), ("XAxis", "x")]


def test_a_reference_to_a_declared_compete_block_runs_its_lanes():
    s = Script()
    race = s.compete(s.block(s.move("XAxis", "a")), s.block(s.move("XAxis", "b")))
    s.declare("race", race)
    main = s.declare("main", s.block("race"))
    assert isinstance(main, CompeteBlock) and main is not race
    assert plans(main)[0].keys() == {0, 1}
    assert sorted(targets(run(s.program()), "XAxis")) == ["a", "b"]


def test_a_wait_naming_one_block_through_depend_left_adds_no_empty_dependency():
    s = Script()
    s.declare("prep", s.block(s.move("YAxis", "y")))
    node = Node(primary=s.move("XAxis", "x"), wait="wait", dependLeft=s.ident("prep"))
    block = s.semantics.block(node)
    assert [d.id for d in block.first().dependency] == ["prep"]


def test_waits_are_ignored_without_the_wait_marker():
    s = Script()
    node = Node(primary=s.move("XAxis", "x"), dependency=s.ident("a"), dependLeft=s.ident("b"))
    assert s.semantics.block(node).first().dependency == []


def test_a_block_mixing_modules_fails_its_module_check():
    s = Script()
    node = Node(primary=[s.move("XAxis", "x"), s.move("YAxis", "y")])
    with pytest.raises(AssertionError):
        s.semantics.block(node)


def test_a_script_compiled_twice_gives_independent_actions():
    def compile_once():
        s = Script()
        s.declare("body", s.block(s.move("XAxis", "a")))
        s.declare("main", s.block(s.move("XAxis", "s"), "body"))
        return s.program().evaluate()

    first, second = compile_once(), compile_once()
    assert not {id(a) for a in first} & {id(a) for a in second}
    assert [a.params for a in first] == [a.params for a in second]


def test_the_program_rule_prints_the_declarations_and_needs_main(capsys):
    s = Script()
    helper = s.declare("helper", s.block(s.move("XAxis", "a")))
    with pytest.raises(AssertionError):
        s.program()
    assert capsys.readouterr().out == f"{ {'helper': helper} }\n"
    main = s.declare("main", s.block(s.move("Gripper", "g")))
    assert s.program() is main and main.module_name == Gripper.name


def test_a_chain_ending_in_another_module_fails_the_check_at_the_block_that_joins_it():
    s = Script()
    tail = s.block(s.move("YAxis", "y"))
    with pytest.raises(AssertionError):
        s.block(s.move("XAxis", "x"), then=tail)


def test_a_following_block_not_made_by_the_block_rule_is_still_resolved():
    s = Script()
    s.declare("body", s.block(s.move("XAxis", "b")))
    following = StandardBlock()
    following.add([s.ident("body")])
    head = s.block(s.move("XAxis", "a"), then=following)
    assert [a.params["position"] for a in head.evaluate()] == ["a", "b"]


def test_a_front_end_subclass_can_attach_locations_to_what_the_rules_build():
    class Located(VemoSemantics):
        def block(self, ast):
            built = super().block(ast)
            built.location = "script.vemo:3:1"
            return built

    s = Script()
    s.semantics = Located()
    s.declare("main", s.block(s.move("XAxis", "a")))
    main = s.program()
    assert main.location == "script.vemo:3:1" and targets(run(main), "XAxis") == ["a"]


def test_without_assertions_a_missing_main_yields_none():
    result = run_python(
        "from compiler import VemoSemantics\n"
        "print(VemoSemantics().action({}))\n", flags=("-O",))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["{}", "None"]


@pytest.mark.parametrize("kind", ["async", "compete"])
def test_a_chain_of_references_to_declared_parallel_blocks_folds_every_one_once(kind, slow_y):
    s = Script()
    for k in range(3):
        if kind == "async":
            y = s.block(s.move("YAxis", f"y{k}"), name="ys")
            declared = s.parallel(s.block(s.move("XAxis", f"x{k}"), waits=["ys"]), y)
        else:
            declared = s.compete(s.block(s.move("XAxis", f"a{k}")), s.block(s.move("XAxis", f"b{k}")))
        s.declare(f"c{k}", declared)
    main = s.declare("main", s.block("c0", then=s.block("c1", then=s.block("c2"))))
    lists = plans(main)
    if kind == "async":
        x, y = (main.async_block_map[name].action_seq for name in ("XAxis", "YAxis"))
        assert [a.params["position"] for a in x] == ["x0", "x1", "x2"]
        assert [a.dependency for a in x] == [[y[0]], [y[1]], [y[2]]]
        assert x[1].script_dep is x[0].finish_signal and x[2].script_dep is x[1].finish_signal
        assert run(s.program()) == [(m, f"{t}{k}") for k in range(3) for m, t in (("YAxis", "y"), ("XAxis", "x"))]
    else:
        assert {lane: [a.params["position"] for a in actions] for lane, actions in lists[0].items()} == {
            0: ["b0", "b1", "b2"], 1: ["a0", "a1", "a2"]}
        assert lists[0][0][1].script_dep is lists[0][0][0].finish_signal
        assert sorted(targets(run(s.program()), "XAxis")) == sorted(f"{t}{k}" for k in range(3) for t in "ab")
    def actions_of(block):
        members = block.async_blocks if kind == "async" else block.compete_blocks
        return {id(a) for member in members for a in member.action_seq}

    assert not set().union(*(actions_of(s.semantics.global_zone[f"c{k}"]) for k in range(3))) & actions_of(main)
