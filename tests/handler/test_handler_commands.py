"""Conditions, motor and IO commands of KinraClient: the requests they build and send, and their results."""
import threading

import pytest

from kinra_client import XANAction
from kinra_fake_server import publish_at_once


def fields(action):
    return action.module_id, action.func_id, list(action.arg_list), list(action.dep_list)


# ---- conditions


@pytest.mark.parametrize(
    "kinra_id, kwargs, expected",
    [
        (13, dict(condition_type_name="KINRA_ID_POS_CONDITION", arg_list=["POS_NEAR", 20, 0.07]), (273, [2, 20000, 70])),
        (1, dict(condition_type_name="KONRA_ID_SLAVE_STATUS_CONDITION", arg_list=["END_MOVING"]), (151, [3])),
        (13, dict(condition_type_name="KINRA_ID_POS_CONDITION", arg_list=[5, "END_MOVING", 2]), (273, [5, 3, 2000])),
        (13, dict(func_id=999, condition_type_name="KINRA_ID_POS_CONDITION", arg_list=[1, 2]), (999, [1, 2000])),
        (13, dict(func_id=999, condition_type_name="KINRA_ID_INPUT_CONDITION", arg_list=[1, 2]), (999, [1, 2])),
        (13, dict(condition_type_name="KINRA_ID_STATIC_TIME_CONDITION"), (277, [])),
        (0, dict(func_id=150), (150, [])),
        (1, dict(condition_type_name="ADMIN_FESTO_STATE_SPAWNED"), (502, [])),
        (13, dict(condition_type_name="ADMIN_FESTO_STATE_SPAWNED"), (502, [])),
    ],
)
def test_condition_codes_and_argument_conversion(client, kinra_id, kwargs, expected):
    condition = client.generate_condition(kinra_id, **kwargs)
    assert isinstance(condition, XANAction)
    assert condition.module_id == 0 and condition.dep_list == []
    assert condition.func_id == expected[0]
    sent = [int(a) for a in condition.arg_list]
    assert sent == expected[1]
    assert condition.cmd_id.startswith(client.func_id_prefix)


def test_condition_rewrites_the_callers_lists_in_place(client):
    args, deps = ["POS_NEAR", 20, 0.07], ["x"]
    condition = client.generate_condition(13, condition_type_name="KINRA_ID_POS_CONDITION", arg_list=args, dep_list=deps)
    assert condition.arg_list is args and condition.dep_list is deps
    assert args[0] == 2 and args[1] == 20000 and 69.99 < args[2] < 70.01


@pytest.mark.parametrize(
    "kinra_id, kwargs, converted",
    [
        (5, dict(), None),
        (5, dict(condition_type_name="NO_SUCH_KIND"), None),
        (1, dict(condition_type_name="KONRA_ID_SLAVE_STATUS_CONDITION", arg_list=["END_MOVING", "FLYING"]), [3, "FLYING"]),
        (15, dict(condition_type_name="KINRA_ID_POS_CONDITION", arg_list=["POS_NEAR", 1]), [2, 1]),
        (99, dict(condition_type_name="KINRA_ID_POS_CONDITION", arg_list=["POS_NEAR", 1]), [2, 1]),
        (13, dict(condition_type_name="KINRA_ID_POS_CONDITION", arg_list=["POS_NEAR", None]), [2, None]),
    ],
)
def test_invalid_condition_input_prints_and_returns_minus_two(client, capsys, kinra_id, kwargs, converted):
    assert client.generate_condition(kinra_id, **kwargs) == -2
    out = capsys.readouterr().out
    assert out.startswith("Invalid Condition Input") and out.count("\n") == 1
    if converted is not None:
        assert kwargs["arg_list"] == converted


def test_missing_kind_names_the_lookup_error(client, capsys):
    assert client.generate_condition(5) == -2
    assert capsys.readouterr().out == "Invalid Condition Input''\n"


@pytest.mark.parametrize("result, expected", [(1, "id"), (0, 0)])
def test_condition_send_without_waiting(client, server_factory, result, expected):
    server = server_factory(result=result)
    outcome = client.generate_condition_and_send(0, 150)
    sent = server.decoded()[0]
    assert outcome == (sent["cmd_id"] if expected == "id" else expected)
    assert sent["func_id"] == 150 and sent["module_id"] == 0


def test_condition_send_reports_unreachable_server_and_invalid_input(client, capsys):
    assert client.generate_condition_and_send(0, 150) == -3
    assert client.generate_condition_and_send(5) == -2
    assert capsys.readouterr().out.splitlines()[-1] == "Invalid Condition Input''"


