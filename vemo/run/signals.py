"""The signals that stop a command: the first Ctrl-C, SIGTERM or SIGHUP stops it, later ones cannot break the stop,
and none changes the exit status once the command has its result."""

from __future__ import annotations

import contextlib
import signal
import sys
import threading
from typing import Any, Iterator

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class StopSignal(KeyboardInterrupt):
    """Raised in the main thread by the first stop signal. A KeyboardInterrupt, so that every wait that
    ends on Ctrl-C ends on SIGTERM and SIGHUP too."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum

    @property
    def name(self) -> str:
        return "Ctrl-C" if self.signum == signal.SIGINT else signal.Signals(self.signum).name


def exit_code(interrupt: KeyboardInterrupt) -> int:
    """128 plus the signal's number, as a shell reports a process ended by it: 130, 143 or 129."""
    return 128 + (interrupt.signum if isinstance(interrupt, StopSignal) else signal.SIGINT)


def outcome(interrupt: KeyboardInterrupt) -> str:
    """"interrupted" for the operator's Ctrl-C, "terminated" for SIGTERM and SIGHUP."""
    return "terminated" if isinstance(interrupt, StopSignal) and interrupt.signum != signal.SIGINT else "interrupted"


class StopSignals:
    """While entered, the stop signals raise StopSignal in the main thread until `absorb()` is called;
    after that they are counted and otherwise ignored, so that a second Ctrl-C cannot break the stop
    and the writing of the run's outputs. A signal ignored when the run began (a job started with
    nohup, or in the background by a non-interactive shell) stays ignored. Outside the main thread,
    where Python delivers no signals, this does nothing.

    Entered inside another StopSignals (the command line's, installed before anything else), the inner
    one hands its state back on exit: once the inner has absorbed the signals, so does the outer, so a
    signal after the result is known cannot change it. A signal that the outer one raised and that
    something swallowed (a native loader) is raised again on entering the inner one."""

    def __init__(self) -> None:
        self._previous: dict[int, Any] = {}
        self._armed = True
        self.absorbed: list[int] = []
        self.received: list[int] = []  # every stop signal that arrived, raised or absorbed
        self._raised: int | None = None  # the signal raised since the last absorb() or rearm()

    def __enter__(self) -> StopSignals:
        if threading.current_thread() is threading.main_thread():
            outer = next(filter(None, (_owner(signal.getsignal(signum)) for signum in STOP_SIGNALS)), None)
            if outer is not None and outer.lost() is not None:
                raise StopSignal(outer.lost())  # raised before, and lost on its way out
            for signum in STOP_SIGNALS:
                previous = signal.getsignal(signum)
                if previous != signal.SIG_IGN:
                    self._previous[signum] = previous
                    signal.signal(signum, self._received)
        return self

    def __exit__(self, *exc: Any) -> None:
        for signum, previous in self._previous.items():
            outer = _owner(previous)
            if outer is not None and not self._armed:
                outer.absorb()
            signal.signal(signum, previous if previous is not None else signal.SIG_DFL)
        self._previous.clear()

    def absorb(self) -> None:
        """From now on the stop signals no longer raise."""
        self._armed = False
        self._raised = None

    def ignore(self) -> None:
        """For the rest of the process: the stop signals that were not ignored already are ignored outright.
        For a process about to exit with its result: the interpreter resets its own handlers to the
        defaults as it shuts down, which would let a late signal kill it with another status."""
        self._armed = False
        for signum in self._previous:
            signal.signal(signum, signal.SIG_IGN)
        self._previous.clear()

    def rearm(self) -> None:
        """The next stop signal raises again: for a further stage of the run that a signal must be able
        to stop (the except blocks that run after a failure). Signals absorbed so far stay counted."""
        self._armed = True
        self._raised = None

    @contextlib.contextmanager
    def deferred(self) -> Iterator[None]:
        """A stretch that a stop must not cut in two (a thread started and not yet kept where the stop
        waits for it): a stop signal that arrives inside is raised as it ends, when the signals raised on
        entering it; an exception from inside goes on as it is."""
        armed, before = self._armed, len(self.absorbed)
        self._armed = False
        try:
            yield
        finally:
            self._armed = armed
        if armed and len(self.absorbed) > before:
            self._armed = False
            self._raised = self.absorbed[-1]
            raise StopSignal(self.absorbed[-1])

    def lost(self) -> int | None:
        """The stop signal that was raised and never reached the code that waits for it: swallowed by a
        native loader that catches every error, or raised inside a __del__ or a callback of the garbage
        collector, where Python reports it and goes on. None when there is none. Asked where a raised
        signal would have unwound the caller already, so that one there was lost."""
        return self._raised

    def interrupt_of(self, error: BaseException) -> KeyboardInterrupt | None:
        """The stop that `error` stands for: the error itself when it is one, else the signal received
        meanwhile, which a native loader reports as ImportError and a swallowed one as what follows."""
        if isinstance(error, KeyboardInterrupt):
            return error
        return StopSignal(self.received[0]) if self.received else None

    def _received(self, signum: int, frame: Any) -> None:
        self.received.append(signum)
        if self._armed:
            self._armed = False
            self._raised = signum
            raise StopSignal(signum)
        self.absorbed.append(signum)


def quiet_lost_stops() -> None:
    """A StopSignal raised where Python cannot pass it on (a __del__, a callback of the garbage collector) is
    printed as "Exception ignored in ..." with its traceback; StopSignals.lost() keeps it, and the command
    ends by it, so it is not printed. Any other such error still is."""
    previous = sys.unraisablehook

    def hook(unraisable: Any) -> None:
        if not isinstance(unraisable.exc_value, StopSignal):
            previous(unraisable)

    sys.unraisablehook = hook


def _owner(handler: Any) -> StopSignals | None:
    """The StopSignals whose handler `handler` is, if it is one."""
    owner = getattr(handler, "__self__", None)
    return owner if isinstance(owner, StopSignals) else None
