"""The OPC UA server against the asyncua client: the address space follows a run on the simulator, the
operator pauses it with the run's token, anonymous sessions read but never call, and an address beyond
loopback needs a secured endpoint."""

import asyncio
import socket
import subprocess
import sys

import pytest

from consolesupport import HandRun
from plantsupport import free_port
from vemo.run.journal import Journal
from runsupport import EXAMPLES, child_env, journal_events, start_vemo, stop_process, wait_for_journal

pytestmark = pytest.mark.timeout(120)
WAIT = 15


def client(url, password=None, user="operator"):
    from asyncua import Client

    connection = Client(url, timeout=WAIT)
    if password is not None:
        connection.set_user(user)
        connection.set_password(password)
    return connection


async def node(connection, *path):
    ns = await connection.get_namespace_index("urn:vemo")
    return await connection.nodes.objects.get_child([f"{ns}:{name}" for name in path])


class Changes:
    """Data changes of one variable, as a subscription delivers them; `until` waits for a value after the
    one it waited for last."""

    def __init__(self):
        self.values = []
        self.changed = asyncio.Event()
        self.seen = 0

    def datachange_notification(self, node, value, data):
        self.values.append(value)
        self.changed.set()

    async def until(self, value):
        while value not in self.values[self.seen:]:
            self.changed.clear()
            await asyncio.wait_for(self.changed.wait(), WAIT)
        self.seen = self.values.index(value, self.seen) + 1


@pytest.fixture
def opcua_run(tmp_path):
    """A run on the simulator with its OPC UA server: (run folder, endpoint URL, token)."""
    run_dir, port = tmp_path / "run", free_port()
    process = start_vemo("run", EXAMPLES / "pick_place.vemo", "--speed", "0.5", "--plain", "--run-dir", run_dir,
                         "--opcua", f"127.0.0.1:{port}")
    try:
        wait_for_journal(run_dir, lambda events: any(e["event"] == "action_started" for e in events))
        yield run_dir, f"opc.tcp://127.0.0.1:{port}/vemo", (run_dir / "console-token").read_text().strip(), process
    finally:
        stop_process(process)


def test_the_operator_pauses_and_resumes_and_packml_follows_while_anonymous_only_reads(opcua_run):
    from asyncua import ua
    from asyncua.ua.uaerrors import BadUserAccessDenied

    run_dir, url, token, process = opcua_run

    async def scenario():
        async with client(url) as anonymous:
            assert await (await node(anonymous, "Run", "State")).read_value() == "running"
            modules = await (await node(anonymous, "Modules")).get_children()
            assert [(await m.read_browse_name()).Name for m in modules] == ["XAxis", "ZAxis", "Gripper"]
            run = await node(anonymous, "Run")
            with pytest.raises(BadUserAccessDenied):
                await run.call_method(f"{run.nodeid.NamespaceIndex}:Pause", False)
            packml = Changes()
            subscription = await anonymous.create_subscription(20, packml)
            await subscription.subscribe_data_change(await node(anonymous, "Run", "PackMLState"))
            async with client(url, token) as operator:
                run = await node(operator, "Run")
                ns = run.nodeid.NamespaceIndex
                answer = await run.call_method(f"{ns}:Pause", False)
                # Pausing while an action is in flight, which the slow run has nearly always; else paused at once.
                assert answer in ("pause: the run is pausing", "pause: the run is paused")
                async def call(method, *arguments):
                    [result] = await operator.uaclient.call([ua.CallMethodRequest(
                        ObjectId=run.nodeid, MethodId=(await run.get_child(f"{ns}:{method}")).nodeid,
                        InputArguments=[ua.Variant(a) for a in arguments])])
                    return result.StatusCode.value, result.OutputArguments[0].Value

                immediate = False
                if answer.endswith("pausing"):
                    await packml.until(10)  # Holding: the actions in flight would finish
                    # The last action in flight may end before the call arrives: then the run is paused already.
                    status, text = await call("Pause", True)
                    immediate = status == ua.StatusCodes.Good
                    assert (status, text) in ((ua.StatusCodes.Good, "pause-now: the run is pausing"),
                                              (ua.StatusCodes.Good, "pause-now: the run is paused"),
                                              (ua.StatusCodes.BadInvalidState, "the run is already paused"))
                await packml.until(11)  # Held
                assert await call("Retry") == (ua.StatusCodes.BadInvalidState,
                                               "no failure waits for a decision: retry applies only then")
                assert await run.call_method(f"{ns}:Resume") == "resume: the run is running"
                await packml.until(6)
                assert await run.call_method(f"{ns}:Stop") == "stop: the run is stopping"
            await packml.until(2)  # Stopped
            assert await (await node(anonymous, "Run", "ExitCode")).read_value() == 130
            return packml.values, immediate

    values, immediate = asyncio.run(asyncio.wait_for(scenario(), 90))
    immediate = [("paused", "operator", "immediate")] if immediate else []
    assert values[0] == 6 and values.index(11) < values.index(6, 1) < values.index(2)
    assert set(values) <= {6, 10, 11, 7, 2}  # Execute, Holding, Held, Stopping, Stopped
    assert process.wait(30) == 130
    paused = [e for e in journal_events(run_dir) if e["event"] in ("paused", "resumed")]
    assert [(e["event"], e["cause"], e.get("mode")) for e in paused] == \
        [("paused", "operator", "deferred"), *immediate, ("resumed", "operator", None)]
    assert {e["by"]["channel"] for e in paused} == {"opcua"}


