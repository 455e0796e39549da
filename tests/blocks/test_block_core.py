import gc
import weakref

import pytest

from _vemoblock import VemoBlock
from _vemoprimitives import VemoId
from actions import Move
from block_builders import acts, chain, standard
from blocks import AsyncBlock, CompeteBlock, StandardBlock
from helpers import run_python
from modules import XAxis, YAxis

NOT_RESOLVED = "VemoBlock not resolved... Can't evaluate. "


def ref(name, *waits):
    identifier = VemoId(name)
    for wait in waits:
        identifier.add_dependencies(wait)
    return identifier


def test_abstract_base_refuses_instantiation_until_a_kind_supplies_flags_and_setup():
    with pytest.raises(TypeError, match="abstract methods isAsync, isCompete, setup$"):
        VemoBlock()

    class OnlyFlags(VemoBlock):
        isAsync = False
        isCompete = False

    with pytest.raises(TypeError, match="abstract method setup$"):
        OnlyFlags()

    class Host(OnlyFlags):
        def setup(self, **configs):
            self.seen = configs

    block = Host("h", speed=3)
    assert block.seen == {"speed": 3} and block.id == "h"
    assert (block.action_seq, block.next_block, block.module_name, block.first()) == ([], None, None, None)
    assert block.is_resolved() and block.evaluate() is block.action_seq


def test_add_skips_separators_stores_identifiers_and_fixes_the_module_name():
    a, b = acts(2)
    ident = VemoId("x")
    block = standard([ident, a, ";", b])
    assert block.action_seq == [ident, a, b] and block.module_name == "XAxis"
    assert block.action_seq[1] is a


def test_add_of_another_modules_action_asserts_and_keeps_what_came_before():
    a, b = acts(2)
    y = Move(YAxis, position="q")
    block = StandardBlock()
    with pytest.raises(AssertionError) as failure:
        block.add([a, y, b])
    assert failure.value.args == ()
    assert block.action_seq == [a] and block.module_name == "XAxis"


def test_module_checks_are_skipped_when_python_runs_without_assertions():
    result = run_python(
        "from blocks import StandardBlock, AsyncBlock\n"
        "from actions import Move\nfrom modules import XAxis, YAxis\n"
        "b = StandardBlock(); b.add([Move(XAxis, position=1), Move(YAxis, position=2)])\n"
        "print(len(b.action_seq), b.module_name)\n"
        "a = AsyncBlock.create_from_action_lists([[Move(XAxis, position=1)]]); a.isAsync = False\n"
        "print(len(a.async_copy().async_block_map))\n",
        flags=("-O",))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["2", "XAxis", "new", "action", "sequence", "=", "[[Move(position=1)]]", "1"]


def test_add_of_a_resolved_chain_appends_all_its_actions_and_links_the_chain():
    first, second = acts(2), acts(1, prefix="q")
    source = chain(standard(first), standard(second))
    target = StandardBlock()
    target.add(source)
    assert target.action_seq == first + second
    assert second[0].script_dep is first[1].finish_signal


def test_add_of_an_unresolved_block_fails_with_the_evaluation_error():
    with pytest.raises(Exception, match="^VemoBlock not resolved... Can't evaluate. $"):
        StandardBlock().add(standard([VemoId("x")]))


@pytest.mark.parametrize("source", ["block", "its_own_list"])
def test_adding_a_block_to_itself_doubles_its_sequence_once(source):
    a, b = acts(2)
    block = standard([a, b])
    block.add(block if source == "block" else block.action_seq)
    assert block.action_seq == [a, b, a, b]


def test_copy_makes_new_actions_chained_in_script_order_with_dependencies_repointed():
    src = acts(3)
    outside = Move(XAxis, position="before")
    src[0].set_script_dep(outside.finish_signal)
    src[2].add_dependencies(src[0])
    block = standard(src, "b")
    copied = block.copy()
    new = copied.action_seq
    assert type(copied) is StandardBlock and copied.id == "b" and copied.next_block is None
    assert all(n is not s for n, s in zip(new, src)) and [n.params for n in new] == [s.params for s in src]
    assert new[0].script_dep is outside.finish_signal
    assert new[1].script_dep is new[0].finish_signal and new[2].script_dep is new[1].finish_signal
    assert new[2].dependency == [new[0]] and new[2].dependency is not src[2].dependency
    assert src[2].dependency == [src[0]] and block.action_seq == src


def test_copy_of_a_chain_flattens_it_into_one_block_without_next_block():
    first, second = acts(2), acts(2, prefix="q")
    copied = chain(standard(first, "a"), standard(second, "b")).copy()
    assert copied.id == "a" and copied.next_block is None
    assert [a.params["position"] for a in copied.action_seq] == ["p0", "p1", "q0", "q1"]
    assert copied.action_seq[2].script_dep is copied.action_seq[1].finish_signal


