"""Fixtures of the plant tests: a broker and a subscriber on it, stopped at the end of each test."""

import pytest

from plantsupport import Broker, Subscriber


@pytest.fixture
def broker(tmp_path):
    server = Broker(tmp_path / "broker").start()
    yield server
    server.kill()


@pytest.fixture
def subscriber(broker):
    client = Subscriber(broker.port)
    yield client
    client.close()
