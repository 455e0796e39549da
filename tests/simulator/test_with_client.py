"""The project's handler client against the simulator: waiting motions, composite jobs, IO and readings."""

import pytest

from simclient import EXAMPLE_CELL

kinra_client = pytest.importorskip("kinra_client")


@pytest.fixture
def kinra(start_sim):
    sim = start_sim(time_scale=20)
    return kinra_client.KinraClient(EXAMPLE_CELL, server_address=sim.address)


def test_waiting_motions_reach_their_targets_and_report_success(kinra):
    assert kinra.motor_ptp(1, 120.5, 100, 1000, 1000, block=True) == 1
    assert kinra.motor_monitor(1) == 120.5
    assert kinra.move_and_check([2, 3, 4], [95, 90, -99], [100, 360, 50], [-1, -1, -1], [-1, -1, -1]) is True
    assert (kinra.motor_monitor(2), kinra.motor_monitor(3), kinra.motor_monitor(4)) == (95.0, 90.0, 0.0)
    assert kinra.axis_homing([1, 3]) is True
    assert (kinra.motor_monitor(1), kinra.motor_monitor(3)) == (0.0, 0.0)


def test_motion_beyond_the_axis_limits_reports_failure(kinra):
    assert kinra.motor_ptp(2, 500, block=True) == 0  # gantry_z stops at 150 mm
    assert kinra.get_logger(2, 1) == "1"


def test_io_set_waits_for_its_result_and_shows_in_the_images(kinra):
    assert kinra.io_set(11, 3, 1, block=True) == 1
    assert kinra.io_set(13, 0, 1, block=True) == 1
    assert kinra.io_monitor(11, "KINRA_ID_OUTPUT_DATA") == "0800"
    assert kinra.io_monitor(10) == "0800"  # sensors mirror the valves
    assert kinra.io_monitor(13, "KINRA_ID_OUTPUT_DATA") == "01"
    assert kinra.io_set(12, 8, 1) == 0  # the lamps have 8 outputs: the server refuses pin 8
