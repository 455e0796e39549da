"""`vemo run`: runs a script on a cell through the handler (the embedded simulator by default), with live
progress, a run folder whose journal records every event as it happens, and one stop path for failures
and signals."""

from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import os
import queue
import sys
import threading
import time
from pathlib import Path
from typing import Any, TextIO

from vemo.cell import Cell, CellError, load_cell
from vemo.host import RUNTIME_NAMES, HostError, install
from vemo.inputfile import MAX_SCRIPT_BYTES, InputFileError, read_input
from vemo.run.control import RunControl
from vemo.run.controlsocket import ControlServer
from vemo.run.drive import ERROR_STATE_INDEX, RunContext, check_cell, describe_action, read_handler_modules
from vemo.run.interlocks import InterlockWatch
from vemo.run.keys import KeyReader, key_help
from vemo.run.journal import FORMAT, JOURNAL_NAME, Journal, JournalError, read_journal
from vemo.run.rundir import RunDir, RunDirError, claim_run_dir
from vemo.run.outputs import (OUTPUTS, OutputPathError, RunRecords, check_output_paths, records_from_events,
                              failure_line, summary_lines, write_outputs)
from vemo.run.signals import StopSignal, StopSignals, exit_code, outcome as signal_outcome
from vemo.run.timeline import ActionRecord
from vemo.run.watch import LOSS_NOTICED_WITHIN_SECONDS, HandlerWatch
from vemo.scriptbounds import MAX_ACTIONS
from vemo.text import printable

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
# How long the end of a run waits for module threads once they are told to stop.
STOP_GRACE_SECONDS = 10.0
# How often the main thread looks at the module threads and redraws the progress.
TICK_SECONDS = 0.125


class RunError(Exception):
    """The run cannot start: bad input files, a script that does not compile, no handler, an output
    that cannot be written. `exit_code` is 1, or 2 for a problem with the command line's own paths."""

    def __init__(self, message: str, exit_code: int = EXIT_FAILED) -> None:
        super().__init__(message)
        self.exit_code = exit_code


# --- before the run ------------------------------------------------------------------------------------

@dataclasses.dataclass
class Prepared:
    """A script compiled and checked against its cell and handler settings, ready to run."""

    compiled: Any
    cell: Cell
    script: Path
    settings: str


def _digest(path: str | Path) -> str | None:
    """SHA-256 of an input file, so that a journal tells whether the files it ran are still those."""
    try:
        return hashlib.sha256(Path(path).read_bytes()).hexdigest()
    except OSError:
        return None


def _settings_path(args: Any, cell: Cell) -> str:
    path = args.handler_settings or cell.handler_settings
    if path is None:
        raise RunError(f"{cell.source}: the cell names no handler settings file: add handler_settings: FILE to it "
                       f"or pass --handler-settings FILE")
    if not os.path.isfile(path):
        raise RunError(f"handler settings file not found: {path}")
    return path


def prepare(args: Any) -> Prepared:
    """Reads and compiles the script, checks it and the cell against the handler settings. A syntax error
    is reported before the cell is looked for."""
    from vemo.checks import check_script

    script_path = Path(args.script)
    loaded: dict[str, Any] = {}

    def compiler() -> Any:
        cell_path = Path(args.cell) if args.cell else script_path.parent / "cell.yaml"
        loaded["cell"] = cell = load_cell(cell_path, RUNTIME_NAMES)
        return install(cell)

    try:
        text = read_input(script_path, "script", MAX_SCRIPT_BYTES)
        result = check_script(text, str(script_path), compiler,
                              max_actions=getattr(args, "max_actions", MAX_ACTIONS))
    except (InputFileError, CellError, HostError) as error:
        raise RunError(str(error)) from None
    if not result.ok:
        raise RunError("the script cannot run:\n" + "\n".join(d.report() for d in result.diagnostics))
    cell = loaded["cell"]
    settings = _settings_path(args, cell)
    try:
        handler = read_handler_modules(settings)
    except (OSError, ValueError) as error:
        raise RunError(f"cannot read the handler settings: {error}") from None
    errors, warnings = check_cell(cell, handler, settings)
    for warning in warnings:
        print(printable(f"warning: {warning}"), file=sys.stderr)
    if errors:
        raise RunError("the cell does not match its handler settings:\n  " + "\n  ".join(errors))
    return Prepared(result.compiled, cell, script_path, settings)


# --- the run's journal --------------------------------------------------------------------------------

