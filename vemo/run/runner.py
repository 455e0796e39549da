"""`vemo run`: runs a script on a cell through the handler (the embedded simulator by default), with live progress."""

from __future__ import annotations

import itertools
import re
import os
import queue
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable, TextIO

from vemo.cell import Cell, CellError, load_cell
from vemo.run.drive import RunContext, check_cell, read_handler_modules
from vemo.host import RUNTIME_NAMES, HostError, install
from vemo.inputfile import MAX_SCRIPT_BYTES, InputFileError, read_input
from vemo.scriptbounds import MAX_ACTIONS
from vemo.text import printable
from vemo.run.timeline import ActionRecord, write_chrome_trace, write_html, write_records

EXIT_OK, EXIT_FAILED, EXIT_INTERRUPTED = 0, 1, 130
# How long the end of a run waits for module threads once they are told to stop.
STOP_GRACE_SECONDS = 10.0


class RunError(Exception):
    """The run cannot start: bad input files, a script that does not compile, no handler."""


def _describe(action: Any) -> str:
    describe = getattr(action, "describe", None)
    return describe() if describe is not None else str(action)


def _short(text: str) -> str:
    """What an action does without its verb and module: "to pick", "vacuum on", "home()"."""
    return re.sub(r"^\w+ @\w+[ .]?", "", text) or text


class Recorder:
    """Numbers every action of the plans and records, as the module threads report them, when each
    started and ended, how it ended, and in which order starts and ends happened (one counter for both,
    so the order of events across modules is exact, not a matter of clock resolution)."""

    def __init__(self, plans: list, origin: Callable[[Any], str | None]) -> None:
        self.records: list[ActionRecord] = []
        self._by_action: dict[int, ActionRecord] = {}
        self._module_of: dict[int, str] = {}
        by_signal: dict[int, ActionRecord] = {}
        self.totals: dict[str, int] = {}
        number = itertools.count(1)
        for plan in plans:
            self.totals[plan.name] = len(plan.actions())
            for lane, actions in plan.lanes.items():
                for action in actions:
                    text = _describe(action)
                    record = ActionRecord(next(number), plan.name, type(action).__name__, _short(text),
                                          origin=origin(action), lane=None if lane is None else str(lane), text=text)
                    self.records.append(record)
                    self._by_action[id(action)] = record
                    by_signal[id(action.finish_signal)] = record
        for plan in plans:
            for action in plan.actions():
                record = self._by_action[id(action)]
                record.waits_on = [self._by_action[id(d)].number for d in action.dependency if id(d) in self._by_action]
                if action.script_dep is not None and id(action.script_dep) in by_signal:
                    record.after = by_signal[id(action.script_dep)].number
        self.events: queue.Queue = queue.Queue()
        self._sequence = itertools.count(1)
        self._lock = threading.Lock()
        self.t0 = time.monotonic()
        self.current: dict[str, ActionRecord | None] = {name: None for name in self.totals}
        self.done: dict[str, int] = {name: 0 for name in self.totals}
        self.finished_at: dict[str, float] = {}

    def start_clock(self) -> None:
        self.t0 = time.monotonic()

    def elapsed(self) -> float:
        return time.monotonic() - self.t0

    def on_start(self, action: Any) -> None:
        record = self._by_action.get(id(action))
        if record is None:
            return
        with self._lock:
            record.start, record.start_seq = self.elapsed(), next(self._sequence)
            record.outcome = "running"
            self.current[record.module] = record
        self.events.put(("start", record))

    def on_end(self, action: Any, outcome: str, reason: str | None) -> None:
        record = self._by_action.get(id(action))
        if record is None:
            return
        with self._lock:
            record.outcome, record.reason = outcome, reason
            if record.start is not None:
                record.end, record.end_seq = self.elapsed(), next(self._sequence)
                self.done[record.module] += outcome == "finished"
            if self.current.get(record.module) is record:
                self.current[record.module] = None
        self.events.put(("end", record))

    def module_ended(self, name: str) -> None:
        self.finished_at.setdefault(name, self.elapsed())

    def finalise(self) -> None:
        """Marks when each action could first have started: the end of its module's previous action."""
        for module in self.totals:
            ran = sorted((r for r in self.records if r.module == module and r.start_seq), key=lambda r: r.start_seq)
            previous_end = 0.0
            for record in ran:
                record.ready = previous_end
                previous_end = record.end if record.end is not None else record.start

    def failures(self) -> list[ActionRecord]:
        return [r for r in self.records if r.outcome == "error"]