@pytest.mark.parametrize("content, error", [([], IndexError), ("foreign", ValueError)])
def test_copy_fails_on_an_empty_block_or_a_dependency_outside_the_block(content, error):
    if content == "foreign":
        content = acts(2)
        content[1].add_dependencies(Move(XAxis, position="elsewhere"))
    with pytest.raises(error):
        standard(content).copy()


def test_first_answers_for_the_block_and_last_for_the_end_of_the_chain():
    first, second = acts(2), acts(2, prefix="q")
    head = chain(standard(first), standard(second))
    assert head.first() is first[0] and head.last() is second[1]
    with pytest.raises(IndexError):
        chain(standard(first), StandardBlock()).last()


def test_module_consistency_spans_the_chain():
    assert StandardBlock().is_module_consistent()
    assert chain(standard(acts(2)), standard(acts(1))).is_module_consistent()
    assert not chain(standard(acts(1)), standard(acts(1, YAxis))).is_module_consistent()


def test_evaluate_links_the_chain_and_returns_a_single_blocks_own_list():
    first, second = acts(2), acts(1, prefix="q")
    single = standard(first)
    assert single.evaluate() is single.action_seq
    evaluated = chain(standard(first), standard(second)).evaluate()
    assert evaluated == first + second and second[0].script_dep is first[1].finish_signal


@pytest.mark.parametrize("shape", ["unresolved_head", "unresolved_next"])
def test_evaluate_refuses_unresolved_blocks(shape):
    blocks = [standard(acts(1)), standard(acts(1, prefix="q"))]
    blocks[0 if shape == "unresolved_head" else 1].action_seq.append(VemoId("x"))
    with pytest.raises(Exception) as failure:
        chain(*blocks).evaluate()
    assert type(failure.value) is Exception and failure.value.args == (NOT_RESOLVED,)


def test_local_variables_map_holds_the_blocks_own_lists_and_the_earlier_name_wins():
    x, plain, y, again = standard(acts(1), "x"), standard(acts(1)), standard(acts(1), "y"), standard(acts(1), "x")
    frames = chain(x, plain, y, again).get_local_variables_map()
    assert set(frames) == {"x", "y"}
    assert frames["x"] is x.action_seq and frames["y"] is y.action_seq


def test_resolve_local_turns_a_wait_on_a_named_block_into_its_last_action():
    named = acts(2)
    waiting = Move(XAxis, position="w")
    waiting.add_dependencies([VemoId("n"), VemoId("nowhere")])
    head = chain(standard(named, "n"), standard([waiting]))
    assert head.resolve_local(head.get_local_variables_map()) is True
    assert waiting.dependency[0] is named[1] and waiting.dependency[1].id == "nowhere"
    assert waiting.dependency_is_resolved() is False


def test_resolve_global_replaces_each_reference_by_its_own_copy_with_the_waits():
    declared = standard(acts(2, prefix="d"), "d")
    a = Move(XAxis, position="a")
    w1, w2 = Move(XAxis, position="w1"), Move(XAxis, position="w2")
    block = standard([a, ref("d", w1), ref("d", w2)])
    assert block.resolve_global({"d": declared}) is True
    seq = block.action_seq
    assert len(seq) == 5 and seq[0] is a and not set(map(id, seq[1:])) & set(map(id, declared.action_seq))
    assert seq[1].dependency == [w1] and seq[3].dependency == [w2]
    assert seq[2].script_dep is seq[1].finish_signal and seq[4].script_dep is seq[3].finish_signal
    assert declared.action_seq[0].dependency == []


def test_resolve_global_warns_and_drops_a_missing_name(capsys):
    a = Move(XAxis, position="a")
    block = standard([ref("ghost"), a])
    table = {"other": standard(acts(1))}
    assert block.resolve_global(table) is True and block.action_seq == [a]
    assert capsys.readouterr().out == f"[WARN] Global variable: ghost doesn't exist in {table}\n"
    assert standard([ref("ghost")]).resolve_global() is True
    assert capsys.readouterr().out == "[WARN] Global variable: ghost doesn't exist in {}\n"


def test_resolve_global_stops_at_the_first_block_that_stays_unresolved():
    stray = standard([Move(XAxis, position="a")])
    stray.action_seq.append(5)
    later = standard([ref("d")])
    assert chain(stray, later).resolve_global({"d": standard(acts(1))}) is False
    assert isinstance(later.action_seq[0], VemoId)


def test_resolve_global_supersedes_a_block_that_refers_to_a_declared_async_block():
    x, y = acts(2), acts(1, YAxis)
    y[0].add_dependencies(x[1])
    declared = AsyncBlock.create_from_action_lists([x, y])
    following = AsyncBlock.create_from_action_lists([acts(1, prefix="fx"), acts(1, YAxis, prefix="fy")])
    reference = ref("par")
    block = chain(standard([Move(XAxis, position="a"), reference]), following)
    assert block.resolve_global({"par": declared}) is None
    assert block.isAsync is True and StandardBlock.isAsync is False
    assert block.action_seq[1] is reference
    folded = block.tmp_async_block
    x_copy, y_copy = (folded.async_block_map[m].action_seq for m in ("XAxis", "YAxis"))
    assert [a.params["position"] for a in x_copy] == ["p0", "p1", "fx0"]
    assert y_copy[0].dependency == [x_copy[1]] and y_copy[1].script_dep is y_copy[0].finish_signal
    assert x_copy[2].script_dep is x_copy[1].finish_signal


