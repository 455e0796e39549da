"""The `vemo` command line: `vemo check` lists what a script will run, `vemo run` runs it, `vemo ctl` controls
a live run, `vemo sim` simulates."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Sequence

from vemo.cell import CellError, load_cell
from vemo.host import RUNTIME_NAMES, HostError, install
from vemo.parser import ScriptError
from vemo.streams import guard_standard_streams


def _count(text: str) -> int:
    """A whole number of at least 0, for argparse."""
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 0, got {text!r}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vemo", description="Vemo workcell scripts.")
    commands = parser.add_subparsers(dest="command", required=True)
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
    run.add_argument("--sim-address", metavar="ADDRESS", help="where the embedded simulator binds its ports "
                                                               "(default: a free 127.x.y.z address)")
    run.add_argument("--handler-settings", metavar="FILE", help="the handler settings file; default: the one "
                                                                "the cell names")
    run.add_argument("--speed", type=float, default=1.0, metavar="FACTOR",
                     help="simulated time runs FACTOR times faster (motions and dwells); embedded simulator only")
    run.add_argument("--timeline", metavar="FILE.html", help="write the run's timeline (HTML with an SVG chart)")
    run.add_argument("--trace", metavar="FILE.json", help="write the run as a Chrome trace (Perfetto)")
    run.add_argument("--record", metavar="FILE.json", help="write the run's record of every action as JSON")
    run.add_argument("--plain", action="store_true", help="plain progress lines even on a terminal")
    run.add_argument("--retries", type=_count, default=0, metavar="N",
                     help="try a failed action again up to N times before the failure counts (default 0)")
    run.add_argument("--on-error", choices=("stop", "ask"), default="stop",
                     help="once a failure counts: stop the run (default), or hold it and ask the operator to "
                          "retry, skip or abort (vemo ctl DIR retry|skip|abort)")
    run.add_argument("--run-dir", metavar="DIR", help="the run folder, which gets the journal and the control socket "
                                                      "(default: runs/<YYYYmmdd-HHMMSS>-<script name>)")

    report = commands.add_parser("report", help="rebuild a run's timeline, trace or record from its run folder",
                                 description="Reads DIR/journal.jsonl, also of a run that was killed, and writes "
                                             "the files asked for; without any, prints what the run did.")
    report.add_argument("run_dir", metavar="DIR", help="the run folder (or its journal.jsonl)")
    report.add_argument("--timeline", metavar="FILE.html", help="write the run's timeline (HTML with an SVG chart)")
    report.add_argument("--trace", metavar="FILE.json", help="write the run as a Chrome trace (Perfetto)")
    report.add_argument("--record", metavar="FILE.json", help="write the run's record of every action as JSON")

    ctl = commands.add_parser("ctl", help="control a live run: status, pause, resume, stop, decisions, inputs",
                              description="Talks to the run whose folder is DIR through its control socket. "
                                          "Exit code 0 when the run did what was asked, 1 when it refused "
                                          "(the command does not apply in its state), 2 when no run answers.")
    ctl.add_argument("run_dir", metavar="DIR", help="the run's folder")
    actions = ctl.add_subparsers(dest="ctl_command", required=True, metavar="COMMAND")
    actions.add_parser("status", help="the run's state and each module's as JSON")
    pause = actions.add_parser("pause", help="every module finishes its action and starts no new one")
    pause.add_argument("--now", action="store_true", help="also stop the axes in motion; their motions are sent "
                                                          "again to the same targets on resume")
    for name, text in (("resume", "go on after a pause"), ("stop", "end the run as Ctrl-C does (exit 130)"),
                       ("retry", "run the failed action again"), ("skip", "mark the failed action skipped and go on"),
                       ("abort", "end the run after a failure")):
        actions.add_parser(name, help=text)
    set_input = actions.add_parser("input", help="set a simulated input (embedded simulator only)")
    set_input.add_argument("module", help="the IO module of the cell")
    set_input.add_argument("point", help="the input's name under the module's inputs:")
    set_input.add_argument("value", choices=("on", "off"))

    sim = commands.add_parser("sim", help="run the handler simulator in the foreground until Ctrl-C",
                              description="Starts vemo-sim on ADDRESS with the handler settings of a cell.")
    sim.add_argument("--cell", help="a cell description whose handler_settings file to simulate "
                                    "(default: cell.yaml in the current directory)")
    sim.add_argument("--handler-settings", metavar="FILE", help="the handler settings file to simulate")
    sim.add_argument("--address", default="127.0.0.1", help="where to bind the handler ports (default 127.0.0.1)")
    sim.add_argument("--speed", type=float, default=1.0, metavar="FACTOR", help="time scale of the simulation")
    return parser


def _fail(args: argparse.Namespace, errors: list[dict], text: str) -> int:
    if args.json:
        print(json.dumps({"ok": False, "errors": errors}, indent=2))
    else:
        print(text, file=sys.stderr)
    return 1


def check(args: argparse.Namespace) -> int:
    script_path = Path(args.script)
    try:
        text = script_path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as error:
        return _fail(args, [{"message": f"cannot read {script_path}: {error}"}],
                     f"{script_path}: cannot read the script: {error}")
    cell = None
    try:
        if args.modules is None:
            cell_path = Path(args.cell) if args.cell else script_path.parent / "cell.yaml"
            if not args.cell and not cell_path.exists():
                raise CellError(f"{script_path}: no cell description: pass --cell FILE "
                                f"(or put cell.yaml beside the script)")
            cell = load_cell(cell_path, RUNTIME_NAMES)
        compiler = install(cell, actions=args.actions, modules=args.modules)
    except (CellError, HostError) as error:
        return _fail(args, [{"message": str(error)}], f"error: {error}")
    except ImportError as error:
        return _fail(args, [{"message": f"the Vemo runtime is incomplete: {error}"}],
                     f"error: the Vemo runtime is incomplete: {error}")

    from vemo.analysis import analyse
    from vemo.frontend import compile_script
    from vemo.report import as_dict, as_text

    try:
        compiled = compile_script(text, str(script_path), compiler)
    except ScriptError as error:
        return _fail(args, [error.as_dict()], error.report())
    analysis = analyse(compiled)
    if args.json:
        listing = as_dict(compiled, analysis)
        listing["ok"] = not analysis.problems
        print(json.dumps(listing, indent=2, default=str))
    else:
        if args.verbose:
            print("\n".join(compiled.diagnostics))
        print(as_text(compiled, analysis))
        for problem in analysis.problems:
            print(f"{problem.report()}", file=sys.stderr)
    return 1 if analysis.problems else 0


def _speed_ok(args: argparse.Namespace) -> bool:
    if not args.speed > 0 or args.speed == float("inf"):
        print(f"error: --speed must be a positive number, got {args.speed}", file=sys.stderr)
        return False
    return True


def run(args: argparse.Namespace) -> int:
    if not _speed_ok(args):
        return 2
    if args.server is not None and (args.speed != 1.0 or args.sim_address is not None):
        print("error: --speed and --sim-address apply to the embedded simulator, not to a handler server",
              file=sys.stderr)
        return 2
    from vemo.run.runner import run as run_script

    return run_script(args)


def report(args: argparse.Namespace) -> int:
    from vemo.run.report import report as report_run

    return report_run(args)


def sim(args: argparse.Namespace) -> int:
    if not _speed_ok(args):
        return 2
    settings = args.handler_settings
    if settings is None:
        try:
            cell = load_cell(args.cell or "cell.yaml", RUNTIME_NAMES)
        except CellError as error:
            print(f"error: {error}", file=sys.stderr)
            return 2
        if cell.handler_settings is None:
            print(f"error: {cell.source} names no handler_settings file; pass --handler-settings FILE",
                  file=sys.stderr)
            return 2
        settings = cell.handler_settings
    from vemo.run.simulator import SimulatorError, run_foreground

    try:
        return run_foreground(settings, args.address, args.speed)
    except SimulatorError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1


def ctl(args: argparse.Namespace) -> int:
    from vemo.run.control import ControlError, send

    arguments = {}
    if args.ctl_command == "pause" and args.now:
        arguments["now"] = True
    elif args.ctl_command == "input":
        arguments = {"module": args.module, "point": args.point, "value": args.value}
    try:
        answer = send(args.run_dir, args.ctl_command, **arguments)
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


def main(argv: Sequence[str] | None = None) -> int:
    guard_standard_streams()  # output piped into a reader that quits early must not stop a command
    args = _parser().parse_args(argv)
    commands = {"check": check, "run": run, "report": report, "ctl": ctl, "sim": sim}
    try:
        return commands[args.command](args)
    finally:
        sys.stdout.flush()
        sys.stderr.flush()