class Recorder:
    """Names every action of the plans by its module and its 1-based index in that module's list, and
    writes what the module threads report about each action to the journal as it happens. The actions
    of an except block are named on when it is about to run, after the module's others."""

    def __init__(self, plans: list, origin: Any, journal: Journal) -> None:
        self.journal = journal
        self.origin = origin
        self._keys: dict[int, tuple[str, int, str, str | None]] = {}
        self._counts: dict[str, int] = {}
        self.failed: list[Any] = []  # the actions that failed, in the order they did
        self._planned = self._name(plans)
        self.totals = {plan.name: len(plan.actions()) for plan in plans}

    def _name(self, plans: list, recovery: str | None = None) -> list[dict]:
        planned: list[dict] = []
        by_signal: dict[int, list] = {}
        for plan in plans:
            for lane, actions in plan.lanes.items():
                for action in actions:
                    index = self._counts[plan.name] = self._counts.get(plan.name, 0) + 1
                    text = describe_action(action)
                    location = self.origin(action)
                    self._keys[id(action)] = (plan.name, index, text, location)
                    by_signal[id(action.finish_signal)] = [plan.name, index]
                    entry = {"module": plan.name, "index": index, "text": text, "location": location,
                             "kind": type(action).__name__, "lane": None if lane is None else str(lane),
                             "action": action}
                    planned.append({**entry, "recovery": recovery} if recovery is not None else entry)
        for entry in planned:
            action = entry.pop("action")
            entry["waits"] = [list(self._keys[id(d)][:2]) for d in action.dependency if id(d) in self._keys]
            entry["after"] = by_signal.get(id(action.script_dep)) if action.script_dep is not None else None
        return planned

    def write_plan(self) -> None:
        """One action_planned event per action, in plan order, so that the journal alone tells every
        action of the run, those that never start included."""
        for entry in self._planned:
            self.journal.write("action_planned", **entry)

    def plan_recovery(self, plans: list, name: str) -> None:
        """Names the actions of an except block and writes their action_planned events."""
        for entry in self._name(plans, name):
            self.journal.write("action_planned", **entry)

    def key(self, action: Any) -> list:
        """[module, index], as the journal refers to an action."""
        return list(self._keys[id(action)][:2])

    def on_start(self, action: Any) -> None:
        key = self._keys.get(id(action))
        if key is not None:
            module, index, text, location = key
            self.journal.write("action_started", module=module, index=index, text=text, location=location)

    def on_retry(self, action: Any, attempt: int, reason: str) -> None:
        key = self._keys.get(id(action))
        if key is not None:
            module, index, text, location = key
            self.journal.write("retry", module=module, index=index, text=text, location=location, attempt=attempt,
                               reason=reason)

    def on_end(self, action: Any, outcome: str, reason: str | None) -> None:
        if outcome == "error":
            self.failed.append(action)
        key = self._keys.get(id(action))
        if key is not None:
            module, index, text, location = key
            fields = {"reason": reason} if reason is not None else {}
            self.journal.write("action_ended", module=module, index=index, text=text, location=location,
                               outcome=outcome, **fields)


# --- progress -----------------------------------------------------------------------------------------

# How the plain progress tells the events of the run that are not an action's.
_RUN_EVENTS = {
    "paused": lambda e: f"paused ({e.get('mode')}, by {e.get('cause')})",
    "resumed": lambda e: f"resumed (by {e.get('cause')})",
    "interlock_tripped": lambda e: f"interlock {e.get('name')} tripped: {e.get('module')} {e.get('input')} "
                                   f"is {e.get('value')}",
    "interlock_cleared": lambda e: f"interlock {e.get('name')} safe again: {e.get('module')} {e.get('input')} "
                                   f"is {e.get('value')}",
    "recovery_started": lambda e: f"except block {e.get('block')} started (the try at {e.get('location')})",
    "recovery_ended": lambda e: f"except block {e.get('block')} ended ({e.get('outcome')})",
}


