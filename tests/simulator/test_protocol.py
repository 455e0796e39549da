"""vemo-sim over the wire: request replies, published results, dependencies, conditions and log requests."""

import pytest
import zmq

from helpers import wait_until

from simclient import ACTION, LOG, Client, action_record, decode_action

FESTO_X, FESTO_Z, AKRIBIS_ROTARY = 1, 2, 3  # gantry_x / gantry_z SlaveNo, rotary KinraID (examples/handler/cell.yaml)
IO_STATION = 20
MOVE_ABS, HOME, STOP = 1, 3, 4
START_MOVING, END_MOVING, END_HOMING = 1, 3, 6


def condition_code(kinra_id, kind):
    return 151 + 10 * (kinra_id - 1) + kind


def test_accepted_request_is_echoed_and_published_when_its_motion_ends(start_sim, context):
    c = Client(context, start_sim(time_scale=2).address)
    c.subscribe("mv")
    reply = c.send(FESTO_X, MOVE_ABS, [500_000, -1, -1, -1], "mv", ["502"])
    assert reply == [FESTO_X, MOVE_ABS, 500_000, -1, -1, -1, -1, -1, "mv", "502", "", "", "", 1]
    # 500 mm at 200 mm/s with 2000 mm/s^2 takes 2.6 simulated s, 1.3 s here: still under way now.
    wait_until(lambda: c.log(1, 0)[2] == "2", timeout=2)  # MOVING once the acceleration is over
    assert 0 < int(c.log(1, 2)[2]) < 500_000
    published = c.results(["mv"])["mv"]
    assert published[:13] == reply[:13] and published[13] == 1
    assert c.log(1, 2) == (1, 2, "500000")
    assert c.log(1, 0)[2] == str(END_MOVING)
    c.close()


def test_blocking_move_as_the_client_sends_it_reports_end_and_static_conditions(client):
    """The batch of a waiting motion: the move, start and end conditions, then a static-time condition."""
    ids = ["m", "start", "end", "static"]
    client.subscribe("end", "static")
    assert client.send(AKRIBIS_ROTARY, 51, [9000, 3600, -1, -1], "m", ["503"])[-1] == 1
    assert client.send(0, condition_code(3, 0), [START_MOVING], "start", ["m"])[-1] == 1
    assert client.send(0, condition_code(3, 0), [END_MOVING], "end", ["m"])[-1] == 1
    assert client.send(0, condition_code(3, 6), [], "static", ["m", "start"])[-1] == 1
    results = client.results(ids[2:])
    assert results["end"][-1] == 1 and results["static"][-1] == 1
    assert client.log(3, 2)[2] == "9000"


def test_move_and_check_batch_finishes_its_final_blank_condition(client):
    client.subscribe("final")
    axes = [(FESTO_X, 1, 1000, 120.5), (FESTO_Z, 2, 1000, 95.0)]
    targets = []
    for slave, kinra, factor, pos in axes:
        client.send(slave, MOVE_ABS, [int(pos * factor), -1, -1, -1], f"mv{kinra}", ["502"])
    for slave, kinra, factor, pos in axes:
        client.send(0, condition_code(kinra, 2), [2, int(pos * factor), 70], f"pos{kinra}", [f"mv{kinra}"])
        targets.append(f"pos{kinra}")
    assert client.send(0, 150, [], "final", targets)[-1] == 1
    assert client.results(["final"])["final"][-1] == 1
    assert client.log(1, 2)[2] == "120500" and client.log(2, 2)[2] == "95000"


def test_failed_motion_fails_the_conditions_waiting_on_it(client):
    client.subscribe("far", "end")
    assert client.send(FESTO_X, MOVE_ABS, [900_000], "far", ["502"])[-1] == 1  # beyond Max 600 mm
    assert client.send(0, condition_code(1, 0), [END_MOVING], "end", ["far"])[-1] == 1
    results = client.results(["far", "end"])
    assert results["far"][-1] == 0 and results["end"][-1] == 0
    assert client.log(1, 1)[2] == "1"


