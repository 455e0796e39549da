"""The `vemo` command line: `vemo check` lists what a script will run, `vemo run` runs it, `vemo report` tells
what a run did, `vemo ctl` controls a live run, `vemo console` serves its operator console in the browser,
`vemo opcua` and `vemo mqtt` bring it to the plant's network, `vemo sim` simulates, `vemo lsp` serves editors."""

from __future__ import annotations

# The stop signals' handlers come first, so that a Ctrl-C, SIGTERM or SIGHUP at any moment after this
# module has loaded ends the command with one line and its exit code; the rest of the package is imported
# once they are in place, by the commands that need it.
from vemo.run.signals import StopSignal, StopSignals, exit_code, quiet_lost_stops

import argparse
import functools
import ipaddress
import json
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Sequence

from vemo.util.streams import guard_standard_streams
from vemo.util.text import printable

if TYPE_CHECKING:
    from vemo.lang.parser import Diagnostic

# The listing `vemo check --json` prints; documented in docs/running.md. Raise the version when a field
# changes meaning or goes away; new fields may be added within a version. Version 2: `except_blocks` (every
# except block the program can run) replaces `exception_block` (the except block of main alone).
CHECK_FORMAT = "vemo-check"
CHECK_FORMAT_VERSION = 3
# The time scale the embedded simulator accepts.
MIN_SPEED, MAX_SPEED = 1e-6, 1e9


