"""`vemo opcua DIR [--listen HOST:PORT]`: an OPC UA server (asyncua) of one run. Under Objects, in namespace
urn:vemo: `Run` with the run's state (also as a PackML state) and its methods, `Modules` with one object per
module in the cell's order, `Interlocks` and `Decision`. The values follow the run's journal; the methods go
through the run's command table to its control socket. Anonymous sessions read; calling a method needs the
user `operator` with the run's token as password."""

from __future__ import annotations

import argparse
import asyncio
import datetime
import hmac
import logging
import os
import signal
import socket
import sys
import threading
from pathlib import Path
from typing import Any, NamedTuple

from vemo.run import commands as table
from vemo.run.console.address import is_loopback
from vemo.run.console.server import ConsoleError, run_token
from vemo.run.journal import JOURNAL_NAME, JournalError, follow
from vemo.run.sideprocess import ParentLink
from vemo.run.plant.state import PlantView, cell_name

NAMESPACE = "urn:vemo"
OPERATOR = "operator"
SECURITY_POLICIES = ("none", "basic256sha256")
# How often the journal is looked at for new lines when it has none: with the client's publishing interval,
# what a data change lags behind its journal line.
POLL_SECONDS = 0.02
# How often Elapsed moves while the run goes and the journal is quiet.
ELAPSED_SECONDS = 1.0
# The self-signed certificate's home when none is given: one per user, kept so clients trust it once.
CERT_DIR_ENV = "VEMO_OPCUA_CERT_DIR"


class Variable(NamedTuple):
    """A variable of the address space: its browse name, the plant state's key (vemo.run.plant.state) and
    its OPC UA type."""

    name: str
    key: str
    type: str


RUN_VARIABLES = (
    Variable("State", "state", "String"), Variable("PackMLState", "packml_state", "Int32"),
    Variable("PackMLStateName", "packml_name", "String"), Variable("Script", "script", "String"),
    Variable("Started", "started", "DateTime"), Variable("Elapsed", "elapsed", "Double"),
    Variable("Progress", "progress", "Double"), Variable("RemainingSeconds", "remaining_s", "Double"),
    Variable("Iteration", "iteration", "UInt32"), Variable("Outcome", "outcome", "String"), Variable("ExitCode", "exit_code", "Int32"),
)
MODULE_VARIABLES = (
    Variable("State", "state", "String"), Variable("CurrentAction", "current", "String"),
    Variable("Location", "location", "String"), Variable("Done", "done", "UInt32"),
    Variable("Total", "total", "UInt32"),
)
DECISION_VARIABLES = (
    Variable("Pending", "pending", "Boolean"), Variable("Module", "module", "String"),
    Variable("Action", "action", "String"), Variable("Reason", "reason", "String"),
)
# The methods on Run, each the operator command(s) of vemo.run.commands it sends; Pause takes `now`.
METHODS = {"Pause": ("pause", "pause-now"), "Resume": ("resume",), "Stop": ("stop",),
           "StopAfterCycle": ("stop-after-cycle",), "Retry": ("retry",), "Skip": ("skip",), "Abort": ("abort",)}
# What a value stands for before the run has told it: an exit code before the end, a time before the start.
NO_EXIT_CODE = -1
UNKNOWN_SECONDS = -1.0  # the time left before the run can estimate it


class OpcuaError(Exception):
    """The server cannot serve this run: no journal, an address it may not listen on, a bad certificate."""


