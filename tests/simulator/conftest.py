"""Fixtures of the simulator tests: a running vemo-sim on its own loopback address and pyzmq clients."""

import pytest
import zmq

from simclient import EXAMPLE_CELL, Client
from vemo.run.simulator import Simulator



@pytest.fixture
def start_sim(sim_binary):
    """Starts simulators on fresh loopback addresses; stops them after the test."""
    started = []

    def start(settings=EXAMPLE_CELL, time_scale=20.0, extra_args=(), address=None):
        sim = Simulator(settings, address=address, time_scale=time_scale, binary=sim_binary, extra_args=extra_args)
        started.append(sim)
        return sim.start()

    yield start
    for sim in started:
        sim.stop()


@pytest.fixture
def context():
    ctx = zmq.Context()
    yield ctx
    ctx.destroy(linger=0)


@pytest.fixture
def client(start_sim, context):
    c = Client(context, start_sim().address)
    yield c
    c.close()