def test_resolve_global_supersedes_a_block_that_refers_to_a_declared_compete_block():
    declared = CompeteBlock.create_from_action_lists([acts(2), acts(1, prefix="q")])
    block = standard([ref("race")])
    assert block.resolve_global({"race": declared}) is None
    assert block.isCompete is True and block.module_name == "XAxis"
    race = block.tmp_compete_block
    assert isinstance(race, CompeteBlock) and race is not declared
    assert [len(v) for v in race.evaluate().values()] == [2, 1]


def test_a_failed_async_copy_leaves_the_referring_block_unchanged():
    declared = AsyncBlock.create_from_action_lists([acts(1)])
    declared.async_block_map["XAxis"].action_seq[0].add_dependencies(Move(XAxis, position="outside"))
    block = standard([ref("par")])
    with pytest.raises(Exception, match="^Depedency not exist error$"):
        block.resolve_global({"par": declared})
    assert block.isAsync is False and not hasattr(block, "tmp_async_block")


def test_evaluating_a_compete_block_replaces_its_sequence_only_when_every_competitor_evaluates():
    good, bad = standard(acts(1)), standard([VemoId("x")])
    race = CompeteBlock([good, bad])
    with pytest.raises(Exception, match="not resolved"):
        race.evaluate()
    assert race.action_seq == []
    race.compete_blocks.pop()
    assert race.evaluate() == {0: good.action_seq} and race.action_seq == {0: good.action_seq}


def long_chain(count):
    shared = Move(XAxis, position="shared")
    blocks = [StandardBlock() for _ in range(count)]
    for block, following in zip(blocks, blocks[1:]):
        block.action_seq = [shared]
        block.next_block = following
    blocks[-1].action_seq = [shared]
    return blocks[0], shared


def test_a_chain_of_a_million_blocks_is_walked_without_recursion():
    head, shared = long_chain(1_000_000)
    assert head.last() is shared
    assert len(head.evaluate()) == 1_000_000
    assert head.resolve_local({}) is True and head.resolve_global({}) is True
    assert head.get_local_variables_map() == {}


@pytest.mark.parametrize("operation", ["evaluate", "last", "copy", "resolve_global", "get_local_variables_map",
                                       "is_module_consistent", "resolve_local"])
@pytest.mark.parametrize("loop_at", [0, 2])
def test_a_chain_that_loops_back_raises_instead_of_hanging(operation, loop_at):
    blocks = [standard(acts(1, prefix=str(i))) for i in range(4)]
    chain(*blocks)
    blocks[-1].next_block = blocks[loop_at]
    method = getattr(blocks[0], operation)
    with pytest.raises(ValueError, match="loops back"):
        method({}) if operation == "resolve_local" else method()


@pytest.mark.parametrize("operation", ["evaluate", "last", "resolve_global", "get_local_variables_map"])
def test_a_non_block_in_the_chain_raises(operation):
    block = standard(acts(1))
    block.next_block = 5
    with pytest.raises(AttributeError):
        getattr(block, operation)()


def test_wrong_elements_and_half_made_objects_raise_instead_of_crashing():
    block = standard(acts(1))
    block.action_seq = {0: 1}
    assert block.is_resolved() is False and block.first() == 1
    with pytest.raises(Exception, match="not resolved"):
        block.evaluate()
    with pytest.raises(TypeError):
        VemoBlock.evaluate(5)
    with pytest.raises(TypeError):
        StandardBlock.__new__(StandardBlock).evaluate()
    with pytest.raises(TypeError):
        StandardBlock().add(7)
    with pytest.raises(AttributeError):
        standard([3]).resolve_local({})


def test_blocks_in_reference_cycles_are_collected():
    class Holder:
        name = "Holder"

    holder = Holder()
    block = StandardBlock()
    block.add([Move(holder, position="p")])
    holder.block = block
    block.next_block = block
    block.tmp_async_block = block
    alive = weakref.ref(holder)
    del holder, block
    gc.collect()
    assert alive() is None


def test_a_python_subclass_is_copied_into_its_own_class():
    class Marked(StandardBlock):
        pass

    block = Marked("m")
    block.add(acts(2))
    copied = block.copy()
    assert type(copied) is Marked and copied.id == "m" and copied.module_name == "XAxis"


def test_the_block_module_needs_the_priority_queue_module_and_publishes_its_names():
    result = run_python("import sys\nsys.modules['_vemopq'] = None\nimport _vemoblock\n")
    assert result.returncode != 0 and "ImportError" in result.stderr
    import _vemoblock
    import _vemopq
    assert _vemoblock.VemoPriorityQueue is _vemopq.VemoPriorityQueue and _vemoblock.VemoPriority is _vemopq.VemoPriority