def test_condition_send_and_wait_returns_the_published_result(client, server_factory):
    server_factory(publish=publish_at_once(result=5))
    assert client.generate_condition_and_send(13, condition_type_name="KINRA_ID_STATIC_TIME_CONDITION", block=True) == 5


# ---- motor and IO commands


@pytest.mark.parametrize(
    "kinra_id, slave, code, spawned",
    [(13, 2, 7, "502"), (21, 21, 57, "503")],
)
def test_enable_addresses_the_drive_of_its_family(client, server_factory, kinra_id, slave, code, spawned):
    request = client.motor_enable(kinra_id, return_action=True)
    assert fields(request) == (slave, code, [], [spawned])
    server = server_factory()
    cmd_id = client.motor_enable(kinra_id)
    sent = server.decoded()[0]
    assert cmd_id == sent["cmd_id"]
    assert (sent["module_id"], sent["func_id"], sent["args"], sent["deps"]) == (slave, code, [-1] * 6, [spawned, "", "", ""])


@pytest.mark.parametrize(
    "command, festo, akribis",
    [("motor_reset", 5, 55), ("motor_enable", 7, 57), ("motor_disable", 6, 56), ("motor_stop", 4, 54)],
)
def test_simple_commands_extend_the_callers_dependency_list(client, command, festo, akribis):
    deps = ["earlier"]
    request = getattr(client, command)(13, dep_list=deps, return_action=True)
    assert request.func_id == festo and request.dep_list is deps and deps == ["earlier", "502"]
    assert getattr(client, command)(22, return_action=True).func_id == akribis


@pytest.mark.parametrize(
    "call, expected_args",
    [
        (lambda c, k: c.motor_ptp(k, 20, 0.5, 0.5, 0.5, return_action=True), [20000, 50, 5, 5]),
        (lambda c, k: c.motor_ptp(k, 1.2345, return_action=True), [1234, -1, -1, -1]),
        (lambda c, k: c.motor_ptp(k, -0.0015, 2, -1, 3, return_action=True), [-1, 200, -1, 30]),
        (lambda c, k: c.motor_relmv(k, -5, return_action=True), [-5000, -1, -1, -1]),
    ],
)
def test_moves_scale_to_drive_units_truncating_toward_zero(client, call, expected_args):
    for kinra_id in (13, 21):
        request = call(client, kinra_id)
        assert request.arg_list == expected_args


@pytest.mark.parametrize("kinra_id, move, codes", [(13, "motor_ptp", 1), (21, "motor_ptp", 51), (13, "motor_relmv", 2),
                                                   (21, "motor_relmv", 52)])
def test_move_codes_per_family(client, kinra_id, move, codes):
    assert getattr(client, move)(kinra_id, 1, return_action=True).func_id == codes


@pytest.mark.parametrize("kinra_id, method, sent", [(13, 17, 17), (21, 17, 0), (13, 35, 35), (21, 35, 35)])
def test_homing_method(client, kinra_id, method, sent):
    request = client.motor_home(kinra_id, method, return_action=True)
    assert request.arg_list == [sent] and request.func_id in (3, 53)


def test_waiting_homing_sends_conditions_and_pauses_before_the_static_one(client, server_factory):
    end_conditions = []

    def publish(request):
        if request["func_id"] == 271 and request["args"][0] == 6:
            end_conditions.append(request["cmd_id"])
            return (1, 0.0)
        return None

    server = server_factory(publish=publish)
    assert client.motor_home(13, block=True) == 1
    sent = server.decoded()
    assert [(r["module_id"], r["func_id"], r["args"][0]) for r in sent] == [(2, 3, 17), (0, 271, 4), (0, 271, 6), (0, 277, -1)]
    homing, start = sent[0]["cmd_id"], sent[1]["cmd_id"]
    assert sent[1]["deps"][0] == homing and sent[2]["deps"][0] == homing
    assert sent[3]["deps"][:2] == [homing, start]
    assert 1.9 < server.request_times[3] - server.request_times[2] < 2.6
    assert end_conditions == [sent[2]["cmd_id"]]


def test_position_reading_in_user_units(client, server_factory, capsys):
    server_factory(log_text=lambda kinra_id, idx: b"2500" if idx == 2 else b"?")
    assert client.motor_monitor(13) == 2.5
    assert client.motor_monitor(30) == -2


def test_position_reading_without_server_returns_the_connection_code(client, capsys):
    assert client.motor_monitor(13) == -3
    assert isinstance(client.motor_monitor(13), int)


