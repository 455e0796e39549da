import pytest

from _vemoprimitives import VemoId
from actions import Move
from block_builders import acts, chain, standard
from blocks import AsyncBlock, CompeteBlock, RunExceptBlock, StandardBlock
from modules import Gripper, XAxis, YAxis


def test_standard_and_run_except_blocks_ignore_options_and_keep_the_clause():
    assert StandardBlock().id is None and StandardBlock("s", speed=1, anything=2).id == "s"
    clause = object()
    block = RunExceptBlock(clause, speed=1)
    assert block.id is None and block.exception_block is clause
    assert RunExceptBlock(clause, "r").id == "r"


def test_a_run_except_block_resolves_and_evaluates_like_a_standard_block():
    declared = standard(acts(2), "d")
    block = RunExceptBlock("clause")
    block.add([Move(XAxis, position="a"), VemoId("d")])
    assert block.resolve_global({"d": declared}) is True
    assert [a.params["position"] for a in block.evaluate()] == ["a", "p0", "p1"]


@pytest.mark.parametrize("kind, flags", [(StandardBlock, (False, False)), (RunExceptBlock, (False, False)),
                                         (AsyncBlock, (True, False)), (CompeteBlock, (False, True))])
def test_kinds_carry_class_flags_that_an_instance_overrides(kind, flags):
    assert (kind.isAsync, kind.isCompete) == flags
    block = kind([]) if kind is not StandardBlock else kind()
    block.isCompete = True
    assert block.isCompete is True and kind.isCompete is flags[1]


@pytest.mark.parametrize("kind", [AsyncBlock, CompeteBlock])
def test_class_builders_build_the_class_they_are_called_on(kind):
    class HostKind(kind):
        pass

    x, y = acts(2), acts(1, YAxis)
    built = HostKind.create_from_action_lists([x + [";"], y if kind is AsyncBlock else acts(1)])
    assert type(built) is HostKind and built.id is None and built.next_block is None
    members = built.async_blocks if kind is AsyncBlock else built.compete_blocks
    assert [type(m) for m in members] == [StandardBlock, StandardBlock] and members[0].action_seq == x


def test_async_block_map_follows_module_order_and_the_later_block_of_a_module_wins():
    x1, y, x2 = standard(acts(1)), standard(acts(1, YAxis)), standard(acts(1, prefix="again"))
    members = [x1, y, x2]
    block = AsyncBlock(members)
    assert block.async_blocks is members and list(block.async_block_map) == ["XAxis", "YAxis"]
    assert block.async_block_map["XAxis"] is x2
    only = standard(acts(1))
    assert AsyncBlock.create_async_from_standard(only).async_blocks == [only]
    with pytest.raises(TypeError):
        AsyncBlock(None)


def test_async_copy_keeps_cross_module_dependencies_and_script_order(capsys):
    x, y = acts(2), acts(2, YAxis)
    y[0].add_dependencies(x[1])
    start = Move(Gripper, position="start")
    x[0].set_script_dep(start.finish_signal)
    block = AsyncBlock.create_from_action_lists([x, y])
    capsys.readouterr()
    copied = block.async_copy()
    cx, cy = copied.async_block_map["XAxis"].action_seq, copied.async_block_map["YAxis"].action_seq
    assert cy[0].dependency == [cx[1]] and not set(map(id, cx + cy)) & set(map(id, x + y))
    assert cx[0].script_dep is start.finish_signal and cy[0].script_dep is None
    assert cx[1].script_dep is cx[0].finish_signal and cy[1].script_dep is cy[0].finish_signal
    out = capsys.readouterr().out.splitlines()
    assert len(out) == 2 and all(line.startswith("new action sequence =  [[Move(") for line in out)


def test_async_copy_refuses_foreign_dependencies_and_non_async_instances():
    x = acts(1)
    x[0].add_dependencies(Move(XAxis, position="outside"))
    with pytest.raises(Exception, match="^Depedency not exist error$"):
        AsyncBlock.create_from_action_lists([x]).async_copy()
    block = AsyncBlock.create_from_action_lists([acts(1)])
    block.isAsync = False
    with pytest.raises(AssertionError):
        block.async_copy()