class PlainProgress:
    """One line per action start and failure, for logs and pipes."""

    def __init__(self, recorder: Recorder, out: TextIO) -> None:
        self.recorder, self.out = recorder, out
        self.width = max((len(name) for name in recorder.totals), default=0)

    def __enter__(self) -> PlainProgress:
        return self

    def __exit__(self, *exc: Any) -> None:
        pass

    def event(self, kind: str, record: ActionRecord) -> None:
        r = self.recorder
        if kind == "start":
            count = sum(1 for x in r.records if x.module == record.module and x.start_seq)
            print(f"{record.start:8.3f} s  {record.module:<{self.width}}  [{count}/{r.totals[record.module]}] "
                  f"{printable(record.text)}", file=self.out, flush=True)
        elif record.outcome in ("error", "interrupted"):
            print(f"{record.end if record.end is not None else r.elapsed():8.3f} s  {record.module:<{self.width}}  "
                  f"{record.outcome.upper()}: {printable(record.text)}", file=self.out, flush=True)

    def refresh(self) -> None:
        pass


class LiveProgress:
    """A table with one row per module (current action, done/total, elapsed), redrawn while the run goes."""

    def __init__(self, recorder: Recorder, out: TextIO) -> None:
        from rich.console import Console
        from rich.live import Live

        self.recorder = recorder
        self.live = Live(self._table(), console=Console(file=out), refresh_per_second=8, transient=False)

    def __enter__(self) -> LiveProgress:
        self.live.__enter__()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.live.update(self._table())
        self.live.__exit__(*exc)

    def event(self, kind: str, record: ActionRecord) -> None:
        pass

    def refresh(self) -> None:
        self.live.update(self._table())

    def _table(self) -> Any:
        from rich.table import Table
        from rich.text import Text

        r = self.recorder
        table = Table(title=f"vemo run  {r.elapsed():.1f} s", title_justify="left")
        for column in ("module", "state", "current action", "done", "elapsed"):
            table.add_column(column, justify="right" if column in ("done", "elapsed") else "left")
        for module, total in r.totals.items():
            current = r.current.get(module)
            failed = any(x.outcome == "error" for x in r.records if x.module == module)
            if failed:
                state = "[red]failed"
            elif module in r.finished_at:
                state = "[green]done" if r.done[module] == total else "[yellow]stopped"
            elif current is not None:
                state = "[cyan]running"
            else:
                state = "waiting"
            elapsed = r.finished_at.get(module, r.elapsed())
            # Text, not a string: rich would read square brackets in the script's text as markup.
            table.add_row(module, state, Text(printable(current.text)) if current is not None else "",
                          f"{r.done[module]}/{total}", f"{elapsed:.1f} s")
        return table


def _settings_path(args: Any, cell: Cell) -> str:
    path = args.handler_settings or cell.handler_settings
    if path is None:
        raise RunError(f"{cell.source}: the cell names no handler settings file: add handler_settings: FILE to it "
                       f"or pass --handler-settings FILE")
    if not os.path.isfile(path):
        raise RunError(f"handler settings file not found: {path}")
    return path


def prepare(args: Any) -> tuple[Any, Cell, str]:
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
    return result.compiled, cell, settings


