"""Benchmark of the handler client: record packing, request round trips and the latency of a waiting condition.

Run: PYTHONPATH=build/dev/python python bench/bench_handler.py
The server runs in a child process (this file with --serve) so that it does not share the client's GIL.
"""
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

ADDRESS = "127.66.%d.1" % (os.getpid() % 250)
ACTION_LAYOUT = "iiiiiiii36s36s36s36s36si"


def serve(address):
    """Echo server on the handler ports: every action request is answered with result 1 and its
    completion is published at once; log requests are echoed."""
    import zmq

    context = zmq.Context()
    actions = context.socket(zmq.ROUTER)
    actions.bind("tcp://%s:5002" % address)
    logs = context.socket(zmq.ROUTER)
    logs.bind("tcp://%s:5003" % address)
    publisher = context.socket(zmq.PUB)
    publisher.bind("tcp://%s:5001" % address)
    poller = zmq.Poller()
    poller.register(actions, zmq.POLLIN)
    poller.register(logs, zmq.POLLIN)
    print("ready", flush=True)
    while True:
        for sock, _ in poller.poll():
            frames = sock.recv_multipart()
            body = frames[-1]
            if sock is logs or len(body) != 216:
                sock.send_multipart(frames)
                continue
            answer = body[:212] + struct.pack("i", 1)
            sock.send_multipart(frames[:-1] + [answer])
            if body[4:8] == struct.pack("i", 150):  # conditions of the latency test are published
                publisher.send_multipart([body[32:68].rstrip(b"\0"), answer])


def rate(function, seconds=1.0):
    """Calls per second of `function` over about `seconds`."""
    count, begin = 0, time.perf_counter()
    while True:
        for _ in range(200):
            function()
        count += 200
        elapsed = time.perf_counter() - begin
        if elapsed >= seconds:
            return count / elapsed


def threaded_rate(make_call, threads, seconds=1.5):
    counts = [0] * threads
    stop = threading.Event()

    def work(k):
        call = make_call()
        while not stop.is_set():
            call()
            counts[k] += 1

    workers = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    begin = time.perf_counter()
    for w in workers:
        w.start()
    time.sleep(seconds)
    stop.set()
    for w in workers:
        w.join()
    return sum(counts) / (time.perf_counter() - begin)


def main():
    import zmq

    import kinra_client as kc

    server = subprocess.Popen([sys.executable, __file__, "--serve", ADDRESS], stdout=subprocess.PIPE, text=True)
    try:
        assert server.stdout.readline().strip() == "ready"
        settings = tempfile.NamedTemporaryFile("w", suffix=".yaml", delete=False)
        settings.write("xan_handler:\n  server_address: %s\n  IOModule:\n    Modules: []\n" % ADDRESS)
        settings.close()
        client = kc.KinraClient(settings.name)

        print("handler client benchmark (loopback, server in a child process)")
        action = kc.XANAction(3, 1, [7, 1000, 5, 5], ["PC1208120000-1", "502"], "PC1208120000-2")
        packed = rate(action.get_transmit_data)
        values = (3, 1, 7, 1000, 5, 5, -1, -1, b"PC1208120000-2", b"PC1208120000-1", b"502", b"", b"", -1)
        python_struct = rate(lambda: struct.pack(ACTION_LAYOUT, *values))

        def python_equivalent():
            head = [action.module_id, action.func_id] + [int(a) for a in action.arg_list]
            head += [-1] * (8 - len(head))
            deps = [d.encode() for d in action.dep_list[:4]] + [b""] * (4 - len(action.dep_list[:4]))
            return struct.pack(ACTION_LAYOUT, *head, action.cmd_id.encode(), *deps, -1)

        assert python_equivalent() == action.get_transmit_data()
        from_fields = rate(python_equivalent)
        print("(a) XANAction.get_transmit_data: %12.0f records/s   (Python struct.pack of prepared values: %.0f/s;"
              " the same packing from the action's fields in Python: %.0f/s)" % (packed, python_struct, from_fields))

        record = action.get_transmit_data()
        context = zmq.Context()

        def raw_socket():
            sock = context.socket(zmq.REQ)
            sock.linger = 0
            sock.connect("tcp://%s:5002" % ADDRESS)
            return sock

        shared = raw_socket()
        shared_lock = threading.Lock()

        def raw_call():
            with shared_lock:
                shared.send(record)
                shared.recv()

        def client_call():
            client.enqueue_action(action)

        for threads in (1, 4):
            raw = threaded_rate(lambda: raw_call, threads)
            ours = threaded_rate(lambda: client_call, threads)
            print("(b) enqueue_action, %d thread(s): %9.0f round trips/s   (raw REQ/REP, one socket: %.0f/s; ratio %.2f)"
                  % (threads, ours, raw, ours / raw))

        latencies = []
        for _ in range(300):
            begin = time.perf_counter()
            result = client.generate_condition_and_send(0, 150, block=True)
            latencies.append((time.perf_counter() - begin) * 1000)
            assert result == 1, result
        latencies.sort()
        print("(c) generate_condition_and_send(block=True): median %.2f ms, p90 %.2f ms, max %.2f ms over %d calls"
              % (statistics.median(latencies), latencies[int(len(latencies) * 0.9)], latencies[-1], len(latencies)))
        context.destroy(linger=0)
        os.unlink(settings.name)
    finally:
        server.kill()
        server.wait()


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--serve":
        serve(sys.argv[2])
    else:
        main()