def _value(variable: Variable, value: Any) -> Any:
    from asyncua import ua

    kind = getattr(ua.VariantType, variable.type)
    if variable.type == "DateTime":
        try:
            value = datetime.datetime.strptime(str(value), "%Y-%m-%dT%H:%M:%S%z").astimezone(datetime.timezone.utc)
        except ValueError:
            value = None
    elif variable.type in ("Int32", "UInt32"):
        value = int(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else \
            (NO_EXIT_CODE if variable.type == "Int32" else 0)
    elif variable.type == "Double":
        value = float(value) if isinstance(value, (int, float)) else UNKNOWN_SECONDS if variable.key == "remaining_s" \
            else 0.0
    elif variable.type == "Boolean":
        value = bool(value)
    else:
        value = None if value is None else str(value)
    return ua.Variant(value, kind)


def _users(token: str) -> Any:
    from asyncua.crypto.permission_rules import User, UserRole
    from asyncua.server.user_managers import UserManager

    class OperatorUsers(UserManager):
        """Anonymous sessions read; `operator` with the run's token may also call; anyone else is refused."""

        def get_user(self, iserver: Any, username: str | None = None, password: str | None = None,
                     certificate: Any = None) -> Any:
            if username is None:
                return User(role=UserRole.Anonymous)
            if username == OPERATOR and isinstance(password, str) and \
                    hmac.compare_digest(password.encode(), token.encode()):
                return User(role=UserRole.User, name=OPERATOR)
            return None

    return OperatorUsers()


def _rules() -> Any:
    from asyncua import ua
    from asyncua.crypto.permission_rules import USER_TYPES, PermissionRuleset, UserRole

    class PlantRules(PermissionRuleset):
        """Nobody writes or changes the address space; the operator calls methods, anonymous does not."""

        def __init__(self) -> None:
            read = {ua.NodeId(t) for t in USER_TYPES} - {
                ua.NodeId(ua.ObjectIds.WriteRequest_Encoding_DefaultBinary),
                ua.NodeId(ua.ObjectIds.CallRequest_Encoding_DefaultBinary)}
            self._allowed = {UserRole.Anonymous: read,
                             UserRole.User: read | {ua.NodeId(ua.ObjectIds.CallRequest_Encoding_DefaultBinary)},
                             UserRole.Admin: read}

        def check_validity(self, user: Any, action_type_id: Any, body: Any) -> bool:
            return action_type_id in self._allowed.get(user.role, set())

    return PlantRules()


def certificate_dir() -> Path:
    if os.environ.get(CERT_DIR_ENV):
        return Path(os.environ[CERT_DIR_ENV])
    base = os.environ.get("XDG_CONFIG_HOME") or str(Path.home() / ".config")
    return Path(base) / "vemo" / "opcua"


def free_port(host: str) -> int:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


class PlantServer:
    """One run's OPC UA server. The journal is followed on a thread; the address space is written on the
    asyncio loop that `start` is awaited on."""

    def __init__(self, run_dir: str | Path, host: str = "127.0.0.1", port: int = 4840,
                 security: str = "none", log=None) -> None:
        self.run_dir = Path(run_dir).resolve()
        self.journal = self.run_dir / JOURNAL_NAME
        if not self.journal.is_file():
            raise OpcuaError(f"{run_dir}: no run here (no {JOURNAL_NAME})")
        if security not in SECURITY_POLICIES:
            raise OpcuaError(f"unknown security policy {security!r}: one of {', '.join(SECURITY_POLICIES)}")
        if security == "none" and not is_loopback(host):
            raise OpcuaError(f"{host} is reachable from other machines: serve it with --security basic256sha256 "
                             f"(signed and encrypted, with a certificate), or listen on 127.0.0.1")
        try:
            self.token = run_token(self.run_dir)
        except ConsoleError as error:
            raise OpcuaError(str(error)) from None
        self.host, self.port, self.security = host, port, security
        self.view = PlantView()
        self.certificate: Path | None = None
        self._log = log or (lambda text: print(f"opcua: {text}", file=sys.stderr, flush=True))
        self._stop = threading.Event()
        self._nodes: dict[tuple[str, ...], Any] = {}  # (object path..., variable) -> node
        self._written: dict[tuple[str, ...], Any] = {}
        self._first: asyncio.Future | None = None
        self._server: Any = None
        self._ticker: asyncio.Task | None = None
        self._update_scheduled = False
        self._writing = asyncio.Lock()
        self.ended = asyncio.Event()

    @property
    def url(self) -> str:
        shown = f"[{self.host}]" if ":" in self.host else self.host
        return f"opc.tcp://{shown}:{self.port}/vemo"

    async def start(self) -> str:
        """Waits for the journal's first line, builds the address space from it, listens and returns the
        endpoint's URL."""
        from asyncua import Server, ua

        self._loop = asyncio.get_running_loop()
        self._first = self._loop.create_future()
        threading.Thread(target=self._follow, name="opcua-journal", daemon=True).start()
        first = await self._first
        if isinstance(first, Exception):
            raise OpcuaError(str(first))
        if self.port == 0:
            self.port = free_port(self.host)
        server = Server(user_manager=_users(self.token))
        await server.init()
        server.set_endpoint(self.url)
        cell = cell_name(first, self.run_dir)
        server.set_server_name(f"vemo cell {cell}, run {self.run_dir.name}")
        # The machine's, not the cell's: the certificate that carries it serves every run of this user here.
        application_uri = f"{NAMESPACE}:{socket.gethostname()}"
        await server.set_application_uri(application_uri)
        if self.security == "basic256sha256":
            await self._load_certificate(server, application_uri)
            policies = [ua.SecurityPolicyType.Basic256Sha256_SignAndEncrypt]
        else:
            policies = [ua.SecurityPolicyType.NoSecurity]
        server.set_security_policy(policies, permission_ruleset=_rules())
        server.set_identity_tokens([ua.AnonymousIdentityToken, ua.UserNameIdentityToken])
        namespace = await server.register_namespace(NAMESPACE)
        await self._build(server, namespace)
        try:
            await server.start()
        except OSError as error:
            raise OpcuaError(f"cannot listen on {self.host}:{self.port}: {error.strerror or error}") from None
        self._server = server
        await self._update()
        self._ticker = asyncio.create_task(self._tick())
        return self.url

    async def close(self) -> None:
        self._stop.set()
        if self._ticker is not None:
            self._ticker.cancel()
        if self._server is not None:
            await self._server.stop()
            self._server = None

    async def _load_certificate(self, server: Any, application_uri: str) -> None:
        from asyncua.crypto.cert_gen import setup_self_signed_certificate
        from cryptography.x509.oid import ExtendedKeyUsageOID

        folder = certificate_dir()
        key, cert = folder / "server-key.pem", folder / "server-cert.der"
        made = not cert.is_file()
        mask = os.umask(0o077)  # the key is never readable by others, not even for a moment
        try:
            folder.mkdir(parents=True, exist_ok=True, mode=0o700)
            await setup_self_signed_certificate(key, cert, application_uri, socket.gethostname(),
                                                [ExtendedKeyUsageOID.SERVER_AUTH],
                                                {"organizationName": "vemo",
                                                 "commonName": f"vemo OPC UA server {socket.gethostname()}"})
            os.chmod(key, 0o600)
            await server.load_certificate(str(cert))
            await server.load_private_key(str(key))
        except (OSError, ValueError) as error:
            raise OpcuaError(f"the server certificate in {folder}: {error}") from None
        finally:
            os.umask(mask)
        self.certificate = cert
        self._log(f"server certificate {cert}" + (" (made now, self-signed)" if made else ""))

    # --- the address space ---------------------------------------------------------------------------

    async def _build(self, server: Any, ns: int) -> None:
        from asyncua import ua

        snapshot = self.view.snapshot()
        objects = server.nodes.objects
        run = await objects.add_object(ns, "Run")
        for variable in RUN_VARIABLES:
            self._nodes[("Run", variable.name)] = await run.add_variable(
                ns, variable.name, _value(variable, snapshot.get(variable.key)), getattr(ua.VariantType, variable.type))
        for method, names in METHODS.items():
            inputs = [ua.Argument(Name="now", DataType=ua.NodeId(ua.ObjectIds.Boolean), ValueRank=-1,
                                  Description=ua.LocalizedText("also stop the axes in motion"))] \
                if len(names) > 1 else []
            output = ua.Argument(Name="answer", DataType=ua.NodeId(ua.ObjectIds.String), ValueRank=-1,
                                 Description=ua.LocalizedText("the run's answer, or why it refused"))
            await run.add_method(ns, method, self._method(names), inputs, [output])
        modules = await objects.add_object(ns, "Modules")
        for module in snapshot["modules"]:
            node = await modules.add_object(ns, module["name"])
            for variable in MODULE_VARIABLES:
                self._nodes[("Modules", module["name"], variable.name)] = await node.add_variable(
                    ns, variable.name, _value(variable, module.get(variable.key)),
                    getattr(ua.VariantType, variable.type))
        interlocks = await objects.add_object(ns, "Interlocks")
        for interlock in snapshot["interlocks"]:
            node = await interlocks.add_object(ns, interlock["name"])
            self._nodes[("Interlocks", interlock["name"], "Safe")] = await node.add_variable(
                ns, "Safe", interlock["safe"], ua.VariantType.Boolean)
        decision = await objects.add_object(ns, "Decision")
        for variable in DECISION_VARIABLES:
            self._nodes[("Decision", variable.name)] = await decision.add_variable(
                ns, variable.name, _value(variable, snapshot["decision"].get(variable.key)),
                getattr(ua.VariantType, variable.type))

    def _values(self, snapshot: dict) -> dict[tuple[str, ...], Any]:
        values = {("Run", v.name): _value(v, snapshot.get(v.key)) for v in RUN_VARIABLES}
        for module in snapshot["modules"]:
            values.update({("Modules", module["name"], v.name): _value(v, module.get(v.key))
                           for v in MODULE_VARIABLES})
        for interlock in snapshot["interlocks"]:
            values[("Interlocks", interlock["name"], "Safe")] = _value(Variable("Safe", "safe", "Boolean"),
                                                                      interlock["safe"])
        values.update({("Decision", v.name): _value(v, snapshot["decision"].get(v.key)) for v in DECISION_VARIABLES})
        return values

    async def _update(self) -> None:
        """Writes the values that changed since the last write."""
        from asyncua import ua

        async with self._writing:  # one update at a time, each from the fold as it stands when it begins
            if self._server is None:
                return
            for path, variant in self._values(self.view.snapshot()).items():
                node = self._nodes.get(path)  # a module or interlock the first line did not name has no node
                if node is None or self._written.get(path) == variant.Value:
                    continue
                self._written[path] = variant.Value
                await self._server.write_attribute_value(node.nodeid, ua.DataValue(variant))

    async def _tick(self) -> None:
        while True:
            await asyncio.sleep(ELAPSED_SECONDS)
            if self.view.fold.ended is None:
                await self._update()

    # --- the journal ---------------------------------------------------------------------------------

    def _follow(self) -> None:
        try:
            for event in follow(self.journal, self._stop, POLL_SECONDS):
                self._loop.call_soon_threadsafe(self._apply, event)
        except (JournalError, OSError) as error:
            self._loop.call_soon_threadsafe(self._fail, error)

    def _fail(self, error: Exception) -> None:
        if not self._first.done():
            self._first.set_result(error)
        else:
            self._log(f"the journal cannot be followed: {error}")

    def _apply(self, event: dict) -> None:
        self.view.add(event)
        if not self._first.done():
            self._first.set_result(event)
        elif self._server is not None and not self._update_scheduled:
            # Events that arrive together are written once, after the loop has taken them all.
            self._update_scheduled = True
            self._loop.call_soon(self._start_update)
        if event["event"] == "run_ended":
            self.ended.set()

    def _start_update(self) -> None:
        self._update_scheduled = False
        asyncio.ensure_future(self._update())

    # --- the methods ---------------------------------------------------------------------------------

    def _method(self, names: tuple[str, ...]) -> Any:
        async def call(parent: Any, *arguments: Any) -> Any:
            now = bool(arguments[0].Value) if arguments and hasattr(arguments[0], "Value") else \
                bool(arguments[0]) if arguments else False
            return await self._command(names[1] if now and len(names) > 1 else names[0])

        return call

    async def _command(self, name: str) -> Any:
        from asyncua import ua

        from vemo.run.controlsocket import ControlError, send
        from vemo.run.who import by

        # Calls come only from the user `operator` (anonymous sessions may not call).
        request = {**table.BY_NAME[name].request, "by": by("opcua", user="operator")}
        try:
            reply = await self._loop.run_in_executor(None, lambda: send(self.run_dir, **request))
        except ControlError as error:
            return _refused(ua.StatusCodes.BadNoCommunication, str(error))
        if not reply.get("ok"):
            return _refused(ua.StatusCodes.BadInvalidState, str(reply.get("error")))
        return [ua.Variant(f"{name}: the run is {reply.get('state')}", ua.VariantType.String)]


def _refused(code: int, message: str) -> Any:
    """A Bad status with the run's message as the output argument, for clients that read the raw result."""
    from asyncua import ua

    result = ua.CallMethodResult()
    result.StatusCode = ua.StatusCode(code)
    result.OutputArguments = [ua.Variant(message, ua.VariantType.String)]
    return result


class _OneLine(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        return f"opcua: {record.getMessage()}"


def _quiet_library_log() -> None:
    """asyncua's errors as one line each, without its tracebacks and warnings: what concerns the operator
    (an address in use, a bad certificate) is said by our own messages."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_OneLine())
    library = logging.getLogger("asyncua")
    library.handlers[:] = [handler]
    library.setLevel(logging.ERROR)
    library.propagate = False


def serve(args: argparse.Namespace) -> int:
    """`vemo opcua`: serves the run until Ctrl-C or SIGTERM; started by `vemo run`, it tells its parent the
    endpoint as one JSON line and ends when its standard input closes."""
    _quiet_library_log()
    try:
        return asyncio.run(_serve(args))
    except OpcuaError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1


async def _serve(args: argparse.Namespace) -> int:
    loop = asyncio.get_running_loop()
    done = asyncio.Event()
    for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        if signal.getsignal(number) != signal.SIG_IGN:
            loop.add_signal_handler(number, done.set)
    link = ParentLink(args.from_run)
    host, port = args.listen
    server = PlantServer(args.dir, host, port, args.security)
    try:
        # The server starts once the journal has its first line: a signal meanwhile ends the wait.
        starting, signalled = asyncio.ensure_future(server.start()), asyncio.ensure_future(done.wait())
        await asyncio.wait({starting, signalled}, return_when=asyncio.FIRST_COMPLETED)
        signalled.cancel()
        if not starting.done():
            starting.cancel()
            return 0
        url = starting.result()
        if args.from_run:
            link.tell({"url": url, "certificate": str(server.certificate) if server.certificate else None})
            link.watch(lambda: loop.call_soon_threadsafe(done.set))

            async def tell_end() -> None:
                await server.ended.wait()
                await asyncio.sleep(2 * POLL_SECONDS)  # the last values are written
                link.tell({"ended": True})

            ending = asyncio.create_task(tell_end())
        else:
            print(f"OPC UA server of {args.dir}: {url}\n(Ctrl-C ends the server, not the run)", flush=True)
        await done.wait()
        if args.from_run:
            ending.cancel()
    finally:
        await server.close()
    return 0