def _wait_for_threads(threads: list[threading.Thread], seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    for thread in threads:
        thread.join(max(deadline - time.monotonic(), 0.0))
    return not any(thread.is_alive() for thread in threads)


def execute(compiled: Any, context: RunContext, recorder: Recorder, progress: Any) -> tuple[bool, bool]:
    """Runs every module's plan on its own thread until all have ended. Returns (interrupted, all threads
    ended). A failed action stops every module; Ctrl-C stops them and the axes in motion."""
    modules = []
    for plan in compiled.plans:
        plan.kind.run_context = context
        modules.append((plan.name, plan.kind(plan.sequence)))
    interrupted = False
    threads: list[tuple[str, threading.Thread]] = []

    def stop_modules() -> None:
        context.stopping.set()
        for _, module in modules:
            module.run_event.clear()  # ends a failed module's parking and every wait for a dependency

    def running() -> bool:
        return any(thread.is_alive() for _, thread in threads)

    try:
        recorder.start_clock()
        threads = [(name, module.async_run()) for name, module in modules]
        with progress:
            while running():
                try:
                    progress.event(*recorder.events.get(timeout=0.125))
                except queue.Empty:
                    pass
                for name, thread in threads:
                    if not thread.is_alive():
                        recorder.module_ended(name)
                if context.stopping.is_set():
                    stop_modules()  # an action failed: the others stop after their current action
                progress.refresh()
            for name, _ in threads:
                recorder.module_ended(name)
    except KeyboardInterrupt:
        interrupted = True
        stop_modules()
        try:
            context.stop_motion()
        except KeyboardInterrupt:
            pass
    finally:
        if running():
            stop_modules()
        try:
            all_ended = _wait_for_threads([thread for _, thread in threads], STOP_GRACE_SECONDS)
        except KeyboardInterrupt:
            interrupted = True
            all_ended = not running()
        for plan in compiled.plans:
            plan.kind.run_context = None
        while not recorder.events.empty():
            progress.event(*recorder.events.get())
    return interrupted, all_ended


def run(args: Any, out: TextIO | None = None) -> int:
    """The `vemo run` command; returns its exit code."""
    out = out or sys.stdout
    simulator = None
    try:
        compiled, cell, settings = prepare(args)
        if not compiled.plans:
            print(f"nothing to run: main of {printable(str(args.script))} makes no actions", file=out, flush=True)
            return EXIT_OK
        if args.server is None:
            from vemo.run.simulator import Simulator, SimulatorError

            try:
                simulator = Simulator(settings, address=getattr(args, "sim_address", None),
                                      time_scale=args.speed).start()
            except SimulatorError as error:
                raise RunError(str(error)) from None
            address = simulator.address
            print(f"handler: embedded simulator on {address} (pid {simulator.process.pid}, "
                  f"time scale {args.speed:g})", file=out, flush=True)
        else:
            address = args.server
            print(f"handler: server at {address}", file=out, flush=True)
        import kinra_client

        client = kinra_client.KinraClient(settings, server_address=address)
        recorder = Recorder(compiled.plans, compiled.origin)
        context = RunContext(client, time_factor=args.speed if simulator is not None else 1.0,
                             on_start=recorder.on_start, on_end=recorder.on_end)
        total = sum(recorder.totals.values())
        print(f"running {printable(str(args.script))}: {total} actions on {len(recorder.totals)} modules "
              f"({', '.join(recorder.totals)})", file=out, flush=True)
        live = out.isatty() and not getattr(args, "plain", False)
        progress = LiveProgress(recorder, out) if live else PlainProgress(recorder, out)
        interrupted, all_ended = execute(compiled, context, recorder, progress)
    except RunError as error:
        print("\n".join(printable(line) for line in f"error: {error}".split("\n")), file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("interrupted before the run started", file=sys.stderr)
        return EXIT_INTERRUPTED
    finally:
        if simulator is not None:
            simulator.stop()
    recorder.finalise()
    _write_outputs(args, recorder, out)
    return _summary(recorder, interrupted, all_ended, out)


def _write_outputs(args: Any, recorder: Recorder, out: TextIO) -> None:
    title = f"vemo run {Path(args.script).name}"
    for option, writer in (("timeline", lambda path: write_html(recorder.records, path, title)),
                           ("trace", lambda path: write_chrome_trace(recorder.records, path)),
                           ("record", lambda path: write_records(recorder.records, path))):
        path = getattr(args, option, None)
        if path:
            try:
                Path(path).parent.mkdir(parents=True, exist_ok=True)
                writer(path)
            except OSError as error:
                print(f"warning: cannot write {path}: {error.strerror}", file=sys.stderr)
                continue
            print(f"{option} written to {path}", file=out)


def _summary(recorder: Recorder, interrupted: bool, all_ended: bool, out: TextIO) -> int:
    elapsed = max([r.end for r in recorder.records if r.end is not None] + [0.0])
    for module, total in recorder.totals.items():
        print(f"  {module}: {recorder.done[module]}/{total} actions finished", file=out)
    if not all_ended:
        print("warning: a module thread did not stop in time; the process ends it", file=sys.stderr)
    failures = recorder.failures()
    if interrupted:
        print(f"run interrupted by Ctrl-C after {elapsed:.2f} s", file=out, flush=True)
        code = EXIT_INTERRUPTED
    elif failures:
        for record in failures:
            print(printable(f"FAILED: {record.reason}"), file=sys.stderr)
        print(f"run failed after {elapsed:.2f} s", file=out, flush=True)
        code = EXIT_FAILED
    elif all(recorder.done[m] == t for m, t in recorder.totals.items()):
        print(f"run finished in {elapsed:.2f} s", file=out, flush=True)
        code = EXIT_OK
    else:
        print("run ended with actions not run", file=out, flush=True)
        code = EXIT_FAILED
    if not all_ended:
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(code)  # a thread still blocked on the handler would keep the interpreter alive
    return code
