"""Fixtures for the kinra_client tests: loopback addresses, settings files, the fake server, clients."""
import itertools
import os
import textwrap

import pytest

import kinra_client
from kinra_fake_server import FakeHandlerServer

# The handler ports are fixed, so every test gets its own loopback address; the second octet keeps
# concurrent test runs of other processes apart.
_hosts = itertools.count(1)
_block = 100 + os.getpid() % 150


def next_address():
    n = next(_hosts)
    return "127.%d.%d.%d" % (_block, n // 250, n % 250 + 1)


SETTINGS = """\
xan_handler:
  server_address: {address}
  Festo:
    Motors:
      - KinraID: 13
        SlaveNo: 2
        Params: {{DistanceFactor: 1000, SpeedFactor: 100, AccelerationFactor: 10}}
      - KinraID: "14"
        SlaveNo: 3
        Params: {{DistanceFactor: 500, SpeedFactor: 100, AccelerationFactor: 10}}
      - KinraID: 15
        SlaveNo: 4
      - KinraID: 16
        Params: {{DistanceFactor: 1000, SpeedFactor: 100, AccelerationFactor: 10}}
  Akribis:
    Motors:
      - KinraID: 21
        Params: {{DistanceFactor: 1000, SpeedFactor: 100, AccelerationFactor: 10}}
      - KinraID: 22
        Params: {{DistanceFactor: 200, SpeedFactor: 100, AccelerationFactor: 10}}
  IOModule:
    SlaveNo: 7
    Modules:
      - {{KinraID: 30, Slot: 3, InputBytes: 1, OutputBytes: 1}}
      - {{KinraID: 31, Slot: 1, InputBytes: 2, OutputBytes: 0}}
      - {{KinraID: 10, Slot: 2, InputBytes: 0, OutputBytes: 4}}
"""


@pytest.fixture
def address():
    return next_address()


@pytest.fixture
def write_settings(tmp_path):
    def write(text, name="handler_settings.yaml"):
        path = tmp_path / name
        path.write_text(textwrap.dedent(text))
        return str(path)

    return write


@pytest.fixture
def settings_path(write_settings, address):
    return write_settings(SETTINGS.format(address=address))


@pytest.fixture
def server_factory(address):
    servers = []

    def make(**behaviour):
        server = FakeHandlerServer(address, **behaviour)
        servers.append(server)
        return server

    yield make
    for server in servers:
        server.close()


@pytest.fixture
def client(settings_path):
    return kinra_client.KinraClient(settings_path)
