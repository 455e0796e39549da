"""Stop signals at random moments of a run's start and end: the exit status is always the one the journal
tells, and a start-up that a signal ends says so in one line."""

import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from runsupport import EXAMPLES, child_env, vemo_command
from vemo.run.journal import JournalError, read_journal
from vemo.run.signals import StopSignal, StopSignals, quiet_lost_stops

SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# How many runs are under way at once, and how many each test starts in all (a few seconds on two cores).
AT_ONCE, TRIES = 3, 9
# A start-up (compile, simulator, handler client, journal) takes about this long; signals land within it.
START_SECONDS = 0.6
# The window after run_ended in which a signal used to kill the process before it exited.
END_SECONDS = 0.06


def _default_stop_signals():
    """In the child before exec: the stop signals at their defaults, also when this suite runs with one
    ignored (nohup), since a run rightly keeps a signal that was ignored when it began."""
    for signum in SIGNALS:
        signal.signal(signum, signal.SIG_DFL)


def _caught(pid, signum):
    """Whether process `pid` has a handler for `signum` (its SigCgt mask in /proc)."""
    try:
        status = Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return False
    mask = next(int(line.split()[1], 16) for line in status.splitlines() if line.startswith("SigCgt:"))
    return bool(mask >> (signum - 1) & 1)


def _journal(run_dir):
    """The events of the run's journal so far; none while there is no journal yet."""
    try:
        return read_journal(Path(run_dir) / "journal.jsonl")[0]
    except JournalError:
        return []


def _wait(predicate, timeout=30.0, step=0.002):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out")
        time.sleep(step)


def _start(run_dir):
    Path("job.vemo").write_text("main = { move @XAxis to pick  move @XAxis to place }\n")
    return subprocess.Popen(vemo_command("run", "job.vemo", "--cell", EXAMPLES / "cell.yaml", "--speed", "20",
                                         "--run-dir", run_dir, "--plain"),
                            env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=_default_stop_signals)


def _check(process, run_dir, signum, seed):
    out, err = process.communicate(timeout=60)
    where = f"(seed {seed}, {signal.Signals(signum).name})\n{out}{err}"
    assert "Traceback" not in err and "Error" not in err and "Filed to load" not in err, where
    assert "leaked" not in err, where  # nothing of the run outlives it into the interpreter's teardown
    assert process.returncode in (0, 128 + signum), where
    events = _journal(run_dir)
    if "run folder:" in out:  # an announced folder tells how the run ended
        assert events and events[-1]["event"] == "run_ended", where
    if events and events[-1]["event"] == "run_ended":
        assert process.returncode == events[-1]["exit_code"], where
    if process.returncode != 0 and not any(e["event"] == "action_started" for e in events):
        assert len(err.strip().splitlines()) == 1, where  # stopped in its start: one line


@pytest.mark.timeout(120)
@pytest.mark.parametrize("moment", ["start", "end"])
def test_a_stop_signal_at_a_random_moment_of_the_start_or_end_gives_the_journals_exit_status(moment, tmp_path):
    seed = random.randrange(1 << 30)
    rng = random.Random(seed)
    for batch in range(TRIES // AT_ONCE):
        runs = []
        for n in range(AT_ONCE):
            run_dir = tmp_path / f"run{batch}-{n}"
            runs.append((_start(run_dir), run_dir, rng.choice(SIGNALS)))
        for process, run_dir, signum in runs:
            if moment == "start":
                _wait(lambda: _caught(process.pid, signal.SIGTERM) or process.poll() is not None)
                time.sleep(rng.uniform(0, START_SECONDS))
            else:
                _wait(lambda: any(e["event"] == "run_ended" for e in _journal(run_dir)) or process.poll() is not None)
                time.sleep(rng.uniform(0, END_SECONDS))
            if process.poll() is None:
                process.send_signal(signum)
        for process, run_dir, signum in runs:
            _check(process, run_dir, signum, seed)


@pytest.fixture
def sigterm_at_default():
    previous = signal.signal(signal.SIGTERM, signal.SIG_DFL)
    yield
    signal.signal(signal.SIGTERM, previous)


def _deliver(signum):
    """Sends `signum` to this process and lets its Python handler run."""
    os.kill(os.getpid(), signum)
    for _ in range(100):  # the handler runs between two bytecodes of the main thread
        time.sleep(0.001)


def test_once_the_inner_signals_absorb_the_outer_ones_do_and_the_process_ends_ignoring_them(sigterm_at_default):
    outer = StopSignals()
    with outer:
        with StopSignals() as inner:
            inner.absorb()
        _deliver(signal.SIGTERM)  # between the run's end and the process's: changes nothing
        assert outer.absorbed == [signal.SIGTERM]
        outer.ignore()
        assert signal.getsignal(signal.SIGTERM) == signal.SIG_IGN
    assert signal.getsignal(signal.SIGTERM) == signal.SIG_IGN


def test_a_stop_that_was_swallowed_or_turned_into_import_error_still_stops(sigterm_at_default):
    with StopSignals() as outer:
        try:
            _deliver(signal.SIGTERM)
        except StopSignal:
            pass  # what a loader that catches every error does
        with pytest.raises(StopSignal) as raised:
            with StopSignals():
                pass
        assert raised.value.signum == signal.SIGTERM
        interrupt = outer.interrupt_of(ImportError("Encountered an error while initializing the extension."))
        assert isinstance(interrupt, StopSignal) and interrupt.signum == signal.SIGTERM
    assert StopSignals().interrupt_of(ImportError("missing")) is None


def test_a_stop_inside_a_deferred_stretch_is_raised_at_its_end_and_only_when_signals_raised(sigterm_at_default):
    done = []
    with StopSignals() as signals:
        with pytest.raises(StopSignal) as raised:
            with signals.deferred():
                _deliver(signal.SIGTERM)
                done.append("after the signal")  # the stretch is not cut in two
        assert raised.value.signum == signal.SIGTERM and done == ["after the signal"]
        signals.rearm()
        with signals.deferred():
            pass  # no signal inside: nothing raised
        signals.absorb()
        with signals.deferred():
            _deliver(signal.SIGTERM)  # absorbed before: stays absorbed
        assert signals.absorbed == [signal.SIGTERM, signal.SIGTERM]


def test_a_stop_raised_inside_a_finalizer_is_kept_and_not_printed(sigterm_at_default, monkeypatch, capsys):
    class Finalized:
        def __del__(self):
            _deliver(signal.SIGTERM)

    monkeypatch.setattr(sys, "unraisablehook", sys.unraisablehook)
    quiet_lost_stops()
    with StopSignals() as signals:
        Finalized()  # dropped at once: the signal is raised inside its __del__, where Python cannot pass it on
        assert signals.lost() == signal.SIGTERM
        signals.absorb()
        assert signals.lost() is None
    assert "Exception ignored" not in capsys.readouterr().err
