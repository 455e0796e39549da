"""Helpers of the plant tests: Debian's mosquitto broker on a loopback port, a subscriber that keeps its
session across the broker's restarts, and free ports."""

import json
import shutil
import socket
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import pytest

# The run tests' helpers (a run in a child process) and the console tests' hand-written journal.
TESTS = Path(__file__).resolve().parents[1]
for folder in ("run", "console"):
    if str(TESTS / folder) not in sys.path:
        sys.path.insert(0, str(TESTS / folder))

WAIT_SECONDS = 20


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def until(condition, what, timeout=WAIT_SECONDS):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"{what}: not within {timeout} s")


class Broker:
    """mosquitto on 127.0.0.1:port. It keeps sessions and queued messages on disk after every change, so a
    subscriber's session outlives a kill -9 of the broker."""

    def __init__(self, folder, users=None, tls=None):
        binary = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        if not shutil.which(binary):
            pytest.fail("the plant tests need Debian's mosquitto: `make test` installs it")
        self.binary, self.folder, self.port = binary, folder, free_port()
        folder.mkdir(parents=True, exist_ok=True)
        login = "allow_anonymous true\n"
        if users:  # name: password; nobody else may connect
            passwords = folder / "passwords"
            for name, password in users.items():
                subprocess.run(["mosquitto_passwd", "-b", *(["-c"] if not passwords.exists() else []),
                                str(passwords), name, password], check=True, timeout=30)
            login = f"allow_anonymous false\npassword_file {passwords}\n"
        if tls is not None:  # (authority, certificate, key) in PEM files: the listener speaks TLS only
            login += "cafile {}\ncertfile {}\nkeyfile {}\n".format(*tls)
        self.config = folder / "mosquitto.conf"
        self.config.write_text(f"listener {self.port} 127.0.0.1\n{login}persistence true\n"
                               f"persistence_location {folder}/\nautosave_interval 1\nautosave_on_changes true\n"
                               f"user root\n")
        self.process = None

    def start(self):
        self.process = subprocess.Popen([self.binary, "-c", str(self.config)], stdout=subprocess.DEVNULL,
                                        stderr=open(self.folder / "mosquitto.log", "ab"))

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                assert self.process.poll() is None, (self.folder / "mosquitto.log").read_text()
                return False

        until(listening, "mosquitto listens")
        return self

    def kill(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)


class Subscriber:
    """A paho-mqtt client subscribed to `topic` with QoS 1 on a persistent session: what the broker queued
    for it while it was away arrives once it is back. `messages` holds (topic, payload as JSON, retained)."""

    def __init__(self, port, topic="vemo/#", persistent=True, login=None, cafile=None):
        import paho.mqtt.client as mqtt

        self.messages = []
        self._lock = threading.Lock()
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=f"test-{uuid.uuid4().hex[:12]}",
                                  clean_session=not persistent)
        self.client.reconnect_delay_set(0.2, 1)
        self.client.on_connect = lambda client, *_: client.subscribe(topic, qos=1)
        self.client.on_message = self._on_message
        self.subscribed = threading.Event()
        self.client.on_subscribe = lambda *_: self.subscribed.set()
        if login is not None:
            self.client.username_pw_set(*login)
        if cafile is not None:
            self.client.tls_set(ca_certs=str(cafile))
        self.client.connect("127.0.0.1", port, keepalive=5)
        self.client.loop_start()
        assert self.subscribed.wait(WAIT_SECONDS), "the subscription was not acknowledged"

    def _on_message(self, client, userdata, message):
        with self._lock:
            self.messages.append((message.topic, json.loads(message.payload), bool(message.retain)))

    def on(self, suffix):
        with self._lock:
            return [payload for topic, payload, _ in self.messages if topic.endswith(suffix)]

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


def certificates(folder):
    """A certificate authority and a certificate it signs for 127.0.0.1: (authority, certificate, key), PEM."""
    import datetime
    import ipaddress

    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    now = datetime.datetime.now(datetime.timezone.utc)

    def certificate(subject, issuer, key, signer, extensions):
        builder = x509.CertificateBuilder().subject_name(subject).issuer_name(issuer).public_key(key.public_key()) \
            .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(hours=1)) \
            .not_valid_after(now + datetime.timedelta(days=1))
        for extension, critical in extensions:
            builder = builder.add_extension(extension, critical)
        return builder.sign(signer, hashes.SHA256())

    ca_key, key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "test authority")])
    ca = certificate(ca_name, ca_name, ca_key, ca_key, [(x509.BasicConstraints(ca=True, path_length=None), True)])
    server = certificate(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")]), ca_name, key, ca_key,
                         [(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), False)])
    paths = folder / "ca.pem", folder / "server.pem", folder / "server-key.pem"
    folder.mkdir(parents=True, exist_ok=True)
    paths[0].write_bytes(ca.public_bytes(serialization.Encoding.PEM))
    paths[1].write_bytes(server.public_bytes(serialization.Encoding.PEM))
    paths[2].write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    return paths


def distinct_lines(events):
    """The events by journal line, first arrival kept (QoS 1 may deliver one twice), and whether the first
    arrivals came in line order."""
    seen = {}
    order = []
    for event in events:
        if event["line"] not in seen:
            seen[event["line"]] = event
            order.append(event["line"])
    return seen, order == sorted(order)
