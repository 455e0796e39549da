"""`vemo mqtt DIR --broker HOST[:PORT]`: publishes a run's journal to an MQTT broker, read-only. Every event
goes, in journal order and QoS 1, to vemo/CELL/runs/RUN/events with its journal line number; the run's state
is kept retained on vemo/CELL/state; the broker marks the cell offline by our last will. The journal on disk
is the queue: while the broker is away no more of it is read, and what the broker had not acknowledged is
sent again once it is back (paho-mqtt keeps unacknowledged QoS 1 messages and resends them on reconnect)."""

from __future__ import annotations

import argparse
import collections
import json
import os
import signal
import sys
import threading
import time
from pathlib import Path
from typing import Any

from vemo.run.journal import JOURNAL_NAME, JournalError, follow
from vemo.run.sideprocess import ParentLink
from vemo.run.plant.options import DEFAULT_PORT, DEFAULT_TLS_PORT, PASSWORD_ENV
from vemo.run.plant.state import PlantView, cell_name

QOS = 1
# Messages handed on but not yet acknowledged by the broker. Past this the journal is not read further until
# the broker catches up, so an absent broker costs a bounded amount of memory, however long the run.
MAX_UNACKNOWLEDGED = 1000
# The retained state is sent at most this often while events stream in (and always after the last).
STATE_INTERVAL = 0.1
# How often the journal is looked at for new lines when it has none: the latency floor of a message.
POLL_SECONDS = 0.02
# How long the network thread waits on the broker's socket before it looks for messages to send.
NETWORK_TICK_SECONDS = 0.01
# Keepalive: how soon the broker notices a publisher that vanished and sends its last will.
KEEPALIVE_SECONDS = 10
# Reconnect back-off while the broker is away.
RECONNECT_MIN_SECONDS, RECONNECT_MAX_SECONDS = 0.5, 5.0
# After the run's process has gone, how long the publisher keeps trying to hand the broker the rest.
DRAIN_SECONDS = 60.0
# At the end, how long the last state (online false) may take to be acknowledged before we disconnect.
GOODBYE_SECONDS = 2.0


def topics(cell: str, run: str) -> dict[str, str]:
    return {"events": f"vemo/{cell}/runs/{run}/events", "state": f"vemo/{cell}/state"}