class PlainProgress:
    """One line per action start and failure, for logs and pipes."""

    def __init__(self, state: RunRecords, out: TextIO, clock: Any) -> None:
        self.state, self.out = state, out
        self.width = max([len(name) for name in state.totals] + [1])

    def __enter__(self) -> PlainProgress:
        return self

    def __exit__(self, *exc: Any) -> None:
        pass

    def event(self, event: dict, record: ActionRecord | None) -> None:
        kind = event["event"]
        if kind in _RUN_EVENTS:
            print(f"{event['t']:8.3f} s  {printable(_RUN_EVENTS[kind](event))}", file=self.out, flush=True)
        if record is None:
            return
        if kind == "action_started":
            if record.recovery is None:
                count, total = self.state.started_count[record.module], self.state.totals[record.module]
            else:
                block = [x for x in self.state.records if x.module == record.module and x.recovery == record.recovery]
                count, total = sum(1 for x in block if x.start_seq), len(block)
            block_name = f"{record.recovery} " if record.recovery is not None else ""
            print(f"{record.start:8.3f} s  {record.module:<{self.width}}  [{block_name}{count}/{total}] "
                  f"{printable(record.text)}", file=self.out, flush=True)
        elif kind == "retry":
            print(f"{event['t']:8.3f} s  {record.module:<{self.width}}  RETRY {event.get('attempt')}: "
                  f"{printable(record.text)}",
                  file=self.out, flush=True)
        elif kind == "action_ended" and record.outcome in ("error", "interrupted", "skipped"):
            print(f"{event['t']:8.3f} s  {record.module:<{self.width}}  {record.outcome.upper()}: "
                  f"{printable(record.text)}",
                  file=self.out, flush=True)

    def refresh(self) -> None:
        pass


class LiveProgress:
    """A table with one row per module (current action, done/total, elapsed), redrawn while the run goes."""

    def __init__(self, state: RunRecords, out: TextIO, clock: Any, control: RunControl | None = None,
                 keys: KeyReader | None = None) -> None:
        from rich.console import Console
        from rich.live import Live

        self.state, self.clock, self.control, self.keys = state, clock, control, keys
        self.live = Live(self._view(), console=Console(file=out), refresh_per_second=8, transient=False)

    def __enter__(self) -> LiveProgress:
        self.live.__enter__()
        if self.keys is not None:
            self.keys.__enter__()
        return self

    def __exit__(self, *exc: Any) -> None:
        if self.keys is not None:
            self.keys.__exit__(*exc)
            self.keys = None
        self.live.update(self._view())
        self.live.__exit__(*exc)

    def event(self, event: dict, record: ActionRecord | None) -> None:
        pass

    def refresh(self) -> None:
        self.live.update(self._view())

    def _view(self) -> Any:
        """The table, and under it the run's state and the keys that apply while keys are read."""
        if self.control is None or self.keys is None:
            return self._table()
        from rich.console import Group
        from rich.text import Text

        state = self.control.state
        tripped = self.control.tripped()
        lines = [f"{state}" + (f"  interlock not safe: {', '.join(tripped)}" if tripped else "")
                 + f"    keys: {key_help(state) or 'none'}"]
        if self.keys.message:
            lines.append(self.keys.message)
        return Group(self._table(), Text("\n".join(lines)))

    def _table(self) -> Any:
        from rich.table import Table
        from rich.text import Text

        s = self.state
        now = self.clock()
        recovering = f"  except block {s.recovering} running" if s.recovering is not None else ""
        table = Table(title=f"vemo run  {now:.1f} s{recovering}", title_justify="left")
        for column in ("module", "state", "current action", "done", "elapsed"):
            table.add_column(column, justify="right" if column in ("done", "elapsed") else "left")
        colours = {"failed": "[red]", "done": "[green]", "stopped": "[yellow]", "running": "[cyan]", "waiting": ""}
        for module, total in s.totals.items():
            current = s.current.get(module)
            state = _module_state(s, module)
            state = colours[state] + state
            elapsed = s.finished_at.get(module, now)
            # Text, not a string: rich would read square brackets in the script's text as markup.
            table.add_row(module, state, Text(printable(current.text)) if current is not None else "",
                          f"{s.done[module]}/{total}", f"{elapsed:.1f} s")
        return table


# --- the run ------------------------------------------------------------------------------------------

def _module_state(s: RunRecords, module: str) -> str:
    if module in s.failed:
        return "failed"
    if module in s.finished_at:
        return "done" if s.done[module] == s.totals[module] else "stopped"
    return "running" if s.current.get(module) is not None else "waiting"


