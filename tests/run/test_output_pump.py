"""The output pump: a stream that takes nothing holds up no writer, what it cannot queue is dropped a whole
line at a time and told once the stream takes output again, and what must be seen is kept."""

import threading

import pytest

from vemo.util import streams
from vemo.util.streams import OutputPump

pytestmark = pytest.mark.timeout(30)


class HeldStream:
    """A terminal held with Ctrl-S until `release`: each write waits for it, then lands in `log`."""

    def __init__(self, log, name):
        self.log, self.name, self.taking = log, name, threading.Event()

    def write(self, text):
        assert self.taking.wait(10)
        self.log.append((self.name, text))

    def flush(self):
        pass

    def isatty(self):
        return self.name == "out"


@pytest.mark.parametrize("notice, keep", [(True, False), (False, False), (True, True)])
def test_a_held_stream_blocks_no_writer_and_drops_whole_lines_beyond_the_bound(monkeypatch, notice, keep):
    monkeypatch.setattr(streams, "MAX_PENDING_CHARS", 100)
    log = []
    out, errors = HeldStream(log, "out"), HeldStream(log, "err")
    pump = OutputPump(out, errors, notice=notice)
    if keep:
        pump.keep_all()
    print("first", file=pump.out)  # taken by the pump's thread, which then waits in the held write
    print("warning: late", file=pump.errors)
    for n in range(30):
        print(f"line {n:02d}", file=pump.out)  # 8 characters each
    pump.out.write("frame without end")
    pump.out.flush()
    assert pump.out.isatty() and not pump.errors.isatty()
    out.taking.set(), errors.taking.set()
    pump.close()
    text = "".join(t for _, t in log)
    shown = [line for line in text.splitlines() if line.startswith("line")]
    assert "first\n" in text and "warning: late\n" in text and text.index("first") < text.index("warning: late")
    assert all(len(line) == 7 for line in shown) and shown == sorted(shown)  # whole lines, in order
    if keep:
        assert len(shown) == 30 and "frame without end" in text and "not shown" not in text
        return
    dropped = 30 - len(shown) + ("frame without end" not in text)
    assert 0 < len(shown) < 30 and dropped > 1
    told = f"({dropped} lines of output were not shown: the output did not take them in time)\n"
    assert (told in text) is notice and (not notice or text.endswith(told))


def test_a_stream_that_is_gone_loses_what_it_would_show_and_the_writers_go_on():
    class Gone:
        def write(self, text):
            raise OSError(5, "Input/output error")

        def flush(self):
            pass

    pump = OutputPump(Gone(), Gone())
    for n in range(1000):
        print(n, file=pump.out)
    pump.close()