class Publisher:
    """Follows the journal of the run in `run_dir` on one thread and hands its messages to a second, which
    alone owns the paho-mqtt client: it connects and reconnects, and publishes only between the client's
    network rounds, so that what the client sends again after a reconnect (the messages the broker had not
    acknowledged) always goes before anything newer, and the broker gets every event in journal order."""

    def __init__(self, run_dir: str | Path, host: str, port: int, *, tls: bool = False, cafile: str | None = None,
                 certfile: str | None = None, keyfile: str | None = None, username: str | None = None,
                 password: str | None = None, log=None) -> None:
        self.run_dir = Path(run_dir).resolve()
        self.journal = self.run_dir / JOURNAL_NAME
        if not self.journal.is_file():
            raise PublisherError(f"{run_dir}: no run here (no {JOURNAL_NAME})")
        self.host, self.port = host, port
        self.tls = tls or cafile is not None
        self.cafile, self.certfile, self.keyfile = cafile, certfile, keyfile
        for path in (cafile, certfile, keyfile):
            if path is not None and not os.access(path, os.R_OK):
                raise PublisherError(f"{path}: cannot read it")
        self.username, self.password = username, password
        self.view = PlantView()
        self.error: str | None = None
        self.delivered = threading.Event()  # the run's end and all before it acknowledged by the broker
        self._log = log or (lambda text: print(f"mqtt: {text}", file=sys.stderr, flush=True))
        self._stop = threading.Event()  # ends the follower
        self._network_stop = threading.Event()  # ends the network thread
        self._lock = threading.Condition()
        self._outbox: collections.deque[tuple[str, bytes, bool]] = collections.deque()  # not yet handed on
        self._unacknowledged = 0  # in the outbox or handed to the client, not yet acknowledged
        self._ended = False  # run_ended is in the outbox
        self._state_sent = 0.0
        self._state_dirty = False
        self._client: Any = None
        self._topics: dict[str, str] = {}
        self._connected = False
        self._closing = False
        self._told = ""  # the last trouble with the broker, told once
        self._threads: list[threading.Thread] = []

    # --- start and end -------------------------------------------------------------------------------

    def start(self) -> None:
        self._threads.append(threading.Thread(target=self._follow, name="mqtt-journal", daemon=True))
        self._threads[0].start()

    def close(self, graceful: bool = True) -> None:
        """Stops following; with `graceful`, leaves the last state retained (online false) and disconnects
        so that the broker does not send our last will."""
        self._stop.set()
        with self._lock:
            self._lock.notify_all()
        self._threads[0].join(timeout=5)
        if self._client is None:
            return
        if graceful and self._connected:
            self._closing = True
            self._enqueue(self._topics["state"], self._state_payload(online=False), retain=True)
            with self._lock:
                self._lock.wait_for(lambda: self._unacknowledged <= 0, GOODBYE_SECONDS)
        self._network_stop.set()
        self._threads[1].join(timeout=5)

    # --- the broker: the network thread alone touches the client ---------------------------------------

    def _make_client(self, cell: str, run: str) -> None:
        import paho.mqtt.client as mqtt

        self._topics = topics(cell, run)
        client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=f"vemo-{cell}-{run}-{os.getpid()}",
                             clean_session=True, protocol=mqtt.MQTTv311)
        client.max_inflight_messages_set(100)
        client.will_set(self._topics["state"], json.dumps({"cell": cell, "run": run, "online": False,
                                                           "state": "offline"}), qos=QOS, retain=True)
        if self.tls:
            try:
                client.tls_set(ca_certs=self.cafile, certfile=self.certfile, keyfile=self.keyfile)
            except (OSError, ValueError) as error:  # a file that is no certificate, a key that does not fit
                raise PublisherError(f"TLS: {error}") from None
        if self.username is not None:
            client.username_pw_set(self.username, self.password)
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_publish = self._on_publish
        client.connect_async(self.host, self.port, keepalive=KEEPALIVE_SECONDS)
        self._cell, self._run = cell, run
        self._client = client
        self._threads.append(threading.Thread(target=self._network, name="mqtt-network", daemon=True))
        self._threads[1].start()

    def _network(self) -> None:
        import paho.mqtt.client as mqtt

        client = self._client
        delay = RECONNECT_MIN_SECONDS
        socket_open = False
        while not self._network_stop.is_set():
            if not socket_open:
                try:
                    client.reconnect()
                    socket_open = True
                except (OSError, ValueError) as error:  # refused, unreachable, TLS handshake: try again later
                    self._tell("unreachable", f"cannot reach the broker at {self.host}:{self.port} ({error}); "
                                              f"trying again, the run goes on")
                    self._network_stop.wait(delay)
                    delay = min(2 * delay, RECONNECT_MAX_SECONDS)
                    continue
            # A reconnect's CONNACK and the client's resending of what was not acknowledged both happen in
            # here, before anything newer is handed on below.
            if client.loop(timeout=NETWORK_TICK_SECONDS) != mqtt.MQTT_ERR_SUCCESS:
                socket_open = self._connected = False
                self._network_stop.wait(delay)
                delay = min(2 * delay, RECONNECT_MAX_SECONDS)
                continue
            if self._connected:
                delay = RECONNECT_MIN_SECONDS
                while True:
                    with self._lock:
                        if not self._outbox:
                            break
                        topic, payload, retain = self._outbox.popleft()
                    client.publish(topic, payload, qos=QOS, retain=retain)
        if socket_open and self._closing:
            client.disconnect()
            client.loop(timeout=NETWORK_TICK_SECONDS)

    def _tell(self, kind: str, text: str) -> None:
        if kind != self._told:
            self._told = kind
            self._log(text)

    def _on_connect(self, client: Any, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        if reason.is_failure:
            self._tell(f"refused {reason}", f"the broker at {self.host}:{self.port} refused us: {reason}; "
                                            f"trying again")
            return
        self._connected = True
        self._tell("connected", f"connected to {self.host}:{self.port}")
        self._state_dirty = True  # the retained state again: the broker may have lost it

    def _on_disconnect(self, client: Any, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        if self._connected and not self._closing:
            self._tell("lost", f"lost the broker ({reason}); reconnecting, the run goes on")
        self._connected = False

    def _on_publish(self, client: Any, userdata: Any, mid: int, reason: Any, properties: Any) -> None:
        with self._lock:
            self._unacknowledged -= 1
            self._lock.notify_all()

    def _enqueue(self, topic: str, payload: bytes, retain: bool = False) -> None:
        """Hands a message to the network thread; waits while too many are not acknowledged yet."""
        with self._lock:
            while self._unacknowledged >= MAX_UNACKNOWLEDGED and not self._stop.is_set():
                self._lock.wait(0.5)
            self._unacknowledged += 1
            self._outbox.append((topic, payload, retain))

    # --- the journal ---------------------------------------------------------------------------------

    def _follow(self) -> None:
        try:
            for event in follow(self.journal, self._stop, POLL_SECONDS, idle=self._idle):
                self.view.add(event)
                if self._client is None:
                    self._make_client(cell_name(event, self.run_dir), self.run_dir.name)
                payload = json.dumps({"line": self.view.lines, **event}, ensure_ascii=False, default=str)
                self._enqueue(self._topics["events"], payload.encode("utf-8"))
                self._state_dirty = True
                if event["event"] == "run_ended":
                    self._send_state()
                    self._ended = True
            if self._ended:
                self._await_delivery()
        except (JournalError, OSError) as error:
            self.error = f"the journal cannot be followed: {error}"
            self._log(self.error)
        except PublisherError as error:
            self.error = str(error)
            self._log(self.error)

    def _idle(self) -> None:
        if self._state_dirty and time.monotonic() - self._state_sent >= STATE_INTERVAL and self._client is not None:
            self._send_state()

    def _state_payload(self, online: bool = True) -> bytes:
        return json.dumps({"cell": self._cell, "run": self._run, "online": online, **self.view.snapshot()},
                          ensure_ascii=False, default=str).encode("utf-8")

    def _send_state(self) -> None:
        self._state_dirty = False
        self._state_sent = time.monotonic()
        self._enqueue(self._topics["state"], self._state_payload(), retain=True)

    def _await_delivery(self) -> None:
        """Waits until the broker has acknowledged everything, the retained state sent again after a
        reconnect included."""
        while not self._stop.is_set():
            if self._state_dirty and self._connected:
                self._send_state()
            with self._lock:
                if self._unacknowledged <= 0 and not self._state_dirty:
                    self.delivered.set()
                    return
                self._lock.wait(0.2)


class PublisherError(Exception):
    """The publisher cannot serve this run: no journal, an unusable option."""


def _password(args: argparse.Namespace) -> str | None:
    if args.password_file:
        try:
            with open(args.password_file, encoding="utf-8") as stream:
                return stream.readline(4096).rstrip("\r\n")
        except OSError as error:
            raise PublisherError(f"{args.password_file}: cannot read the password: {error.strerror}") from None
    return os.environ.get(PASSWORD_ENV)


def serve(args: argparse.Namespace) -> int:
    """`vemo mqtt`: publishes the run until its end is delivered, Ctrl-C or SIGTERM. Started by `vemo run`,
    it tells its parent when it is ready and when the end is delivered, and goes on after the run's process
    has gone for at most DRAIN_SECONDS to deliver the rest."""
    host, port = args.broker
    if port is None:
        port = DEFAULT_TLS_PORT if args.tls or args.cafile else DEFAULT_PORT
    link = ParentLink(args.from_run)
    done = threading.Event()
    for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        if signal.getsignal(number) != signal.SIG_IGN:
            signal.signal(number, lambda *_: done.set())
    try:
        publisher = Publisher(args.dir, host, port, tls=args.tls, cafile=args.cafile, certfile=args.certfile,
                              keyfile=args.keyfile, username=args.username, password=_password(args))
    except PublisherError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    publisher.start()
    link.tell({"broker": f"{host}:{port}"})
    if not args.from_run:
        print(f"publishing {args.dir} to {host}:{port} (Ctrl-C ends the publisher, not the run)", flush=True)
    deadline: list[float] = []

    def run_gone() -> None:
        deadline.append(time.monotonic() + DRAIN_SECONDS)

    link.watch(run_gone)
    told = False
    while not done.is_set():
        if publisher.delivered.wait(0.2):
            if not told:
                told = True
                link.tell({"ended": True})
            break
        if publisher.error is not None or (deadline and time.monotonic() > deadline[0]):
            break
    publisher.close(graceful=publisher.delivered.is_set() or done.is_set())
    if deadline and not publisher.delivered.is_set():
        print("mqtt: the broker did not take the rest of the journal in time; "
              f"`vemo mqtt {args.dir} --broker ...` sends it again", file=sys.stderr, flush=True)
    return 1 if publisher.error is not None else 0