def _wait_for_threads(threads: list[threading.Thread], seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    for thread in threads:
        thread.join(max(deadline - time.monotonic(), 0.0))
    return not any(thread.is_alive() for thread in threads)


class Run:
    """One `vemo run`: its folder and journal, the handler, the run context and the modules, and the one
    stop path that failures and signals take.

    Every event goes to the journal as it happens; the progress on the terminal and the output files
    are drawn from the journal's events, so that they tell what `vemo report` tells from the folder."""

    def __init__(self, args: Any, out: TextIO, errors: TextIO) -> None:
        self.args, self.out, self.errors = args, out, errors
        self.signals = StopSignals()
        self.prepared: Prepared | None = None
        self.run_dir: Path | None = None
        self.journal: Journal | None = None
        self.simulator: Any = None
        self.address = ""
        self.client: Any = None
        self.watch: HandlerWatch | None = None
        self.control: RunControl | None = None
        self.control_server: ControlServer | None = None
        self.interlocks: InterlockWatch | None = None
        self.module_status: dict = {}  # per module, as `vemo ctl DIR status` shows it; drawn by the main thread
        self.context: RunContext | None = None
        self.recorder: Recorder | None = None
        self.modules: list[tuple[str, Any]] = []
        self.threads: list[tuple[str, threading.Thread]] = []
        self.state = RunRecords()  # the live view of the journal's events
        self.events_seen: list[dict] = []  # those events, for when the journal file could not be written
        self.progress: PlainProgress | LiveProgress | None = None
        self.interrupt: KeyboardInterrupt | None = None  # the signal that stopped the run
        self.stop_cause: str | None = None
        self.console: Any = None  # the operator console's process, with --console
        self._halted = False  # whether the modules now running were told to stop
        self._events: queue.Queue = queue.Queue()
        self._ended_modules: set[str] = set()
        self.folder: RunDir | None = None
        self._announced = False  # whether the run folder has been printed: it stays from then on

    # --- start --------------------------------------------------------------------------------------

    def outputs_requested(self) -> dict[str, str]:
        return {o.option: getattr(self.args, o.option) for o in OUTPUTS if getattr(self.args, o.option, None)}

    def start(self) -> None:
        """Everything before the modules start: compile and check, the run folder, the output paths, the
        handler, and the journal's run_started and plan."""
        args = self.args
        self.prepared = prepared = prepare(args)
        try:
            self.folder = claim_run_dir(getattr(args, "run_dir", None), prepared.script)
        except RunDirError as error:
            raise RunError(str(error), EXIT_USAGE) from None
        self.run_dir = self.folder.path
        inputs = [prepared.script, prepared.cell.source, prepared.settings, self.run_dir / JOURNAL_NAME]
        try:
            created = check_output_paths(self.outputs_requested(), inputs,
                                         may_create_below=[Path.cwd(), self.run_dir])
        except OutputPathError as error:
            raise RunError(str(error), EXIT_USAGE) from None
        for folder in created:
            print(f"created the folder {folder} for the run's outputs", file=self.out)
        print(f"run folder: {self.run_dir}", file=self.out, flush=True)
        self._announced = True
        self._start_handler()
        import kinra_client

        self.client = kinra_client.KinraClient(prepared.settings, server_address=self.address)
        self._tell_address(str(self.client.server_address))
        try:
            self.journal = Journal(self.run_dir / JOURNAL_NAME, on_error=self._journal_failed)
        except OSError as error:
            raise RunError(f"cannot write the journal {self.run_dir / JOURNAL_NAME}: {error.strerror}") from None
        self.journal.add_listener(self._events.put)
        self.recorder = Recorder(prepared.compiled.plans, prepared.compiled.origin, self.journal)
        cell = prepared.cell
        self.control = RunControl(journal=self.journal.write, stop_axis=self.client.motor_stop,
                                  set_input=self.simulator.set_input if self.simulator is not None else None,
                                  inputs={(spec.name, point): (spec.handler_id, pin)
                                          for spec in cell.modules for point, pin in spec.inputs.items()},
                                  interlocks=cell.interlocks, modules=lambda: self.module_status)
        self.context = RunContext(self.client, time_factor=args.speed if self.simulator is not None else 1.0,
                                  on_start=self.recorder.on_start, on_end=self.recorder.on_end, control=self.control,
                                  retries=getattr(args, "retries", 0), on_retry=self.recorder.on_retry,
                                  decide=self.control.hold_for_decision if getattr(args, "on_error", "stop") == "ask"
                                  else None)
        self.interlocks = InterlockWatch(self.client, cell, self.control)
        probe = kinra_client.KinraClient(prepared.settings, server_address=self.address)
        self.address = str(self.client.server_address)  # the settings file may name another than --server
        self.watch = HandlerWatch(probe, prepared.cell.modules[0].handler_id, ERROR_STATE_INDEX, self._handler_lost,
                                  alive=self._simulator_ended if self.simulator is not None else None)
        self.context.loss_verdict_seconds = LOSS_NOTICED_WITHIN_SECONDS
        totals = self.recorder.totals
        self.journal.write("run_started", format=FORMAT, script=str(prepared.script), cell=prepared.cell.source,
                           handler_settings=prepared.settings, handler=self.address,
                           digests={str(path): _digest(path) for path in (prepared.script, prepared.cell.source,
                                                                          prepared.settings)},
                           simulator=self.simulator is not None,
                           simulator_pid=self.simulator.process.pid if self.simulator is not None else None,
                           speed=self.context.time_factor,
                           retries=self.context.retries, on_error=getattr(args, "on_error", "stop"),
                           started=time.strftime("%Y-%m-%dT%H:%M:%S%z"), pid=os.getpid(),
                           modules=[{"name": name, "actions": count} for name, count in totals.items()],
                           interlocks=[{"name": i.name, "module": i.module, "input": i.input}
                                       for i in prepared.cell.interlocks])
        self.recorder.write_plan()
        try:
            self.control_server = ControlServer(self.run_dir, self.control)  # kept first: a stop closes it
            self.control_server.start()
        except OSError as error:
            raise RunError(f"cannot open the control socket {self.run_dir / 'control'}: "
                           f"{error.strerror or error}") from None
        if getattr(args, "console", None) is not None:
            self._start_console(*args.console)
        live = self.out.isatty() and not getattr(args, "plain", False)
        if live:
            keys = KeyReader(self.control) if sys.stdin.isatty() else None
            self.progress = LiveProgress(self.state, self.out, self.journal.elapsed, self.control, keys)
        else:
            self.progress = PlainProgress(self.state, self.out, self.journal.elapsed)
        print(f"running {printable(str(args.script))}: {sum(totals.values())} actions on {len(totals)} modules "
              f"({', '.join(totals)}); control it with: vemo ctl {self.run_dir} COMMAND", file=self.out, flush=True)

    def _start_console(self, host: str, port: int) -> None:
        from vemo.run.console.launcher import ConsoleProcess, ConsoleStartError

        self.console = ConsoleProcess(self.run_dir, host, port)
        try:
            url = self.console.start()
        except ConsoleStartError as error:
            self.console = None
            raise RunError(str(error)) from None
        print(f"console: {url}", file=self.out, flush=True)

    def close_console(self) -> None:
        """Ends the console once it has shown the end of the run."""
        if self.console is not None:
            self.console.close()
            self.console = None

    def _start_handler(self) -> None:
        args, prepared = self.args, self.prepared
        if args.server is not None:
            self.address = args.server  # told once the client has read the settings, which may name another
            return
        from vemo.run.simulator import Simulator, SimulatorError

        # Kept before it starts, so that a signal while it starts still finds it to stop.
        self.simulator = Simulator(prepared.settings, address=getattr(args, "sim_address", None), time_scale=args.speed)
        try:
            self.simulator.start()
        except SimulatorError as error:
            raise RunError(str(error)) from None
        self.address = self.simulator.address
        print(f"handler: embedded simulator on {self.address} (pid {self.simulator.process.pid}, "
              f"time scale {args.speed:g})", file=self.out, flush=True)

    def _tell_address(self, used: str) -> None:
        """Prints the handler address the client really talks to: a server_address in the handler settings
        wins over --server and over the embedded simulator's address."""
        if self.simulator is None:
            other = "" if used == self.address else \
                f" (the handler settings' server_address; not --server {self.address})"
            print(f"handler: server at {used}{other}", file=self.out, flush=True)
        elif used != self.address:
            print(f"warning: the handler settings name server_address {used}: the run talks to {used}, not to the "
                  f"embedded simulator on {self.address}", file=self.errors, flush=True)

    # --- execute ------------------------------------------------------------------------------------

    def running(self) -> bool:
        return any(thread.is_alive() for _, thread in self.threads)

    def execute(self) -> bool:
        """Runs every module's plan on its own thread until all have ended or been stopped, then, when the
        run stopped because an action failed, the except blocks of the failed actions. Returns whether
        every module thread ended."""
        with contextlib.ExitStack() as stack:
            all_ended = self._run_plans(self.prepared.compiled.plans, stack, rearm=True)
            if all_ended and self.recorder.failed and self.stop_cause == "failure" and self.interrupt is None \
                    and self.journal.error is None:
                all_ended = self._recover()
            return all_ended

    def _run_plans(self, plans: list, stack: contextlib.ExitStack | None = None, rearm: bool = False) -> bool:
        """One module per plan on its own thread, watched until all have ended or been stopped. The first
        call enters the progress and starts the handler and interlock watches, all kept on `stack` until the
        run's end, so that they serve the except blocks too. With `rearm`, the stop signals absorbed since the
        start or the stop before raise again from here on, and one absorbed meanwhile stops these plans
        before they start."""
        self.modules, self.threads, self._halted = [], [], False
        try:
            try:
                if rearm:
                    self.signals.rearm()
                    if self.signals.absorbed:
                        raise StopSignal(self.signals.absorbed[-1])
                if stack is not None:
                    stack.enter_context(self.progress)
                for plan in plans:
                    plan.kind.run_context = self.context
                    self.modules.append((plan.name, plan.kind(plan.sequence)))
                if stack is not None:
                    self.watch.start()
                    stack.callback(self.watch.stop)
                    stack.callback(self.interlocks.close)
                    self._start_interlocks()
                self.threads = [(name, module.async_run()) for name, module in self.modules]
                self._watch(self.progress)
            except KeyboardInterrupt as interrupt:
                self.interrupt = interrupt
                self.stop("signal")
            finally:
                self.signals.absorb()  # from here on a signal cannot break the stop or the outputs
                all_ended = self._wind_down(self.progress)
        finally:
            for plan in plans:
                plan.kind.run_context = None
        return all_ended

    def _recover(self) -> bool:
        """Runs the except block of the innermost try around each failed action, each block once, in the
        order the actions failed, each like a program of its own. A failure in one, or a stop signal,
        ends the recovery."""
        compiled = self.prepared.compiled
        failed = list(self.recorder.failed)
        blocks = list(dict.fromkeys(r for r in map(compiled.recovery_of, failed) if r is not None))
        all_ended = True
        for recovery in blocks:
            if self.signals.absorbed:
                print("the run was stopped while it ended: its except blocks do not run", file=self.errors)
                break
            self.context.begin_recovery()
            failures = len(self.recorder.failed)
            self.journal.write("recovery_started", block=recovery.name, location=str(recovery.origin),
                               failed=[self.recorder.key(a) for a in failed if compiled.recovery_of(a) is recovery])
            self.recorder.plan_recovery(recovery.plans, recovery.name)
            all_ended = self._run_plans(recovery.plans, rearm=True)
            stopped = self.interrupt is not None or self.stop_cause in ("signal", "operator")
            outcome = ("interrupted" if stopped else
                       "failed" if len(self.recorder.failed) > failures or not all_ended else "finished")
            self.journal.write("recovery_ended", block=recovery.name, outcome=outcome)
            self._pump(self.progress, 0.0)
            if outcome != "finished":
                break
        return all_ended

    def _start_interlocks(self) -> None:
        """Reads the interlocks before any module starts: one that is not safe holds the run at once."""
        self.interlocks.start()
        for name in self.control.tripped():
            interlock = next(i for i in self.prepared.cell.interlocks if i.name == name)
            print(f"interlock {name} is not safe ({interlock.module} {interlock.input}): the run waits until it is"
                  f"{'' if interlock.auto_resume else ', then for resume'}", file=self.out, flush=True)

    def _update_status(self) -> None:
        s = self.state
        status = {}
        for module, total in s.totals.items():
            current = s.current.get(module)
            status[module] = {"state": _module_state(s, module), "current": current.text if current else None,
                              "done": s.done[module], "total": total}
        self.module_status = status

    def _watch(self, progress: Any) -> None:
        """The main thread while the modules run: progress, modules that ended, the stop on a failure."""
        while self.running():
            if self.signals.lost() is not None:  # raised and swallowed on its way here: it stops the run all the same
                raise StopSignal(self.signals.lost())
            self._pump(progress, TICK_SECONDS)
            self._note_ended_modules()
            self._follow_loss()
            if self.context.stopping.is_set() and not self._halted:
                self.stop("failure")  # an action failed: the others stop after their current action
            if self.control.stop_requested.is_set() and self.stop_cause in (None, "failure"):
                self.stop("operator")
            self._update_status()
            progress.refresh()
        self._note_ended_modules()

    def _pump(self, progress: Any, timeout: float) -> None:
        """Hands the journal's new events to the live view, waiting at most `timeout` for the first."""
        try:
            event = self._events.get(timeout=timeout)
        except queue.Empty:
            return
        while True:
            self.events_seen.append(event)
            progress.event(event, self.state.add(event))
            try:
                event = self._events.get_nowait()
            except queue.Empty:
                return

    def _note_ended_modules(self) -> None:
        for name, thread in self.threads:
            if name not in self._ended_modules and name in self.recorder.totals and not thread.is_alive():
                self._ended_modules.add(name)
                self.journal.write("module_ended", module=name)

    def stop(self, cause: str) -> None:
        """The one stop path. Every cause stops the modules after their current action and ends every
        wait for a dependency. A signal also stops the axes in motion and ends dwells and every wait on
        the handler at once; a lost handler ends the waits on it (the client fails them with its reason)."""
        self.stop_cause = cause if self.stop_cause in (None, "failure") else self.stop_cause
        self._halted = True
        self.context.stopping.set()
        for _, module in self.modules:
            module.run_event.clear()  # ends a failed module's parking and every wait for a dependency
        if cause in ("signal", "operator") and self.context.handler_lost is None:
            self.context.stop_motion()
        if cause in ("signal", "operator", "handler_lost"):
            self.client.cancel_waits()

    def _handler_lost(self, reason: str, silent_for: float) -> None:
        """The watch's report, on its thread: journal first, then the waits on the handler fail with the
        reason; the main thread takes the stop path when it sees the loss."""
        self.journal.write("handler_lost", address=self.address, reason=reason, silent_for=round(silent_for, 3))
        print(f"error: {reason}; stopping the run", file=self.errors, flush=True)
        self.context.lose_handler(reason)

    def _journal_failed(self, error: OSError) -> None:
        """A journal write failed (a full disk): the run stops as after a failure, since what it does
        would no longer be recorded."""
        print(f"error: cannot write the journal {self.journal.path}: {error.strerror or error}; stopping the run",
              file=self.errors, flush=True)
        if self.context is not None:
            self.context.stopping.set()

    def _follow_loss(self) -> None:
        if self.context.handler_lost is not None and self.stop_cause in (None, "failure"):
            self.stop("handler_lost")

    def _simulator_ended(self) -> str | None:
        code = self.simulator.process.poll() if self.simulator is not None else None
        if code is None:
            return None
        return f"the embedded simulator was killed by signal {-code}" if code < 0 else \
            f"the embedded simulator ended with exit code {code}"

    def _wind_down(self, progress: Any) -> bool:
        """Waits for the module threads after a stop, or after they all ended, with the progress kept
        up to date; returns whether all ended. Waits on the handler that begin after a signal or a
        loss are ended as they come."""
        if self.running() and not self.context.stopping.is_set():
            self.stop("failure")
        deadline = time.monotonic() + STOP_GRACE_SECONDS
        while self.running() and time.monotonic() < deadline:
            self._pump(progress, TICK_SECONDS)
            self._follow_loss()
            if self.stop_cause in ("signal", "operator", "handler_lost"):
                self.client.cancel_waits()
        all_ended = _wait_for_threads([thread for _, thread in self.threads], 0.0)
        self._note_ended_modules()
        self._pump(progress, 0.0)
        return all_ended

    # --- end ----------------------------------------------------------------------------------------

    def close_control(self) -> None:
        """The run takes no more commands: the socket goes, and every hold ends."""
        if self.control is not None:
            self.control.ended()
        if self.interlocks is not None:
            self.interlocks.close()
        if self.control_server is not None:
            self.control_server.close()
            self.control_server = None

    def close_handler(self) -> None:
        if self.simulator is not None:
            self.simulator.stop()
            self.simulator = None

    def _journal_events(self) -> list[dict]:
        """The run's events as its journal file holds them (as they were written, if it could not be)."""
        if self.journal.error is not None:
            return list(self.events_seen)
        try:
            events, warnings = read_journal(self.journal.path)
        except JournalError as error:
            print(f"warning: {error}", file=self.errors)
            return list(self.events_seen)
        for warning in warnings:
            print(f"warning: {warning}", file=self.errors)
        return events

    def finish(self, all_ended: bool) -> int:
        """Stops the handler, writes run_ended, the outputs and the summary; returns the exit code."""
        self.close_control()
        self.close_handler()
        events = self._journal_events()
        records = records_from_events(events)
        code, outcome, verdict = self._verdict(records)
        events.append(self.journal.write("run_ended", exit_code=code, outcome=outcome))
        self.journal.close()
        records = records_from_events(events)
        write_outputs(records, self.outputs_requested(), f"vemo run {self.prepared.script.name}", self.out,
                      self.errors)
        for line in summary_lines(records, self.recorder.totals):
            print(line, file=self.out)
        if not all_ended:
            print("warning: a module thread did not stop in time; the process ends it", file=self.errors)
        if outcome == "failed":
            for record in records:
                if record.outcome == "error":
                    print(printable(failure_line(record)), file=self.errors)
        print(verdict, file=self.out, flush=True)
        self.close_console()
        if not all_ended:
            self.out.flush()
            self.errors.flush()
            os._exit(code)  # a thread still blocked on the handler would keep the interpreter alive
        return code

    def _verdict(self, records: list[ActionRecord]) -> tuple[int, str, str]:
        """(exit code, run_ended outcome, the summary's last line)."""
        elapsed = max([r.end for r in records if r.end is not None] + [0.0])
        if self.interrupt is not None:
            name = self.interrupt.name if isinstance(self.interrupt, StopSignal) else "Ctrl-C"
            outcome = signal_outcome(self.interrupt)
            return exit_code(self.interrupt), outcome, f"run {outcome} by {name} after {elapsed:.2f} s"
        if self.stop_cause == "operator":
            return EXIT_INTERRUPTED, "interrupted", f"run stopped by the operator after {elapsed:.2f} s"
        if self.journal.error is not None:
            return EXIT_FAILED, "failed", f"run stopped after {elapsed:.2f} s: its journal could not be written"
        if any(r.outcome == "error" for r in records):
            return EXIT_FAILED, "failed", f"run failed after {elapsed:.2f} s"
        if not records:
            return EXIT_OK, "finished", "run finished: the script has no actions to run"
        if all(r.outcome in ("finished", "skipped") for r in records):
            return EXIT_OK, "finished", f"run finished in {elapsed:.2f} s"
        return EXIT_FAILED, "failed", "run ended with actions not run"

    def abandon(self, code: int, outcome: str, reason: str) -> None:
        """Cleans up after a run that ended before its modules started. A run folder that was announced
        keeps a journal that says why; one that was not is removed."""
        self.close_control()
        self.close_handler()
        if self._announced and (self.journal is None or self._journal_is_empty()):
            self._journal_start_only()
        if self.journal is not None:
            self.journal.write("run_ended", exit_code=code, outcome=outcome, reason=reason)
            self.journal.close()
            self.close_console()
        elif self.folder is not None:
            self.folder.remove_if_unused()  # no trace of a run that never was

    def _journal_is_empty(self) -> bool:
        """Whether the journal is open but its run_started is not written yet (a stop in between)."""
        try:
            return self.journal.path.stat().st_size == 0
        except OSError:
            return False

    def _journal_start_only(self) -> None:
        """The journal of a run that stopped before its handler was ready: what it was to run."""
        prepared = self.prepared
        try:
            if self.journal is None:
                self.journal = Journal(self.run_dir / JOURNAL_NAME)
            self.journal.write("run_started", format=FORMAT, script=str(prepared.script), cell=prepared.cell.source,
                               handler_settings=prepared.settings, handler=self.address or None,
                               started=time.strftime("%Y-%m-%dT%H:%M:%S%z"), pid=os.getpid(), modules=[],
                               interlocks=[])
        except OSError as error:
            print(f"warning: cannot write the journal {self.run_dir / JOURNAL_NAME}: {error.strerror}",
                  file=self.errors)
            self.journal = None


def run(args: Any, out: TextIO | None = None) -> int:
    """The `vemo run` command; returns its exit code."""
    the_run = Run(args, out or sys.stdout, sys.stderr)
    try:
        return _run(the_run)
    finally:
        if the_run.folder is not None:
            the_run.folder.release()


def _run(the_run: Run) -> int:
    with the_run.signals:
        try:
            the_run.start()
            if the_run.signals.lost() is not None:  # raised during the start and swallowed on its way
                raise StopSignal(the_run.signals.lost())
            the_run.signals.absorb()  # until the modules start, where one that came meanwhile stops them
        except BaseException as error:
            the_run.signals.absorb()
            interrupt = the_run.signals.interrupt_of(error)
            if interrupt is not None:
                code, outcome = exit_code(interrupt), signal_outcome(interrupt)
                del interrupt  # its traceback holds this frame: no cycle that outlives the run's objects
                the_run.abandon(code, outcome, "stopped before the run started")
                print("interrupted before the run started", file=sys.stderr)
                return code
            if not isinstance(error, RunError):
                raise
            the_run.abandon(error.exit_code, "failed", str(error))
            print("\n".join(printable(line) for line in f"error: {error}".split("\n")), file=sys.stderr)
            return error.exit_code
        try:
            all_ended = the_run.execute()
        finally:
            the_run.close_handler()
        return the_run.finish(all_ended)
