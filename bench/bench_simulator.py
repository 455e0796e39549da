"""vemo-sim throughput and timing: request round trips, results, log reads, motion-end lateness; prints figures."""

import os
import statistics
import struct
import sys
import threading
import time

import zmq

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))

from vemo.run.simulator import Simulator  # noqa: E402

ACTION = struct.Struct("iiiiiiii36s36s36s36s36si")
LOG = struct.Struct("ii80s")
CELL = os.path.join(HERE, "..", "examples", "handler", "cell.yaml")


def record(module_id, func_id, args, cmd_id, deps=()):
    args = list(args) + [-1] * (6 - len(args))
    deps = [d.encode() for d in deps] + [b""] * (4 - len(deps))
    return ACTION.pack(module_id, func_id, *args, cmd_id.encode(), *deps, -1)


def req_socket(ctx, address, port):
    s = ctx.socket(zmq.REQ)
    s.setsockopt(zmq.RCVTIMEO, 5000)
    s.setsockopt(zmq.LINGER, 0)
    s.connect(f"tcp://{address}:{port}")
    return s


def requests_with_results(ctx, address, clients, per_client):
    """Each client sends blank conditions (accepted and finished at once) and collects every result."""
    latencies = [[] for _ in range(clients)]
    barrier = threading.Barrier(clients + 1)

    def one(k):
        req = req_socket(ctx, address, 5002)
        sub = ctx.socket(zmq.SUB)
        sub.setsockopt(zmq.LINGER, 0)
        sub.connect(f"tcp://{address}:5001")
        sub.setsockopt(zmq.SUBSCRIBE, f"b{k}-".encode())
        time.sleep(0.2)  # the prefix subscription is in place before the timed part
        barrier.wait()
        for i in range(per_client):
            t = time.perf_counter()
            req.send(record(0, 150, [], f"b{k}-{i}"))
            req.recv()
            latencies[k].append(time.perf_counter() - t)
        got = 0
        while got < per_client and sub.poll(5000):
            sub.recv_multipart()
            got += 1
        assert got == per_client, f"client {k} got {got} of {per_client} results"
        req.close()
        sub.close()

    threads = [threading.Thread(target=one, args=(k,)) for k in range(clients)]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - start
    flat = sorted(x for lat in latencies for x in lat)
    return clients * per_client / elapsed, flat[len(flat) // 2], flat[int(len(flat) * 0.99)]


def log_reads(ctx, address, clients, per_client):
    def one():
        s = req_socket(ctx, address, 5003)
        for _ in range(per_client):
            s.send(LOG.pack(1, 2, b""))
            s.recv()
        s.close()

    threads = [threading.Thread(target=one) for _ in range(clients)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return clients * per_client / (time.perf_counter() - start)


def motion_end_lateness(ctx, address, moves):
    """Publishes of short moves against their profile: gantry_x, 10 mm with 2000 mm/s^2 never reaches its
    200 mm/s, so the triangular profile takes 2 * sqrt(10 / 2000) s; lateness includes the round trip."""
    req = req_socket(ctx, address, 5002)
    sub = ctx.socket(zmq.SUB)
    sub.setsockopt(zmq.LINGER, 0)
    sub.connect(f"tcp://{address}:5001")
    sub.setsockopt(zmq.SUBSCRIBE, b"mv")
    time.sleep(0.2)
    expected = 2 * (10 / 2000) ** 0.5
    late = []
    for i in range(moves):
        target = 10_000 * ((i + 1) % 2)
        t = time.perf_counter()
        req.send(record(1, 1, [target], f"mv{i}", ["502"]))
        req.recv()
        if not sub.poll(5000):
            raise RuntimeError("motion result missing")
        sub.recv_multipart()
        late.append(time.perf_counter() - t - expected)
    req.close()
    sub.close()
    return statistics.median(late), max(late)


def main():
    ctx = zmq.Context()
    with Simulator(CELL, time_scale=1.0) as sim:
        for clients in (1, 8):
            rate, p50, p99 = requests_with_results(ctx, sim.address, clients, 20_000 // clients)
            print(f"action requests, {clients} client(s): {rate:,.0f} requests/s with results; "
                  f"round trip median {p50 * 1e6:.0f} us, p99 {p99 * 1e6:.0f} us")
        for clients in (1, 8):
            print(f"log requests, {clients} client(s): {log_reads(ctx, sim.address, clients, 20_000 // clients):,.0f}/s")
        median, worst = motion_end_lateness(ctx, sim.address, 30)
        print(f"motion end published after its profile: median {median * 1e3:.2f} ms late, worst {worst * 1e3:.2f} ms")
    ctx.destroy(linger=0)


if __name__ == "__main__":
    main()
