"""A pyzmq handler client for the simulator tests, speaking the records as the real client packs them."""

import os
import struct
import time

import zmq


ACTION = struct.Struct("iiiiiiii36s36s36s36s36si")
LOG = struct.Struct("ii80s")
EXAMPLE_CELL = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "handler", "cell.yaml")
TIMEOUT_MS = 3000


def action_record(module_id, func_id, args=(), cmd_id="", deps=(), result=-1):
    args = list(args) + [-1] * (6 - len(args))
    deps = [d.encode() for d in deps] + [b""] * (4 - len(deps))
    return ACTION.pack(module_id, func_id, *args, cmd_id.encode(), *deps, result)


def decode_action(data):
    fields = ACTION.unpack(data)
    return list(fields[:8]) + [f.replace(b"\0", b"").decode("ascii") for f in fields[8:13]] + [fields[13]]


class Client:
    """One handler client as the real one talks: REQ on 5002 and 5003, SUB on 5001, all with time-outs."""

    def __init__(self, context, address):
        self.address = address
        self.actions = self._req(context, 5002)
        self.logs = self._req(context, 5003)
        self.sub = context.socket(zmq.SUB)
        self.sub.setsockopt(zmq.LINGER, 0)
        self.sub.connect(f"tcp://{address}:5001")

    def _req(self, context, port):
        s = context.socket(zmq.REQ)
        s.setsockopt(zmq.LINGER, 0)
        s.setsockopt(zmq.RCVTIMEO, TIMEOUT_MS)
        s.setsockopt(zmq.SNDTIMEO, TIMEOUT_MS)
        s.connect(f"tcp://{self.address}:{port}")
        return s

    def send(self, module_id, func_id, args=(), cmd_id="", deps=()):
        """Enqueues one request; returns the decoded reply."""
        self.actions.send(action_record(module_id, func_id, args, cmd_id, deps))
        return decode_action(self.actions.recv())

    def send_raw(self, frames):
        self.actions.send_multipart(frames)
        return self.actions.recv()

    def log(self, kinra_id, idx):
        self.logs.send(LOG.pack(kinra_id, idx, b""))
        k, i, text = LOG.unpack(self.logs.recv())
        return k, i, text.replace(b"\0", b"").decode("ascii")

    def subscribe(self, *topics):
        for t in topics:
            self.sub.setsockopt(zmq.SUBSCRIBE, t.encode())

    def results(self, wanted, timeout=5.0):
        """Waits for the published results of every id in `wanted`; returns {id: decoded record}."""
        got = {}
        deadline = time.monotonic() + timeout
        while not set(wanted) <= set(got):
            left = deadline - time.monotonic()
            if left <= 0 or not self.sub.poll(int(left * 1000) + 1):
                raise AssertionError(f"results missing after {timeout} s: {sorted(set(wanted) - set(got))}")
            topic, body = self.sub.recv_multipart()
            got[topic.decode("ascii")] = decode_action(body)
        return got

    def close(self):
        for s in (self.actions, self.logs, self.sub):
            s.close(0)