def test_io_set_changes_the_output_image_and_the_mirrored_inputs(client):
    # valves (KinraID 11) is slot 2, its outputs start at byte 0; sensors (10) mirror them.
    client.subscribe("io", "sense")
    assert client.send(0, condition_code(10, 4), [0, 9, 1], "sense")[-1] == 1
    assert client.send(IO_STATION, 0, [9, 0, 1], "io", ["502"])[-1] == 1
    assert [r[-1] for r in client.results(["io", "sense"]).values()] == [1, 1]
    assert client.log(11, 3)[2] == "0002"
    assert client.log(10, 4)[2] == "0002"
    assert client.log(12, 3)[2] == "00"


@pytest.mark.parametrize("module_id,func_id,args,deps", [
    (99, MOVE_ABS, [], ["502"]),                      # no such Festo slave
    (FESTO_X, 53, [], ["503"]),                       # Akribis code for a Festo slave
    (FESTO_X, 42, [], []),                            # unknown function code
    (0, condition_code(40, 2), [2, 0, 0], []),        # condition on a missing module
    (IO_STATION, 0, [16, 0, 1], ["502"]),             # pin beyond the valves' 16 outputs
    (IO_STATION, 0, [0, 7, 1], ["502"]),              # no module's outputs start at byte 7
    (0, 150, [], ["never-sent"]),                     # unknown dependency
])
def test_request_the_cell_cannot_run_is_refused(client, module_id, func_id, args, deps):
    reply = client.send(module_id, func_id, args, "r1", deps)
    assert reply[-1] == 0
    assert reply[:2] == [module_id, func_id] and reply[8] == "r1"


@pytest.mark.parametrize("frames", [
    [b""],
    [b"\x01" * 100],
    [action_record(1, 1, [0], "x") + b"\0"],
    [action_record(1, 7, [], "PC-é", ["502"])],
    [action_record(1, 7, [], "two"), b"frames"],
], ids=["empty", "short", "long", "non-ascii", "two-frames"])
def test_malformed_record_is_refused_and_the_server_keeps_serving(client, frames):
    reply = client.send_raw(frames)
    assert len(reply) == ACTION.size
    fields = decode_action(reply)  # decodes as ASCII: no byte above 127 comes back
    assert fields[-1] == 0
    assert client.send(0, 150, [], "after")[-1] == 1


@pytest.mark.parametrize("request_bytes,expected", [
    (LOG.pack(1, 2, b""), (1, 2, "0")),
    (LOG.pack(3, 5, b""), (3, 5, "25")),
    (LOG.pack(11, 3, b""), (11, 3, "0000")),
    (LOG.pack(11, 2, b""), (11, 2, "")),        # an IO module has no position
    (LOG.pack(77, 0, b""), (77, 0, "")),        # no such module
    (b"short", (-1, -1, "")),
])
def test_log_request_answers_with_text(client, request_bytes, expected):
    client.logs.send(request_bytes)
    k, i, text = LOG.unpack(client.logs.recv())
    assert (k, i, text.replace(b"\0", b"").decode("ascii")) == expected


def test_result_published_before_the_subscription_arrives_is_replayed(client):
    assert client.send(0, 150, [], "early")[-1] == 1
    client.subscribe("early")
    assert client.results(["early"])["early"][-1] == 1


def test_stop_interrupts_a_waiting_motion(start_sim, context):
    c = Client(context, start_sim(time_scale=1).address)
    c.subscribe("long", "stop")
    assert c.send(FESTO_X, MOVE_ABS, [600_000], "long", ["502"])[-1] == 1
    assert c.send(FESTO_X, STOP, [], "stop", ["502"])[-1] == 1
    results = c.results(["long", "stop"])
    assert results["long"][-1] == 0 and results["stop"][-1] == 1
    assert c.log(1, 0)[2] == "7"
    assert int(c.log(1, 2)[2]) < 600_000
    c.close()


def test_oversized_message_costs_only_its_sender_the_connection(client, context):
    big = Client(context, client.address)
    try:
        big.actions.setsockopt(zmq.RCVTIMEO, 300)
        big.actions.send(b"x" * 100_000)
        with pytest.raises(zmq.Again):
            big.actions.recv()
    finally:
        big.close()
    assert client.send(0, 150, [], "still-serving")[-1] == 1