def _at_least(minimum: int) -> Callable[[str], int]:
    """An argparse type: a whole number of at least `minimum`."""
    def whole_number(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = minimum - 1
        if value < minimum:
            raise argparse.ArgumentTypeError(f"expected a whole number of at least {minimum}, got {text!r}")
        return value
    return whole_number


class _Parser(argparse.ArgumentParser):
    """Usage errors exit with 2 as usual; under `check --json` they are printed as the JSON listing."""

    def __init__(self, *args: Any, json_usage: bool = False, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.json_usage = json_usage

    def error(self, message: str) -> None:  # type: ignore[override]
        if self.json_usage:
            from vemo.lang.parser import Diagnostic

            print(json.dumps(_listing([Diagnostic("error", f"{self.prog}: {message}")]), indent=2))
            sys.exit(2)
        super().error(message)


def _speed(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not MIN_SPEED <= value <= MAX_SPEED:
        raise argparse.ArgumentTypeError(f"expected a factor from 0.000001 to 1000000000, got {text!r}")
    return value


def _address(text: str) -> str:
    try:
        return str(ipaddress.IPv4Address(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an IPv4 address such as 127.0.0.1, got {text!r}") from None


def _parser(json_usage: bool = False) -> argparse.ArgumentParser:
    from vemo.lang.scriptbounds import MAX_ACTIONS

    parser = _Parser(prog="vemo", description="Vemo workcell scripts.", json_usage=json_usage)
    commands = parser.add_subparsers(dest="command", required=True,
                                     parser_class=functools.partial(_Parser, json_usage=json_usage))
    check = commands.add_parser("check", help="compile a script and list each module's actions",
                                description="Compiles SCRIPT, lists per module the actions with their waits, "
                                            "checks for waits that can never be met and estimates the run time.")
    check.add_argument("script", help="the script file (.vemo)")
    check.add_argument("--cell", help="the cell description (YAML); default: cell.yaml beside the script")
    check.add_argument("--json", action="store_true", help="print the listing as JSON")
    check.add_argument("--actions", help="host module of action kinds to use instead of the reference one "
                                         "(file path or dotted name)")
    check.add_argument("--modules", help="host package of module kinds to use instead of the cell's "
                                         "(file path or dotted name)")
    check.add_argument("--verbose", action="store_true", help="also print the compiler's own output lines")
    check.add_argument("--max-actions", type=_at_least(1), default=MAX_ACTIONS, metavar="N",
                       help=f"refuse a script that makes more than N actions (default {MAX_ACTIONS})")

    run = commands.add_parser("run", help="run a script on the cell (the embedded simulator by default)",
                              description="Compiles SCRIPT and runs it: every module on its own thread, driving "
                                          "the cell through the handler. Without --server, a handler simulator "
                                          "is started on a free loopback address for the run. Every event goes to "
                                          "the journal of the run folder as it happens. Exit code 0 when every "
                                          "action finished, 1 when one failed or the handler was lost, 2 for bad "
                                          "options or output paths, 130 on Ctrl-C, 143 on SIGTERM, 129 on SIGHUP.")
    run.add_argument("script", help="the script file (.vemo)")
    run.add_argument("--cell", help="the cell description (YAML); default: cell.yaml beside the script")
    run.add_argument("--server", metavar="ADDRESS", help="address of a running handler server (ports 5001-5003) "
                                                          "instead of the embedded simulator")
    run.add_argument("--sim-address", type=_address, metavar="ADDRESS",
                     help="where the embedded simulator binds its ports (default: a free 127.x.y.z address)")
    run.add_argument("--handler-settings", metavar="FILE", help="the handler settings file; default: the one "
                                                                "the cell names")
    run.add_argument("--speed", type=_speed, default=1.0, metavar="FACTOR",
                     help="simulated time runs FACTOR times faster (motions and dwells; 0.000001 to 1e9); "
                          "embedded simulator only")
    run.add_argument("--max-actions", type=_at_least(1), default=MAX_ACTIONS, metavar="N",
                     help=f"refuse a script that makes more than N actions (default {MAX_ACTIONS})")
    run.add_argument("--timeline", metavar="FILE.html", help="write the run's timeline (HTML with an SVG chart)")
    run.add_argument("--trace", metavar="FILE.json", help="write the run as a Chrome trace (Perfetto)")
    run.add_argument("--record", metavar="FILE.json", help="write the run's record of every action as JSON")
    run.add_argument("--plain", action="store_true", help="plain progress lines even on a terminal")
    run.add_argument("--retries", type=_at_least(0), default=0, metavar="N",
                     help="try a failed action again up to N times before the failure counts (default 0)")
    run.add_argument("--on-error", choices=("stop", "ask"), default="stop",
                     help="once a failure counts: stop the run (default), or hold it and ask the operator to "
                          "retry, skip or abort (vemo ctl DIR retry|skip|abort)")
    run.add_argument("--run-dir", metavar="DIR", help="the run folder, which gets the journal and the control socket "
                                                      "(default: runs/<YYYYmmdd-HHMMSS>-<script name>)")
    run.add_argument("--console", metavar="[HOST:]PORT", type=_listen_address,
                     help="serve the operator console of the run in the browser (HOST defaults to 127.0.0.1; "
                          "port 0 picks a free one); the URL to open is printed at the start")
    run.add_argument("--opcua", metavar="[HOST:]PORT", type=_listen_address,
                     help="serve the run to the plant as an OPC UA server (see docs/plant.md; HOST defaults to "
                          "127.0.0.1, another host needs --opcua-security basic256sha256)")
    run.add_argument("--opcua-security", choices=("none", "basic256sha256"), default="none",
                     help="the OPC UA security policy: none (loopback only) or Basic256Sha256 signed and "
                          "encrypted, with a self-signed certificate made on first use")
    run.add_argument("--mqtt", metavar="HOST[:PORT]", type=_broker_address,
                     help="publish the run's journal and state to this MQTT broker (see docs/plant.md)")
    _mqtt_options(run, "mqtt-")

    report = commands.add_parser("report", help="rebuild a run's timeline, trace or record from its run folder",
                                 description="Reads DIR/journal.jsonl, also of a run that was killed, and writes "
                                             "the files asked for; without any, prints what the run did.")
    report.add_argument("run_dir", metavar="DIR", help="the run folder (or its journal.jsonl)")
    report.add_argument("--timeline", metavar="FILE.html", help="write the run's timeline (HTML with an SVG chart)")
    report.add_argument("--trace", metavar="FILE.json", help="write the run as a Chrome trace (Perfetto)")
    report.add_argument("--record", metavar="FILE.json", help="write the run's record of every action as JSON")

    runs = commands.add_parser("runs", help="list the run folders under FOLDER, newest first",
                               description="Lists the run folders under FOLDER (default: runs), newest first: "
                                           "start time, script, outcome (live while the run answers), duration, "
                                           "failed actions and who stopped it.")
    runs.add_argument("folder", metavar="FOLDER", nargs="?", default="runs", help="the folder of run folders")
    runs.add_argument("--json", action="store_true", help="print the list as JSON")

    ctl = commands.add_parser("ctl", help="control a live run: status, pause, resume, stop, decisions, inputs",
                              description="Talks to the run whose folder is DIR through its control socket. "
                                          "Exit code 0 when the run did what was asked, 1 when it refused "
                                          "(the command does not apply in its state), 2 when no run answers.")
    ctl.add_argument("run_dir", metavar="DIR", help="the run's folder")
    actions = ctl.add_subparsers(dest="ctl_command", required=True, metavar="COMMAND")
    _ctl_commands(actions)

    console = commands.add_parser("console", help="serve the operator console of a run in the browser",
                                  description="Serves a page that shows the run in DIR as it goes (modules, "
                                              "interlocks, a growing timeline) with its pause, resume and stop "
                                              "commands. Prints the URL to open, with the run's token.")
    console.add_argument("dir", metavar="DIR", help="the run folder (holds journal.jsonl), or a folder of run "
                                                    "folders: the page lists them and opens any")
    console.add_argument("--listen", metavar="HOST:PORT", type=_listen_address, default=("127.0.0.1", 0),
                         help="where to serve the page (default: a free port on 127.0.0.1)")
    console.add_argument("--from-run", action="store_true", help=argparse.SUPPRESS)

    opcua = commands.add_parser("opcua", help="serve a run to the plant as an OPC UA server",
                                description="Serves the run in DIR as OPC UA objects (Run, Modules, Interlocks, "
                                            "Decision) with its operator commands as methods; see docs/plant.md.")
    opcua.add_argument("dir", metavar="DIR", help="the run folder (holds journal.jsonl)")
    opcua.add_argument("--listen", metavar="HOST:PORT", type=_listen_address, default=("127.0.0.1", 4840),
                       help="where to serve (default 127.0.0.1:4840; port 0 picks a free one)")
    opcua.add_argument("--security", choices=("none", "basic256sha256"), default="none",
                       help="none (loopback only) or Basic256Sha256 signed and encrypted, with a self-signed "
                            "certificate made on first use")
    opcua.add_argument("--from-run", action="store_true", help=argparse.SUPPRESS)

    mqtt = commands.add_parser("mqtt", help="publish a run's journal and state to an MQTT broker",
                               description="Publishes every journal event of the run in DIR, in order, and its "
                                           "state (retained) to the broker; read-only. See docs/plant.md.")
    mqtt.add_argument("dir", metavar="DIR", help="the run folder (holds journal.jsonl)")
    mqtt.add_argument("--broker", metavar="HOST[:PORT]", type=_broker_address, required=True,
                      help="the broker (port 1883, 8883 with TLS)")
    _mqtt_options(mqtt)
    mqtt.add_argument("--from-run", action="store_true", help=argparse.SUPPRESS)

    sim = commands.add_parser("sim", help="run the handler simulator in the foreground until Ctrl-C",
                              description="Starts vemo-sim on ADDRESS with the handler settings of a cell.")
    settings = sim.add_mutually_exclusive_group()  # two sources of settings: one would win silently
    settings.add_argument("--cell", help="a cell description whose handler_settings file to simulate "
                                         "(default: cell.yaml in the current directory)")
    settings.add_argument("--handler-settings", metavar="FILE", help="the handler settings file to simulate")
    sim.add_argument("--address", type=_address, default="127.0.0.1",
                     help="where to bind the handler ports (default 127.0.0.1)")
    sim.add_argument("--speed", type=_speed, default=1.0, metavar="FACTOR",
                     help="time scale of the simulation (0.000001 to 1e9)")
    lsp = commands.add_parser("lsp", help="the language server for editors, over standard input and output",
                              description="Speaks the Language Server Protocol on standard input and output: "
                                          "diagnostics of `vemo check` as you type, completion, definitions, "
                                          "references and hovers. Editors start it; see docs/editors.md.")
    lsp.add_argument("--stdio", action="store_true", help="accepted for editors that pass it; stdio is the only "
                                                           "transport")
    return parser


def _listen_address(text: str) -> tuple[str, int]:
    from vemo.run.console.address import parse_listen

    try:
        return parse_listen(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _broker_address(text: str) -> tuple[str, int | None]:
    """HOST[:PORT] of an MQTT broker; without a port, the protocol's (TLS or not) is taken later."""
    from vemo.run.console.address import parse_listen

    if text.rpartition(":")[2].isdigit() and not text.endswith("]"):
        try:
            return parse_listen(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    host = text[1:-1] if text.startswith("[") and text.endswith("]") else text
    if not host:
        raise argparse.ArgumentTypeError(f"{text!r} is not HOST[:PORT]")
    return host, None


def _mqtt_options(parser: argparse.ArgumentParser, prefix: str = "") -> None:
    from vemo.run.plant.options import add_options

    add_options(parser, prefix)


def _listing(diagnostics: list[Diagnostic], script: str | None = None, body: dict[str, Any] | None = None) -> dict:
    """The JSON listing of `vemo check`: the same fields in every outcome."""
    listing = {"format": CHECK_FORMAT, "version": CHECK_FORMAT_VERSION,
               "ok": not any(d.severity == "error" for d in diagnostics), "script": script,
               "diagnostics": [d.as_dict() for d in diagnostics],
               "modules": [], "loops": [], "endless": False, "estimate": None, "unknown_durations": [],
               "except_blocks": [], "input_waits": []}
    listing.update(body or {})
    return listing


def _fail(args: argparse.Namespace, diagnostic: Diagnostic) -> int:
    if args.json:
        print(json.dumps(_listing([diagnostic], args.script), indent=2))
    else:
        print(diagnostic.report() if diagnostic.location else printable(f"error: {diagnostic.message}"),
              file=sys.stderr)
    return 1


def _travel_warnings(cell: Any) -> list[str]:
    """What `vemo run` warns about the cell against the handler settings it names: positions outside an
    axis's travel. Nothing when the cell names no settings file or it cannot be read (the run says why)."""
    if cell.handler_settings is None or not Path(cell.handler_settings).is_file():
        return []
    from vemo.cell.handlersettings import check_cell, read_handler_modules

    try:
        handler = read_handler_modules(cell.handler_settings)
    except (OSError, ValueError):
        return []
    return check_cell(cell, handler, cell.handler_settings)[1]


def _compiler_for(args: argparse.Namespace, script_path: Path, cells: list | None = None) -> Any:
    """Loads the cell and the host modules and returns the runtime's compiler module; the cell loaded is
    appended to `cells` (None with --modules)."""
    from vemo.cell.model import CellError, load_cell
    from vemo.cell.host import RUNTIME_NAMES, install

    cell = None
    if args.modules is None:
        cell_path = Path(args.cell) if args.cell else script_path.parent / "cell.yaml"
        if not args.cell and not cell_path.exists():
            raise CellError(f"{script_path}: no cell description: pass --cell FILE "
                            f"(or put cell.yaml beside the script)")
        cell = load_cell(cell_path, RUNTIME_NAMES)
    if cells is not None:
        cells.append(cell)
    return install(cell, actions=args.actions, modules=args.modules)


def check(args: argparse.Namespace) -> int:
    from vemo.cell.model import CellError
    from vemo.lang.checks import check_script
    from vemo.cell.host import HostError
    from vemo.util.inputfile import MAX_SCRIPT_BYTES, InputFileError, read_input
    from vemo.lang.parser import Diagnostic
    from vemo.lang.listing import as_dict, as_text

    script_path = Path(args.script)
    cells: list[Any] = []

    def compiler() -> Any:
        return _compiler_for(args, script_path, cells)

    try:
        text = read_input(script_path, "script", MAX_SCRIPT_BYTES)
        result = check_script(text, str(script_path), compiler, max_actions=args.max_actions)
    except (InputFileError, CellError, HostError, ImportError) as error:
        if _signals.received:
            raise  # what a stop signal became on its way out of a native module's loader: stopped, not failed
        if not isinstance(error, ImportError):
            return _fail(args, Diagnostic("error", str(error)))
        return _fail(args, Diagnostic("error", f"the Vemo runtime is incomplete: {error}"))
    if result.compiled is not None and cells and cells[0] is not None:
        result.diagnostics.extend(Diagnostic("warning", warning) for warning in _travel_warnings(cells[0]))
    if args.json:
        body = as_dict(result.compiled, result.analysis) if result.compiled is not None else {}
        print(json.dumps(_listing(result.diagnostics, str(script_path), body), indent=2))
    else:
        if result.compiled is not None:
            if args.verbose:
                print("\n".join(printable(line) for line in result.compiled.diagnostics))
            print(as_text(result.compiled, result.analysis))
        for diagnostic in result.diagnostics:
            print(diagnostic.report(), file=sys.stderr)
    return 0 if result.ok else 1


def run(args: argparse.Namespace) -> int:
    if args.server is not None and (args.speed != 1.0 or args.sim_address is not None):
        print("error: --speed and --sim-address apply to the embedded simulator, not to a handler server",
              file=sys.stderr)
        return 2
    from vemo.run.rundir import private_files
    from vemo.run.runner import run as run_script

    with private_files():  # the journal tells what the script does: it and the outputs are the user's alone
        return run_script(args)


def report(args: argparse.Namespace) -> int:
    from vemo.run.report import report as report_run

    return report_run(args)


def sim(args: argparse.Namespace) -> int:
    from vemo.cell.model import CellError, load_cell
    from vemo.cell.host import RUNTIME_NAMES
    from vemo.util.inputfile import MAX_YAML_BYTES, InputFileError, read_input

    settings = args.handler_settings
    if settings is None:
        try:
            cell = load_cell(args.cell or "cell.yaml", RUNTIME_NAMES)
        except CellError as error:
            print(printable(f"error: {error}"), file=sys.stderr)
            return 2
        if cell.handler_settings is None:
            print(f"error: {cell.source} names no handler_settings file; pass --handler-settings FILE",
                  file=sys.stderr)
            return 2
        settings = cell.handler_settings
    try:
        read_input(settings, "handler settings file", MAX_YAML_BYTES)  # the simulator reads it whole
    except InputFileError as error:
        print(printable(f"error: {error}"), file=sys.stderr)
        return 2
    from vemo.run.simulator import SimulatorError, run_foreground

    try:
        return run_foreground(settings, args.address, args.speed)
    except SimulatorError as error:
        print(printable(f"error: {error}"), file=sys.stderr)
        return 1


def runs(args: argparse.Namespace) -> int:
    from vemo.run.runs import runs as list_runs

    return list_runs(args)


def console(args: argparse.Namespace) -> int:
    from vemo.run.console.server import serve

    return serve(args.dir, *args.listen, from_run=args.from_run)


def opcua(args: argparse.Namespace) -> int:
    from vemo.run.plant.opcua import serve

    return serve(args)


def mqtt(args: argparse.Namespace) -> int:
    from vemo.run.plant.mqtt import serve

    return serve(args)


def _ctl_commands(actions: Any) -> None:
    """`vemo ctl`'s commands, from the run's table of commands: one per request, a row with fixed fields
    (pause-now) as an option of its request's command (pause --now)."""
    from vemo.run.commands import COMMANDS

    parsers: dict[str, Any] = {}
    for row in COMMANDS:
        request = row.command or row.name
        if request not in parsers:
            parsers[request] = actions.add_parser(request, help=row.help)
        for key, value in row.fixed:
            parsers[request].add_argument(f"--{key}", action="store_const", const=value, default=None, help=row.help)
        for argument in row.arguments:
            parsers[request].add_argument(argument.name, help=argument.help, choices=argument.choices or None)


def ctl(args: argparse.Namespace) -> int:
    from vemo.run.commands import COMMANDS
    from vemo.run.controlsocket import ControlError, send

    arguments = {}
    for row in COMMANDS:
        if (row.command or row.name) == args.ctl_command:
            arguments.update({key: getattr(args, key) for key, _ in row.fixed if getattr(args, key) is not None})
            arguments.update({a.name: getattr(args, a.name) for a in row.arguments})
    try:
        from vemo.run.who import by

        answer = send(args.run_dir, args.ctl_command, **arguments,
                      **({"by": by("ctl")} if args.ctl_command != "status" else {}))
    except ControlError as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    if not answer["ok"]:
        print(f"refused: {answer.get('error')}", file=sys.stderr)
        return 1
    if args.ctl_command == "status":
        print(json.dumps({k: v for k, v in answer.items() if k != "ok"}, indent=2))
    else:
        print(f"{args.ctl_command}: the run is {answer.get('state')}")
    return 0


def lsp(args: argparse.Namespace) -> int:
    from vemo.lsp.server import main as serve

    return serve()


# The stop signals of the process, once `main` has installed them.
_signals = StopSignals()


def main(argv: Sequence[str] | None = None) -> int:
    """The `vemo` command. It installs the stop signals' handlers first, and ignores the signals once the
    command has its exit code: a signal after that, until the process has ended, changes nothing."""
    _signals.__enter__()
    quiet_lost_stops()
    try:
        argv = sys.argv[1:] if argv is None else list(argv)
        guard_standard_streams()  # output piped into a reader that quits early must not stop a command
        args = _parser(json_usage=argv[:1] == ["check"] and "--json" in argv).parse_args(argv)
        commands = {"check": check, "run": run, "report": report, "ctl": ctl, "console": console, "sim": sim,
                    "lsp": lsp, "runs": runs, "opcua": opcua, "mqtt": mqtt}
        code = commands[args.command](args)
    except BaseException as error:
        _signals.absorb()
        interrupt = _signals.interrupt_of(error)
        if interrupt is None:
            raise
        name = interrupt.name if isinstance(interrupt, StopSignal) else "Ctrl-C"
        code = exit_code(interrupt)
        del interrupt  # its traceback holds this frame: no cycle that outlives the command's objects
        print(f"vemo: stopped by {name}", file=sys.stderr)
    finally:
        _signals.ignore()
        sys.stdout.flush()
        sys.stderr.flush()
    return code
