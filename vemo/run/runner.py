"""`vemo run`: runs a script on a cell through the handler (the embedded simulator by default), with live
progress, a run folder whose journal records every event as it happens, and one stop path for failures
and signals. This file orchestrates; preparing the run, the recorder, the progress views, the driver and
the run's state machine live in files of their own."""

from __future__ import annotations

import contextlib
import os
import queue
import sys
import threading
import time
from pathlib import Path
from typing import Any, TextIO

from vemo.run.control import RunControl
from vemo.run.controlsocket import ControlServer
from vemo.run.drive import ERROR_STATE_INDEX, RunContext
from vemo.run.feed import Feed, fed_module
from vemo.run.fold import RunFold
from vemo.run.interlocks import InterlockWatch
from vemo.run.journal import FORMAT, JOURNAL_NAME, Journal, JournalError
from vemo.run.keys import KeyReader
from vemo.run.outputs import (OUTPUTS, OutputPathError, check_output_paths, failure_line,
                              summary_lines, write_outputs)
from vemo.run.prepare import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, Prepared,  # noqa: F401
                              RunError, digest, prepare)
from vemo.run.progress import LiveProgress, PlainProgress
from vemo.run.recorder import Recorder
from vemo.run.report import fold_journal
from vemo.run.rundir import RunDir, RunDirError, claim_run_dir
from vemo.run.signals import StopSignal, StopSignals, exit_code, outcome as signal_outcome
from vemo.run.states import STOP_CAUSES, stop_cause
from vemo.run.timeline import ActionRecord
from vemo.run.watch import LOSS_NOTICED_WITHIN_SECONDS, HandlerWatch
from vemo.util.streams import OutputPump
from vemo.util.text import printable

# How long the end of a run waits for module threads once they are told to stop.
STOP_GRACE_SECONDS = 10.0
# How often the main thread looks at the module threads and redraws the progress.
TICK_SECONDS = 0.125