def test_async_concat_appends_module_by_module_behind_the_last_action():
    ax, ay, bx, by = acts(2), acts(1, YAxis), acts(1, prefix="b"), acts(1, YAxis, prefix="b")
    a = AsyncBlock.create_from_action_lists([ax, ay])
    b = AsyncBlock.create_from_action_lists([by, bx])
    a.async_concat([b])
    assert a.async_block_map["XAxis"].action_seq == ax + bx and a.async_block_map["YAxis"].action_seq == ay + by
    assert bx[0].script_dep is ax[1].finish_signal and by[0].script_dep is ay[0].finish_signal


def test_async_concat_fails_on_a_missing_module_after_the_modules_before_it():
    ax, ay, bx = acts(1), acts(1, YAxis), acts(1, prefix="b")
    a = AsyncBlock.create_from_action_lists([ax, ay])
    with pytest.raises(KeyError):
        a.async_concat([AsyncBlock.create_from_action_lists([bx])])
    assert a.async_block_map["XAxis"].action_seq == ax + bx


def test_resolve_parallel_lets_a_wait_name_a_block_of_another_module():
    named = standard(acts(2), "n")
    waiting = Move(YAxis, position="w")
    waiting.add_dependencies(VemoId("n"))
    block = AsyncBlock([named, standard([waiting])])
    assert block.resolve_parallel() is True and waiting.dependency == [named.action_seq[1]]


@pytest.mark.parametrize("kind, method", [(AsyncBlock, "async_evaluate"), (CompeteBlock, "compete_evaluate")])
def test_chain_listing_returns_every_block_and_refuses_other_kinds(kind, method):
    blocks = [kind([]) for _ in range(3)]
    assert getattr(chain(*blocks), method)() == blocks
    blocks[2].next_block = StandardBlock()
    with pytest.raises(AttributeError):
        getattr(blocks[0], method)()


def test_compete_block_evaluates_to_a_map_of_competitor_lists():
    first, second = acts(2), acts(1, prefix="q")
    race = CompeteBlock.create_from_action_lists([first, second])
    assert race.evaluate() == {0: first, 1: second} and race.action_seq == {0: first, 1: second}


def test_compete_copy_keeps_dependencies_between_competitors_and_prints_nothing(capsys):
    first, second = acts(2), acts(2, prefix="q")
    second[0].add_dependencies(first[1])
    copied = CompeteBlock.create_from_action_lists([first, second]).compete_copy()
    c0, c1 = (c.action_seq for c in copied.compete_blocks)
    assert c1[0].dependency == [c0[1]] and c1[1].script_dep is c1[0].finish_signal
    assert capsys.readouterr().out == ""
    race = CompeteBlock.create_from_action_lists([acts(1)])
    race.isCompete = False
    with pytest.raises(AssertionError):
        race.compete_copy()


@pytest.mark.parametrize("other_count, error", [(2, None), (3, None), (1, IndexError)])
def test_compete_concat_matches_competitors_by_position(other_count, error):
    own = [acts(1, prefix=f"own{i}") for i in range(2)]
    other = [acts(1, prefix=f"other{i}") for i in range(other_count)]
    race = CompeteBlock.create_from_action_lists(own)
    if error:
        with pytest.raises(error):
            race.compete_concat([CompeteBlock.create_from_action_lists(other)])
        assert race.compete_blocks[0].action_seq == own[0] + other[0]
        return
    race.compete_concat([CompeteBlock.create_from_action_lists(other)])
    assert [c.action_seq for c in race.compete_blocks] == [own[0] + other[0], own[1] + other[1]]
    assert other[1][0].script_dep is own[1][0].finish_signal and len(race.compete_blocks) == 2


def test_resolve_within_competition_lets_a_wait_name_another_competitor():
    named = standard(acts(2), "n")
    waiting = Move(XAxis, position="w")
    waiting.add_dependencies(VemoId("n"))
    race = CompeteBlock([named, standard([waiting])])
    assert race.resolve_within_competition() is True and waiting.dependency == [named.action_seq[1]]
