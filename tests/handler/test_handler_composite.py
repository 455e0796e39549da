"""Composite motions of KinraClient: the batch move_and_check and axis_homing send and their verdict."""
import pytest

from kinra_fake_server import publish_at_once


def final_result_server(server_factory, outcome=1):
    """A server that publishes `outcome` for final conditions (code 150) and nothing for the rest."""
    return server_factory(publish=lambda r: (outcome, 0.0) if r["func_id"] == 150 else None)


def test_move_and_check_skips_unmoved_axes_and_pauses_before_static_conditions(client, server_factory):
    server = final_result_server(server_factory)
    assert client.move_and_check([13, 14], [20, -99], [1, 1], [1, 1], [1, 1]) is True
    sent = server.decoded()
    assert [(r["module_id"], r["func_id"]) for r in sent] == [(2, 1), (0, 273), (0, 277), (0, 150), (0, 150)]
    motion, position, static, final_target, final_static = sent
    assert motion["args"][:4] == [20000, 100, 10, 10] and motion["deps"][0] == "502"
    assert position["args"][:3] == [2, 20000, 70] and position["deps"][0] == motion["cmd_id"]
    assert static["deps"][0] == motion["cmd_id"]
    assert final_target["deps"] == [position["cmd_id"], "", "", ""]
    assert final_static["deps"] == [static["cmd_id"], "", "", ""]
    assert 1.9 < server.request_times[2] - server.request_times[1] < 2.6


def test_move_and_check_scales_the_tolerance_per_axis_and_names_four_axes_at_most(client, server_factory):
    server = final_result_server(server_factory)
    axes = [13, 14, 21, 22, 13]
    assert client.move_and_check(axes, [1, 2, 3, 4, 5], [-1] * 5, [-1] * 5, [-1] * 5, tol=0.07) is True
    sent = server.decoded()
    positions = [r for r in sent if r["func_id"] in (273, 283, 353, 363)]
    assert [r["args"][2] for r in positions] == [70, 35, 70, 14, 70]
    final_target = sent[-2]
    assert final_target["deps"] == [r["cmd_id"] for r in positions[:4]]


def test_move_and_check_with_every_axis_skipped_sends_only_the_final_conditions(client, server_factory):
    server = final_result_server(server_factory, outcome=0)
    assert client.move_and_check([13, 14], [-99, -99], [1, 1], [1, 1], [1, 1]) is False
    assert [(r["func_id"], r["deps"]) for r in server.decoded()] == [(150, [""] * 4)] * 2


@pytest.mark.parametrize(
    "lists",
    [([13], [20], [1, 2], [1], [1]), ([13], [], [1], [1], [1]), ([13, 14], [1, 2], [1, 2], [1, 2], [1])],
)
def test_move_and_check_refuses_lists_of_different_lengths(client, server_factory, capsys, lists):
    server = server_factory()
    assert client.move_and_check(*lists) is False
    assert capsys.readouterr().out == (
        "[KinraClient: Move And Check] All of the list type input argument must have same length.\n")
    assert server.requests == []


def test_axis_homing_pauses_right_after_the_homing_requests(client, server_factory):
    server = final_result_server(server_factory)
    assert client.axis_homing([13, 21]) is True
    sent = server.decoded()
    assert [(r["module_id"], r["func_id"], r["args"][0]) for r in sent] == [
        (2, 3, 17), (21, 53, 0), (0, 271, 6), (0, 351, 6), (0, 277, -1), (0, 357, -1), (0, 150, -1), (0, 150, -1)]
    assert 1.9 < server.request_times[2] - server.request_times[1] < 2.6
    assert sent[2]["deps"][0] == sent[0]["cmd_id"] and sent[3]["deps"][0] == sent[1]["cmd_id"]
    assert sent[6]["deps"][:2] == [sent[2]["cmd_id"], sent[3]["cmd_id"]]
    assert sent[7]["deps"][:2] == [sent[4]["cmd_id"], sent[5]["cmd_id"]]


def test_axis_homing_refuses_lists_of_different_lengths(client, capsys):
    assert client.axis_homing([13], [17, 35]) is False
    assert capsys.readouterr().out == (
        "[KinraClient: Axis Homing] All of the list type input argument must have same length.\n")


def test_composite_motion_over_an_io_module_raises_and_sends_nothing(client, server_factory):
    server = server_factory(publish=publish_at_once())
    with pytest.raises(TypeError):
        client.axis_homing([13, 30])
    with pytest.raises(KeyError):
        client.move_and_check([30], [1], [1], [1], [1])
    assert server.requests == []


def test_composite_motion_is_false_when_the_server_is_unreachable(client, capsys):
    assert client.axis_homing([13]) is False
    assert "[Enqueue Action Error]" in capsys.readouterr().out