# --- the run ------------------------------------------------------------------------------------------

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
        self.progress_status: dict = {}  # `progress` and `remaining_s` of the status, drawn by the main thread
        self.context: RunContext | None = None
        self.recorder: Recorder | None = None
        self.feed: Feed | None = None  # the modules' actions, with the rounds of long loops made as they go
        self.ended_after_round = False  # the operator asked the run to end after the current round
        self.modules: list[tuple[str, Any]] = []
        self.threads: list[tuple[str, threading.Thread]] = []
        # The run's state as its journal's events tell it, for every view; live: a bounded number of records.
        self.fold = RunFold(live=True)
        self.events_seen: list[dict] = []  # the events the journal file could not take, once a write failed
        self.progress: PlainProgress | LiveProgress | None = None
        self.interrupt: KeyboardInterrupt | None = None  # the signal that stopped the run
        self.stop_cause: str | None = None
        self.console: Any = None  # the operator console's process, with --console
        self.bridges: list[Any] = []  # the plant bridges' processes, with --opcua and --mqtt
        self._halted = False  # whether the modules now running were told to stop
        self._events: queue.Queue = queue.Queue()
        self._ended_modules: set[str] = set()
        self.folder: RunDir | None = None
        self._announced = False  # whether the run folder has been printed: it stays from then on
        self.pump: OutputPump | None = None  # writes out and errors while the modules run

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
        self.journal.add_listener(self._keep_unwritten)
        compiled = prepared.compiled
        self.recorder = Recorder(compiled.plans, compiled.origin, self.journal,
                                 [spec.name for spec in prepared.cell.modules], loops=compiled.loops,
                                 totals={plan.name: compiled.total(plan) for plan in compiled.plans})
        self.feed = Feed(compiled, self.recorder.name_round) if compiled.loops else None
        cell = prepared.cell
        self.control = RunControl(journal=self.journal.write, stop_axis=self.client.motor_stop,
                                  set_input=self.simulator.set_input if self.simulator is not None else None,
                                  inputs={(spec.name, point): (spec.handler_id, pin)
                                          for spec in cell.modules for point, pin in spec.inputs.items()},
                                  interlocks=cell.interlocks, modules=lambda: self.module_status,
                                  progress=lambda: self.progress_status,
                                  end_after_round=self._end_after_round if self.feed is not None else None)
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
                           digests={str(path): digest(path) for path in (prepared.script, prepared.cell.source,
                                                                          prepared.settings)},
                           simulator=self.simulator is not None,
                           simulator_pid=self.simulator.process.pid if self.simulator is not None else None,
                           speed=self.context.time_factor,
                           retries=self.context.retries, on_error=getattr(args, "on_error", "stop"),
                           started=time.strftime("%Y-%m-%dT%H:%M:%S%z"), pid=os.getpid(),
                           modules=[{"name": name, "actions": count} for name, count in totals.items()],
                           interlocks=[{"name": i.name, "module": i.module, "input": i.input}
                                       for i in prepared.cell.interlocks],
                           estimate_s=None if prepared.estimate is None
                           else round(prepared.estimate / self.context.time_factor, 3))
        self.recorder.write_plan({number: None if seconds is None else round(seconds / self.context.time_factor, 3)
                                  for number, seconds in prepared.round_estimates.items()})
        try:
            self.control_server = ControlServer(self.run_dir, self.control)  # kept first: a stop closes it
            self.control_server.start()
        except OSError as error:
            raise RunError(f"cannot open the control socket {self.run_dir / 'control'}: "
                           f"{error.strerror or error}") from None
        if getattr(args, "console", None) is not None:
            self._start_console(*args.console)
        self._start_bridges(args)
        live = self.out.isatty() and not getattr(args, "plain", False)
        # From here on a terminal or pipe that takes nothing must not hold up the stops and views.
        self.pump = OutputPump(self.out, self.errors, notice=not live)
        self.out, self.errors = self.pump.out, self.pump.errors
        if live:
            keys = KeyReader(self.control) if sys.stdin.isatty() else None
            self.progress = LiveProgress(self.fold, self.out, self.journal.elapsed, self.control, keys)
        else:
            self.progress = PlainProgress(self.fold, self.out, self.journal.elapsed)
        count = "actions without end" if None in totals.values() else f"{sum(totals.values())} actions"
        print(f"running {printable(str(args.script))}: {count} on {len(totals)} modules "
              f"({', '.join(totals)}); control it with: vemo ctl {self.run_dir} COMMAND", file=self.out, flush=True)

    def _start_console(self, host: str, port: int) -> None:
        from vemo.run.sideprocess import SideProcess, SideStartError, listen_text

        self.console = SideProcess("console", self.run_dir, ["--listen", listen_text(host, port)], wait_exit=True,
                                   what="the console")
        try:
            url = self.console.start()["url"]
        except SideStartError as error:
            self.console = None
            raise RunError(str(error)) from None
        print(f"console: {url}", file=self.out, flush=True)

    def _start_bridges(self, args: Any) -> None:
        from vemo.run.plant.options import option_arguments
        from vemo.run.sideprocess import SideProcess, SideStartError, listen_text

        wanted = []
        if getattr(args, "opcua", None) is not None:
            wanted.append(SideProcess("opcua", self.run_dir, ["--listen", listen_text(*args.opcua), "--security",
                                                              args.opcua_security], wait_exit=True,
                                      what="the opcua bridge"))
        if getattr(args, "mqtt", None) is not None:
            host, port = args.mqtt
            broker = (f"[{host}]" if ":" in host else host) + (f":{port}" if port is not None else "")
            wanted.append(SideProcess("mqtt", self.run_dir, ["--broker", broker, *option_arguments(args, "mqtt-")],
                                      wait_exit=False, what="the mqtt bridge"))
        for bridge in wanted:
            try:
                ready = bridge.start()
            except SideStartError as error:
                raise RunError(str(error)) from None
            self.bridges.append(bridge)
            if bridge.kind == "opcua":
                print(f"opcua: {ready.get('url')}", file=self.out, flush=True)
            else:
                print(f"mqtt: publishing to {ready.get('broker')}", file=self.out, flush=True)

    def close_bridges(self) -> None:
        """Ends the plant bridges once they have passed on the end of the run (bounded)."""
        while self.bridges:
            self.bridges.pop().close()

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
                # A stop signal waits until all is started: each thread started here (the progress's, the
                # watches', the modules') is then kept where the stop ends it, none left running behind it.
                with self.signals.deferred():
                    if stack is not None:
                        stack.enter_context(self.progress)
                        stack.callback(self.keep_output)  # the table's last frame is kept whole
                    fed = self.feed is not None and plans is self.prepared.compiled.plans
                    for plan in plans:
                        plan.kind.run_context = self.context
                        module = fed_module(plan.kind, self.feed, plan.name) if fed and self.feed.feeds(plan.name) \
                            else plan.kind(plan.sequence)
                        self.modules.append((plan.name, module))
                    if stack is not None:
                        self.watch.start()
                        stack.callback(self.watch.stop)
                        stack.callback(self.interlocks.close)
                        self._start_interlocks()
                    for name, module in self.modules:
                        self.threads.append((name, module.async_run()))
                self._watch(self.progress)
            except KeyboardInterrupt as interrupt:
                # Kept without its traceback, whose frames hold this run: no cycle keeps the run's objects.
                interrupt.__context__ = None
                self.interrupt = interrupt.with_traceback(None)
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
            cause = stop_cause(self.stop_cause)
            stopped = self.interrupt is not None or (cause is not None and cause.interrupts)
            outcome = ("interrupted" if stopped else
                       "failed" if len(self.recorder.failed) > failures or not all_ended else "finished")
            self.journal.write("recovery_ended", block=recovery.name, outcome=outcome)
            self._pump(self.progress, 0.0)
            if outcome != "finished":
                break
        return all_ended

    def _end_stranded(self) -> None:
        """After a stop after the round, a module waiting on an action that an ended module left unrun would
        wait for ever: it is ended, as what follows the loop does not run."""
        if not self.ended_after_round:
            return
        ended = {name for name, thread in self.threads if not thread.is_alive()}
        stuck = set(self.feed.stranded(ended))
        for name, module in self.modules:
            if name in stuck and getattr(module, "feed", None) is self.feed:
                module.run_event.clear()  # ends its wait: execute_sequence returns without running the action

    def _end_after_round(self, by: dict | None) -> None:
        """The operator's stop after the current round: each loop ends after the round its furthest module
        has entered, and the run once its modules have finished that round."""
        self.ended_after_round = True
        for loop, last in self.feed.stop_after_round():
            self.journal.write("cycle_stop_requested", loop=loop, iteration=last, **({"by": by} if by else {}))

    def _start_interlocks(self) -> None:
        """Reads the interlocks before any module starts: one that is not safe holds the run at once."""
        self.interlocks.start()
        for name in self.control.tripped():
            interlock = next(i for i in self.prepared.cell.interlocks if i.name == name)
            print(f"interlock {name} is not safe ({interlock.module} {interlock.input}): the run waits until it is"
                  f"{'' if interlock.auto_resume else ', then for resume'}", file=self.out, flush=True)

    def _update_status(self) -> None:
        self.module_status = self.fold.status_modules()
        progress = self.fold.progress(self.journal.elapsed())
        self.progress_status = {key: progress[key] for key in ("progress", "remaining_s", "done", "total", "loop")}

    def _watch(self, progress: Any) -> None:
        """The main thread while the modules run: progress, modules that ended, the stop on a failure."""
        while self.running():
            if self.signals.lost() is not None:  # raised and swallowed on its way here: it stops the run all the same
                raise StopSignal(self.signals.lost())
            self._pump(progress, TICK_SECONDS)
            self._note_ended_modules()
            self._end_stranded()
            self._follow_loss()
            if (self.context.stopping.is_set() or self.journal.error is not None) and not self._halted:
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
            progress.event(event, self.fold.add(event))
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
        if cause == "signal":
            from vemo.run.who import by

            self.control.begin_stop(cause, by("signal", name=self.interrupt.name
                                              if isinstance(self.interrupt, StopSignal) else "Ctrl-C"))
        else:
            self.control.begin_stop("journal" if cause == "failure" and self.journal.error is not None else cause)
        self.context.stopping.set()
        for _, module in self.modules:
            module.run_event.clear()  # ends a failed module's parking and every wait for a dependency
        what = STOP_CAUSES[cause]
        if what.halts_motion and self.context.handler_lost is None:
            self.context.stop_motion()
        if what.ends_waits:
            self.client.cancel_waits()

    def _handler_lost(self, reason: str, silent_for: float) -> None:
        """The watch's report, on its thread: journal first, then the waits on the handler fail with the
        reason; the main thread takes the stop path when it sees the loss."""
        self.journal.write("handler_lost", address=self.address, reason=reason, silent_for=round(silent_for, 3))
        print(f"error: {reason}; stopping the run", file=self.errors, flush=True)
        self.context.lose_handler(reason)

    def _keep_unwritten(self, event: dict) -> None:
        """Keeps the events the journal file could not take (called as each is written)."""
        if self.journal.error is not None:
            self.events_seen.append(event)

    def _journal_failed(self, error: OSError) -> None:
        """A journal write failed (a full disk): the run stops as after a failure, since what it does
        would no longer be recorded. Called while the journal writes, so the main thread takes the stop
        path on its next look (a stop now would journal from within the journal)."""
        print(f"error: cannot write the journal {self.journal.path}: {error.strerror or error}; stopping the run",
              file=self.errors, flush=True)

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
            cause = stop_cause(self.stop_cause)
            if cause is not None and cause.ends_waits:
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

    def _folded_journal(self) -> RunFold:
        """The run folded in full from its journal file, one event at a time, and from the events the file
        could not take after a write failed."""
        warnings: list[str] = []
        try:
            fold = fold_journal(self.journal.path, warnings)
        except JournalError as error:
            print(f"warning: {error}", file=self.errors)
            fold = RunFold()
        if self.journal.error is None:
            for warning in warnings:
                print(f"warning: {warning}", file=self.errors)
        for event in self.events_seen:
            fold.add(event)
        return fold

    def finish(self, all_ended: bool) -> int:
        """Stops the handler, writes run_ended, the outputs and the summary; returns the exit code."""
        self.keep_output()
        self.close_control()
        self.close_handler()
        if self.prepared.compiled.loops and not self.outputs_requested():
            # A run of long loops is told from what the recorder counted, without a record per action.
            code, outcome, verdict = self._counted_verdict()
            self.journal.write("run_ended", exit_code=code, outcome=outcome)
            self.journal.close()
            for line in summary_lines(self.fold.records, {name: self.fold.module_state(name)
                                                          for name in self.fold.records.totals}):
                print(line, file=self.out)
            lines = [failure_line(ActionRecord(0, "", "", "", reason=reason, recovery=block))
                     for block, reason in self.recorder.failures]
        else:
            fold = self._folded_journal()
            records = fold.records.final()
            code, outcome, verdict = self._verdict(records)
            fold.add(self.journal.write("run_ended", exit_code=code, outcome=outcome))
            self.journal.close()
            write_outputs(records, self.outputs_requested(), f"vemo run {self.prepared.script.name}", self.out,
                          self.errors, fold.holds)
            for line in summary_lines(fold.records, {name: fold.module_state(name) for name in fold.records.totals}):
                print(line, file=self.out)
            lines = [failure_line(record) for record in records if record.outcome == "error"]
        self._print_end(all_ended, code, outcome, verdict, lines)
        return code

    def _print_end(self, all_ended: bool, code: int, outcome: str, verdict: str, failures: list[str]) -> None:
        if not all_ended:
            print("warning: a module thread did not stop in time; the process ends it", file=self.errors)
        if outcome == "failed":
            for line in failures:
                print(printable(line), file=self.errors)
        if self.out.isatty():
            from rich.console import Console
            from rich.text import Text

            # The end in a colour of its own on a terminal; the words tell it without the colour too.
            Console(file=self.out).print(Text(verdict, style="bold green" if outcome == "finished" else "bold red"))
            self.out.flush()
        else:
            print(verdict, file=self.out, flush=True)
        self.close_console()
        self.close_bridges()
        if not all_ended:
            self.out.flush()
            self.errors.flush()
            os._exit(code)  # a thread still blocked on the handler would keep the interpreter alive

    def _counted_verdict(self) -> tuple[int, str, str]:
        """(exit code, run_ended outcome, the summary's last line) from the counts of the recorder and the
        run's fold."""
        elapsed = self.recorder.last_end
        if self.interrupt is not None or self.stop_cause == "operator" or self.journal.error is not None:
            return self._verdict([ActionRecord(0, "", "", "", start=0.0, end=elapsed)])
        if self.recorder.failed:
            return EXIT_FAILED, "failed", f"run failed after {elapsed:.2f} s"
        if self.ended_after_round:
            return self._ended_as_asked(elapsed)
        settled = self.fold.records.settled  # finished or skipped, per module
        if all(settled.get(m, 0) == total for m, total in self.recorder.totals.items()):
            return EXIT_OK, "finished", f"run finished in {elapsed:.2f} s"
        return EXIT_FAILED, "failed", "run ended with actions not run"

    def _ended_as_asked(self, elapsed: float) -> tuple[int, str, str]:
        rounds = ", ".join(map(str, sorted({rounds.last_wanted for rounds in self.feed.loops})))
        return EXIT_OK, "finished", f"run finished after iteration {rounds} as asked, in {elapsed:.2f} s"

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
        if self.ended_after_round:
            return self._ended_as_asked(elapsed)
        if all(r.outcome in ("finished", "skipped") for r in records):
            return EXIT_OK, "finished", f"run finished in {elapsed:.2f} s"
        return EXIT_FAILED, "failed", "run ended with actions not run"

    def abandon(self, code: int, outcome: str, reason: str) -> None:
        """Cleans up after a run that ended before its modules started. A run folder that was announced
        keeps a journal that says why; one that was not is removed."""
        self.keep_output()
        self.close_control()
        self.close_handler()
        if self._announced and (self.journal is None or self._journal_is_empty()):
            self._journal_start_only()
        if self.journal is not None:
            self.journal.write("run_ended", exit_code=code, outcome=outcome, reason=reason)
            self.journal.close()
            self.close_console()
            self.close_bridges()
        elif self.folder is not None:
            self.folder.remove_if_unused()  # no trace of a run that never was

    def keep_output(self) -> None:
        """What is printed from here on is kept whole, however slowly the terminal takes it."""
        if self.pump is not None:
            self.pump.keep_all()

    def close_output(self) -> None:
        """Waits until the terminal has taken everything printed, as a plain print would have."""
        if self.pump is not None:
            self.pump.close()
            self.pump, self.out, self.errors = None, *self.pump.streams

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
                               handler_settings=prepared.settings, handler=self.address,
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
                    print("interrupted before the run started", file=the_run.errors)
                    return code
                if not isinstance(error, RunError):
                    raise
                the_run.abandon(error.exit_code, "failed", str(error))
                print("\n".join(printable(line) for line in f"error: {error}".split("\n")), file=the_run.errors)
                return error.exit_code
            try:
                all_ended = the_run.execute()
            finally:
                the_run.close_handler()
            return the_run.finish(all_ended)
        finally:
            the_run.close_output()  # within the signals' handlers: a stop now cannot break it