def test_position_reading_that_is_no_integer_raises(client, server_factory):
    server_factory(log_text=b"12.5")
    with pytest.raises(ValueError):
        client.motor_monitor(13)


def test_io_set_addresses_the_station_and_output_byte(client, server_factory):
    request = client.io_set(30, 3, 1, return_action=True)
    assert fields(request) == (7, 0, [3, 4, 1], ["502"])
    server = server_factory()
    assert client.io_set(10, 5, 0) == server.decoded()[0]["cmd_id"]
    assert server.decoded()[0]["args"][:3] == [5, 0, 0]


def test_io_set_on_a_module_without_outputs_or_a_motor_returns_minus_two(client):
    deps = []
    assert client.io_set(31, 1, 1, dep_list=deps, return_action=True) == -2
    assert deps == ["502"]
    assert client.io_set(13, 1, 1, return_action=True) == -2


def test_io_set_finds_its_block_when_slots_have_gaps(write_settings):
    import kinra_client as kc

    path = write_settings("""\
        xan_handler:
          IOModule:
            SlaveNo: 4
            Modules:
              - {KinraID: 1, Slot: 1, InputBytes: 0, OutputBytes: 2}
              - {KinraID: 2, Slot: 4, InputBytes: 0, OutputBytes: 3}
        """)
    client = kc.KinraClient(path)
    assert client.output_start_byte == [0, 2, 5]
    assert client.io_set(2, 0, 1, return_action=True).arg_list == [0, 2, 1]


def test_io_set_and_wait_returns_the_published_result(client, server_factory):
    server_factory(publish=publish_at_once(result=1))
    assert client.io_set(30, 3, 1, block=True) == 1


@pytest.mark.parametrize("datatype, index", [(None, 4), ("KINRA_ID_OUTPUT_DATA", 3)])
def test_io_reading(client, server_factory, datatype, index):
    server = server_factory(log_text=b"\x01")
    reply = client.io_monitor(30) if datatype is None else client.io_monitor(30, datatype)
    assert reply == "\x01" and server.log_requests[0][:2] == (30, index)
    assert client.io_monitor(13) == -2
    with pytest.raises(KeyError):
        client.io_monitor(30, "NO_SUCH_DATA")


@pytest.mark.parametrize(
    "call",
    [
        lambda c, **m: c.motor_reset(30, **{k: v for k, v in m.items() if k == "return_action"}),
        lambda c, **m: c.motor_enable(30, **{k: v for k, v in m.items() if k == "return_action"}),
        lambda c, **m: c.motor_disable(30, **{k: v for k, v in m.items() if k == "return_action"}),
        lambda c, **m: c.motor_stop(30, **{k: v for k, v in m.items() if k == "return_action"}),
        lambda c, **m: c.motor_home(30, **m),
        lambda c, **m: c.motor_action_template(30, "MOTOR_ENABLE", block=m.get("block", False)),
    ],
)
@pytest.mark.parametrize("mode", [dict(), dict(return_action=True), dict(block=True)])
def test_motor_commands_on_an_io_module_return_minus_two_and_send_nothing(client, server_factory, call, mode):
    server = server_factory(publish=publish_at_once())
    assert call(client, **mode) == -2
    assert server.requests == []


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda c: c.motor_ptp(15, 1), KeyError),          # no Params
        (lambda c: c.motor_ptp(30, 1), KeyError),          # IO module: factors are read first
        (lambda c: c.motor_enable(16), KeyError),          # no SlaveNo
        (lambda c: c.motor_ptp(99, 1), KeyError),          # no such module
        (lambda c: c.generate_motor_action(13, "MOTOR_FLY"), KeyError),
        (lambda c: c.motor_action_template(21, "IO_SET_IO"), KeyError),
    ],
)
def test_configuration_errors_raise_and_send_nothing(client, server_factory, call, error):
    server = server_factory()
    with pytest.raises(error):
        call(client)
    assert server.requests == []


def test_unknown_command_leaves_the_dependency_list_alone(client):
    deps = []
    with pytest.raises(KeyError):
        client.generate_motor_action(13, "MOTOR_FLY", dep_list=deps)
    assert deps == []


def test_commands_from_several_threads_on_one_client(client, server_factory):
    server = server_factory()
    results = []

    def work(kinra_id):
        for k in range(50):
            results.append(client.motor_ptp(kinra_id, k))

    workers = [threading.Thread(target=work, args=(k,)) for k in (13, "14", 21, 22)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(30)
    assert len(results) == 200 and len(set(results)) == 200
    assert sorted(r["cmd_id"] for r in server.decoded()) == sorted(results)
