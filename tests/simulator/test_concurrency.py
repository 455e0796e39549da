"""Eight handler clients at once: every reply reaches the client that asked, every result its subscriber."""

import threading

from simclient import Client

CLIENTS = 8
ROUNDS = 30


def eight_axis_cell(tmp_path):
    axes = "\n".join(
        f"    - {{KinraID: {k}, SlaveNo: {k}, Params: {{DistanceFactor: 1000, SpeedFactor: 1000, "
        f"AccelerationFactor: 1000}}}}" for k in range(1, CLIENTS + 1))
    path = tmp_path / "cell.yaml"
    path.write_text("xan_handler:\n  Festo:\n" + axes + "\n  IOModule:\n    SlaveNo: 50\n    Modules:\n"
                    f"      - {{KinraID: 40, Slot: 1, InputBytes: 0, OutputBytes: {CLIENTS}}}\n")
    return path


def drive_one_client(context, address, k, failures):
    """Client k moves its own axis back and forth, each move waiting on the previous one at the server,
    sets its own output byte and gathers each round in a blank condition. Some results are published
    before the subscription reaches the server (the first move goes nowhere and ends at once); the
    server's replay must cover them."""
    c = Client(context, address)
    try:
        prefix = f"c{k}-"
        sent = []
        for i in range(ROUNDS):
            target = 10_000 * (i % 2)
            requests = [
                (k, 1, [target, -1, -1, -1], f"{prefix}mv{i}", ["502"] + ([f"{prefix}mv{i-1}"] if i else [])),
                (0, 151 + 10 * (k - 1), [3], f"{prefix}end{i}", [f"{prefix}mv{i}"]),
                (50, 0, [8 * (k - 1) + i % 8, 0, 1], f"{prefix}io{i}", ["502"]),
                (0, 150, [], f"{prefix}all{i}", [f"{prefix}end{i}", f"{prefix}io{i}"]),
            ]
            for module_id, func_id, args, cmd_id, deps in requests:
                c.subscribe(cmd_id)  # as the handler client does, just before sending
                reply = c.send(module_id, func_id, args, cmd_id, deps)
                assert reply[8] == cmd_id and reply[:2] == [module_id, func_id], (cmd_id, reply)
                assert reply[-1] == 1, (cmd_id, reply)
                sent.append(cmd_id)
            assert c.log(k, 6)[:2] == (k, 6)
        results = c.results(sent, timeout=20)
        assert set(results) == set(sent), "a result of another client arrived"
        for cmd_id, record in results.items():
            assert record[8] == cmd_id and record[-1] == 1, (cmd_id, record)
        assert c.log(k, 2) == (k, 2, str(10_000 * ((ROUNDS - 1) % 2)))
    except BaseException as e:  # reported by the main thread
        failures.append((k, repr(e)))
    finally:
        c.close()


def test_eight_clients_concurrently_get_their_own_replies_and_results(start_sim, context, tmp_path):
    address = start_sim(settings=eight_axis_cell(tmp_path), time_scale=100).address
    failures = []
    threads = [threading.Thread(target=drive_one_client, args=(context, address, k, failures))
               for k in range(1, CLIENTS + 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads), "a client hung"
    assert failures == []
    probe = Client(context, address)
    try:
        assert probe.log(40, 3)[2] == "ff" * CLIENTS  # every client set all eight of its outputs
    finally:
        probe.close()
