"""Fixtures for the kinra_client tests: loopback addresses, settings files, the fake server, clients."""
import itertools
import os
import textwrap

import pytest

import kinra_client
from kinra_fake_server import SETTINGS, FakeHandlerServer

# The handler ports are fixed, so every test gets its own loopback address; the second octet keeps
# concurrent test runs of other processes apart.
_hosts = itertools.count(1)
_block = 100 + os.getpid() % 150


def next_address():
    n = next(_hosts)
    return "127.%d.%d.%d" % (_block, n // 250, n % 250 + 1)




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
