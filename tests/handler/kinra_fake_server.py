"""Fake handler server for the kinra_client tests: answers action and log requests, publishes completions."""
import heapq
import struct
import threading
import time

import zmq

# The handler settings of the tests' cell; {address} is the test's own loopback address.
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

ACTION_LAYOUT = "iiiiiiii36s36s36s36s36si"
LOG_LAYOUT = "ii80s"


def decode_action(record):
    """The action record as (module_id, func_id, args, cmd_id, deps, result)."""
    fields = struct.unpack(ACTION_LAYOUT, record)
    text = [f.rstrip(b"\0").decode() for f in fields[8:13]]
    return {
        "module_id": fields[0],
        "func_id": fields[1],
        "args": list(fields[2:8]),
        "cmd_id": text[0],
        "deps": text[1:],
        "result": fields[13],
    }


def with_result(record, result):
    return record[:212] + struct.pack("i", result)


class FakeHandlerServer:
    """Binds the three handler ports on `address` and serves them from one thread.

    result: the result field of each reply (1 accept, 0 refuse), or a callable(request) -> int.
    reply: "record" (the request with its result), "silent" (no reply) or "short" (a 215-byte reply).
    publish: None, or a callable(request) -> (result, delay_seconds), a list of such pairs, or None,
             called for every accepted request; each completion is published on port 5001 after its delay.
    log_text: the text of every log reply, or a callable(kinra_id, idx) -> bytes.
    """

    def __init__(self, address, result=1, reply="record", publish=None, log_text=b"0"):
        self.address = address
        self.result = result
        self.reply = reply
        self.publish = publish
        self.log_text = log_text
        self.requests = []
        self.request_times = []
        self.log_requests = []
        self.extra_messages = []  # raw multipart messages to publish, set by tests before use
        self._lock = threading.Lock()
        self._context = zmq.Context()
        self._actions = self._bind(zmq.ROUTER, 5002)
        self._logs = self._bind(zmq.ROUTER, 5003)
        self._publisher = self._bind(zmq.PUB, 5001)
        self._pending = []  # heap of (due time, sequence, frames)
        self._sequence = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _bind(self, kind, port):
        sock = self._context.socket(kind)
        sock.linger = 0
        sock.bind("tcp://%s:%d" % (self.address, port))
        return sock

    def schedule(self, frames, delay=0.0):
        """Publishes the multipart message `frames` after `delay` seconds (from the server thread)."""
        with self._lock:
            self._sequence += 1
            heapq.heappush(self._pending, (time.monotonic() + delay, self._sequence, frames))

    def decoded(self):
        with self._lock:
            return [decode_action(r) for r in self.requests]

    def _serve(self):
        poller = zmq.Poller()
        poller.register(self._actions, zmq.POLLIN)
        poller.register(self._logs, zmq.POLLIN)
        while not self._stop.is_set():
            with self._lock:
                due = self._pending[0][0] if self._pending else None
            timeout = 20 if due is None else max(0, min(20, int((due - time.monotonic()) * 1000)))
            events = dict(poller.poll(timeout))
            if self._actions in events:
                self._answer_action(self._actions.recv_multipart())
            if self._logs in events:
                self._answer_log(self._logs.recv_multipart())
            self._publish_due()

    def _publish_due(self):
        while True:
            with self._lock:
                if not self._pending or self._pending[0][0] > time.monotonic():
                    return
                _, _, frames = heapq.heappop(self._pending)
            self._publisher.send_multipart(frames)

    def _answer_action(self, frames):
        envelope, body = frames[:-1], frames[-1]
        with self._lock:
            self.requests.append(body)
            self.request_times.append(time.monotonic())
        request = decode_action(body) if len(body) == 216 else None
        result = self.result(request) if callable(self.result) else self.result
        if self.reply == "silent":
            return
        answer = body[:215] if self.reply == "short" else with_result(body, result)
        self._actions.send_multipart(envelope + [answer])
        if result == 1 and self.publish is not None and request is not None:
            completions = self.publish(request) or []
            for outcome, delay in completions if isinstance(completions, list) else [completions]:
                self.schedule([request["cmd_id"].encode(), with_result(body, outcome)], delay)
            self._publish_due()

    def _answer_log(self, frames):
        envelope, body = frames[:-1], frames[-1]
        kinra_id, idx, _ = struct.unpack(LOG_LAYOUT, body)
        with self._lock:
            self.log_requests.append((kinra_id, idx, body))
        if self.reply == "silent":
            return
        text = self.log_text(kinra_id, idx) if callable(self.log_text) else self.log_text
        answer = struct.pack(LOG_LAYOUT, kinra_id, idx, text)
        self._logs.send_multipart(envelope + [answer[:87] if self.reply == "short" else answer])

    def close(self):
        self._stop.set()
        self._thread.join(timeout=5)
        self._context.destroy(linger=0)


def publish_at_once(result=1):
    return lambda request: (result, 0.0)
