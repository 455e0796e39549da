"""The run's standard streams: through the pump, a stream that takes nothing holds up no writer, what it
cannot queue is dropped a whole line at a time and told once the stream takes output again, and what must
be seen is kept; a stream whose reader went away takes every later write without a word."""

import io
import os
import sys
import threading
import time

import pytest

from vemo.util import streams
from vemo.util.streams import OutputPump

pytestmark = pytest.mark.timeout(30)


class HeldStream:
    """A terminal held with Ctrl-S while `taking` is clear: a write waits for it (`entered` tells that one
    has begun), then lands in `log`."""

    def __init__(self, log, name):
        self.log, self.name, self.taking, self.entered = log, name, threading.Event(), threading.Event()

    def write(self, text):
        self.entered.set()
        assert self.taking.wait(10)
        self.log.append((self.name, text))

    def flush(self):
        pass

    def isatty(self):
        return self.name == "out"


def _lines(log, name):
    return "".join(text for stream, text in log if stream == name).splitlines()


def _until(condition, what):
    deadline = time.monotonic() + 10
    while not condition():
        assert time.monotonic() < deadline, what()
        time.sleep(0.01)


TOLD = "lines of output were not shown: the output did not take them in time)"


@pytest.mark.parametrize("notice, keep", [(True, False), (False, False), (True, True)])
def test_a_held_stream_blocks_no_writer_and_drops_whole_lines_beyond_the_bound(monkeypatch, notice, keep):
    monkeypatch.setattr(streams, "MAX_PENDING_CHARS", 100)
    log, expected = [], []
    out, errors = HeldStream(log, "out"), HeldStream(log, "err")
    errors.taking.set()
    pump = OutputPump(out, errors, notice=notice)
    if keep:
        pump.keep_all()
    assert pump.out.isatty() and not pump.errors.isatty()
    # The terminal is held, then takes output, three times: the bound is free again each time. The third
    # time the held write fills the bound alone, so that nothing waits in the queue behind it.
    for cycle, first in enumerate(["abc", "abc", "a" * 96]):
        out.taking.clear(), out.entered.clear()
        print(first, file=pump.out)
        assert out.entered.wait(10)  # the pump's thread waits in the held write of this line
        if cycle < 2:
            print("warning", file=pump.errors)  # 4 + 8 characters
        lines = [f"c{cycle} ln{n:02d}" for n in range(20)]  # 8 characters each: the 11th fills the bound
        for line in lines:
            print(line, file=pump.out)
        pump.out.write("x\ny\n")  # two lines in one write, dropped together
        kept = 11 if cycle < 2 else 0
        expected += [first, *lines, "x", "y"] if keep else [first, *lines[:kept]] + [f"({22 - kept} {TOLD}"] * notice
        out.taking.set()
        _until(lambda: _lines(log, "out") == expected, lambda: log)
    pump.close()
    assert _lines(log, "out") == expected and _lines(log, "err") == ["warning"] * 2


def test_a_flush_sends_an_unfinished_line_at_once_as_a_live_tables_frame_needs():
    log = []
    out = HeldStream(log, "out")
    out.taking.set()
    pump = OutputPump(out, HeldStream(log, "err"), notice=False)
    pump.out.write("fra")
    pump.out.write("me")
    pump.out.flush()
    _until(lambda: log == [("out", "frame")], lambda: log)
    print("next", file=pump.out)
    pump.close()
    assert log == [("out", "frame"), ("out", "next\n")]


def test_a_stream_that_is_gone_loses_what_it_would_show_and_the_writers_go_on():
    class Gone:
        def write(self, text):
            raise OSError(5, "Input/output error")

        def flush(self):
            pass

    pump = OutputPump(Gone(), Gone(), notice=True)
    for n in range(1000):
        print(n, file=pump.out)
    pump.close()


@pytest.mark.parametrize("gone_at", ["write", "flush"])
def test_a_reader_that_went_away_points_the_stream_at_dev_null_and_later_writes_pass(gone_at):
    from vemo.util.streams import ReaderProofStream

    read_end, write_end = os.pipe()
    raw = os.fdopen(write_end, "w", buffering=1 if gone_at == "write" else 1 << 16)
    stream = ReaderProofStream(raw)
    stream.write("taken\n")
    stream.flush()
    assert os.read(read_end, 100) == b"taken\n" and not stream.reader_gone
    os.close(read_end)  # as `| head` does once it has its lines
    assert stream.write("lost\n") == 5
    stream.flush()
    assert stream.reader_gone and os.path.samestat(os.fstat(write_end), os.stat(os.devnull))
    assert stream.write("after\n") == 6 and stream.fileno() == write_end
    stream.flush()
    raw.close()


@pytest.mark.parametrize("stderr", [None, "a stream"])
def test_the_standard_streams_are_guarded_once_each(monkeypatch, stderr):
    from vemo.util.streams import ReaderProofStream, guard_standard_streams

    monkeypatch.setattr(sys, "stdout", io.StringIO())
    monkeypatch.setattr(sys, "stderr", io.StringIO() if stderr else None)
    guard_standard_streams()
    guarded = sys.stdout, sys.stderr
    guard_standard_streams()
    assert (sys.stdout, sys.stderr) == guarded and isinstance(sys.stdout, ReaderProofStream)
    assert isinstance(sys.stderr, ReaderProofStream) if stderr else sys.stderr is None
    print("kept", file=sys.stdout)
    assert sys.stdout.getvalue() == "kept\n"