@pytest.fixture
def hand_server(tmp_path):
    """`vemo opcua` serving a hand-written journal: (run, endpoint URL, token)."""
    run, port = HandRun(tmp_path / "run"), free_port()
    server = subprocess.Popen([sys.executable, "-m", "vemo", "opcua", str(run.dir), "--listen", f"127.0.0.1:{port}"],
                              env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert "opc.tcp://" in server.stdout.readline()
        yield run, f"opc.tcp://127.0.0.1:{port}/vemo", (run.dir / "console-token").read_text().strip()
    finally:
        stop_process(server)
        run.journal.close()


@pytest.mark.parametrize("user, password", [("operator", "not-the-token" * 4), ("admin", "token")])
def test_a_session_with_other_credentials_is_refused(hand_server, user, password):
    from asyncua.ua.uaerrors import BadUserAccessDenied

    run, url, token = hand_server

    async def connect():
        async with client(url, token if password == "token" else password, user):
            pass

    with pytest.raises(BadUserAccessDenied):
        asyncio.run(asyncio.wait_for(connect(), 30))


def test_beyond_loopback_only_a_signed_and_encrypted_endpoint_is_served(tmp_path):
    run = HandRun(tmp_path / "run")
    env = {**child_env(), "VEMO_OPCUA_CERT_DIR": str(tmp_path / "pki")}
    try:
        refused = subprocess.run([sys.executable, "-m", "vemo", "opcua", str(run.dir), "--listen", "0.0.0.0:0"],
                                 env=env, capture_output=True, text=True, timeout=30)
        assert refused.returncode == 1 and "--security basic256sha256" in refused.stderr
        port = free_port()
        server = subprocess.Popen([sys.executable, "-m", "vemo", "opcua", str(run.dir), "--listen",
                                   f"127.0.0.1:{port}", "--security", "basic256sha256"],
                                  env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            assert "opc.tcp://" in server.stdout.readline()
            certificate = tmp_path / "pki" / "server-cert.der"
            assert certificate.is_file() and (tmp_path / "pki" / "server-key.pem").stat().st_mode & 0o077 == 0
            asyncio.run(asyncio.wait_for(_secured_read(f"opc.tcp://127.0.0.1:{port}/vemo", tmp_path), 60))
        finally:
            stop_process(server)
        assert f"server certificate {certificate} (made now, self-signed)" in server.stderr.read()
        made = certificate.read_bytes()
        again = subprocess.Popen([sys.executable, "-m", "vemo", "opcua", str(run.dir), "--listen", "127.0.0.1:0",
                                  "--security", "basic256sha256"], env=env, stdout=subprocess.PIPE, text=True)
        try:
            assert "opc.tcp://" in again.stdout.readline()
        finally:
            stop_process(again)
        assert certificate.read_bytes() == made  # kept: clients trust it once
    finally:
        run.journal.close()


async def _secured_read(url, folder):
    from asyncua.crypto.cert_gen import setup_self_signed_certificate
    from asyncua.ua.uaerrors import UaError
    from cryptography.x509.oid import ExtendedKeyUsageOID

    plain = client(url)
    with pytest.raises((UaError, asyncio.TimeoutError, ConnectionError, OSError)):
        async with plain:  # no endpoint without security
            pass
    key, cert = folder / "client-key.pem", folder / "client-cert.der"
    await setup_self_signed_certificate(key, cert, "urn:vemo:test", "localhost", [ExtendedKeyUsageOID.CLIENT_AUTH],
                                        {"commonName": "vemo test client"})
    secured = client(url)
    await secured.set_security_string(f"Basic256Sha256,SignAndEncrypt,{cert},{key}")
    async with secured:
        assert await (await node(secured, "Run", "State")).read_value() == "running"


async def eventually(connection, path, expected):
    """The value of the variable at `path` once it is `expected` (read every 20 ms, at most WAIT seconds)."""
    variable = await node(connection, *path)
    deadline = asyncio.get_running_loop().time() + WAIT
    while (value := await variable.read_value()) != expected:
        assert asyncio.get_running_loop().time() < deadline, f"{'/'.join(path)} is {value!r}, not {expected!r}"
        await asyncio.sleep(0.02)
    return value


def test_modules_interlocks_the_decision_and_the_end_follow_the_journal(tmp_path):
    from asyncua import ua

    folder = tmp_path / "run"
    folder.mkdir()
    journal = Journal(folder / "journal.jsonl")
    journal.write("run_started", format=1, script="pick.vemo", started="2026-01-02T03:04:05+0000",
                  modules=[{"name": "ZAxis", "actions": 2}, {"name": "Gripper", "actions": 1}],
                  interlocks=[{"name": "door", "module": "Safety", "input": "door_open"}])
    for module, index in (("ZAxis", 1), ("ZAxis", 2), ("Gripper", 1)):
        journal.write("action_planned", module=module, index=index, text=f"move @{module} to p{index}",
                      location=f"pick.vemo:{index}:5", kind="Move", waits=[], after=None)
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "vemo", "opcua", str(folder), "--listen", f"127.0.0.1:{port}"],
                              env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    action = {"module": "ZAxis", "index": 1, "text": "move @ZAxis to p1", "location": "pick.vemo:1:5"}

    async def scenario(url, token):
        async with client(url) as reader:
            assert [(await m.read_browse_name()).Name for m in await (await node(reader, "Modules")).get_children()] \
                == ["ZAxis", "Gripper"]
            assert (await (await node(reader, "Run", "Started")).read_value()).isoformat() == \
                "2026-01-02T03:04:05+00:00"
            assert await (await node(reader, "Interlocks", "door", "Safe")).read_value() is True
            journal.write("action_started", **action)
            await eventually(reader, ("Modules", "ZAxis", "CurrentAction"), "move @ZAxis to p1")
            await eventually(reader, ("Modules", "ZAxis", "Location"), "pick.vemo:1:5")
            journal.write("action_ended", **action, outcome="error", reason="axis fault")
            journal.write("paused", mode="immediate", cause="failure",
                          failure={"module": "ZAxis", "action": "move @ZAxis to p1", "location": "pick.vemo:1:5",
                                   "reason": "axis fault", "attempts": 1})
            journal.write("interlock_tripped", name="door", module="Safety", input="door_open", value=True)
            await eventually(reader, ("Decision", "Pending"), True)
            assert [await (await node(reader, "Decision", name)).read_value()
                    for name in ("Module", "Action", "Reason")] == ["ZAxis", "move @ZAxis to p1", "axis fault"]
            await eventually(reader, ("Interlocks", "door", "Safe"), False)
            await eventually(reader, ("Run", "PackMLStateName"), "Suspended")
            async with client(url, token) as operator:
                # The journal was written by hand: no run answers the call.
                run = await node(operator, "Run")
                result = await operator.uaclient.call([ua.CallMethodRequest(
                    ObjectId=run.nodeid, MethodId=(await run.get_child(f"{run.nodeid.NamespaceIndex}:Skip")).nodeid,
                    InputArguments=[])])
                assert result[0].StatusCode.value == ua.StatusCodes.BadNoCommunication
                assert "no run answers" in result[0].OutputArguments[0].Value
            journal.write("run_ended", exit_code=1, outcome="failed")
            await eventually(reader, ("Run", "ExitCode"), 1)
            assert [await (await node(reader, "Run", name)).read_value()
                    for name in ("State", "Outcome", "PackMLState", "PackMLStateName")] == \
                ["ended", "failed", 2, "Stopped"]
            assert await (await node(reader, "Decision", "Pending")).read_value() is False

    try:
        assert "opc.tcp://" in server.stdout.readline()
        asyncio.run(asyncio.wait_for(scenario(f"opc.tcp://127.0.0.1:{port}/vemo",
                                              (folder / "console-token").read_text().strip()), 60))
    finally:
        stop_process(server)
        journal.close()


def test_a_run_whose_opcua_server_cannot_listen_stops_before_anything_moves(tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        done = subprocess.run([sys.executable, "-m", "vemo", "run", str(EXAMPLES / "pick_place.vemo"), "--plain",
                               "--run-dir", str(tmp_path / "run"), "--opcua", f"127.0.0.1:{port}"],
                              env=child_env(), capture_output=True, text=True, timeout=90)
    assert done.returncode == 1
    assert "cannot listen on" in done.stderr and "the opcua bridge did not start (exit code 1)" in done.stderr
    assert "Traceback" not in done.stderr
    events = journal_events(tmp_path / "run")
    assert not any(e["event"] == "action_started" for e in events) and events[-1]["event"] == "run_ended"
