"""The run journal on its own: what the writer puts on disk, and what the reader accepts or refuses."""

import json
import os
import threading
from pathlib import Path

import pytest

import vemo.run.journal as journal_module
from vemo.run.journal import MAX_LINE_BYTES, Journal, JournalError, follow, read_journal


def _journal(tmp_path, *events):
    path = tmp_path / "journal.jsonl"
    with Journal(path) as journal:
        journal.write("run_started", format=1, script="s.vemo")
        for event in events:
            journal.write(event, module="XAxis", index=1)
    return path


START = b'{"event": "run_started", "t": 0, "format": 1}\n'


def _padded(size):
    """A journal line of exactly `size` bytes with its newline."""
    head, tail = b'{"event": "action_started", "t": 1, "pad": "', b'"}\n'
    return head + b"a" * (size - len(head) - len(tail)) + tail


def test_each_event_is_a_whole_line_on_disk_before_write_returns(tmp_path):
    path = tmp_path / "journal.jsonl"
    seen = []
    with Journal(path) as journal:
        journal.add_listener(lambda entry: seen.append(path.read_bytes().count(b"\n")))
        journal.write("run_started", format=1)
        written = journal.write("action_started", module="XAxis", index=1, text="move @XAxis to pick")
        assert path.read_bytes().splitlines()[-1] == json.dumps(written).encode()
    assert seen == [1, 2]
    assert list(written)[:2] == ["event", "t"]


def test_lines_from_many_threads_stay_whole_and_in_time_order(tmp_path):
    path = tmp_path / "journal.jsonl"
    with Journal(path) as journal:
        journal.write("run_started", format=1)
        threads = [threading.Thread(target=lambda n=n: [journal.write("module_ended", module=f"M{n}", pad="x" * 5000)
                                                          for _ in range(50)]) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(10)
    events, warnings = read_journal(path)
    assert len(events) == 401 and not warnings
    times = [e["t"] for e in events]
    assert times == sorted(times)


def test_a_torn_last_line_is_skipped_with_a_warning(tmp_path):
    path = _journal(tmp_path, "action_started")
    with open(path, "ab") as out:
        out.write(b'{"event": "action_ended", "t": 1.')
    events, warnings = read_journal(path)
    assert [e["event"] for e in events] == ["run_started", "action_started"]
    assert len(warnings) == 1 and "torn" in warnings[0] and ":3:" in warnings[0]


@pytest.mark.parametrize("content, expected", [
    (b"", "empty"),
    (b"hello world\n", ":1: not a journal line"),
    (b'{"event": "run_started", "t": 0, "format": 1}\n[1, 2]\n{"event": "x", "t": 1}\n', ":2: not a journal event"),
    (b'{"event": "action_started", "t": 0}\n', "begins with run_started"),
    (b'{"event": "run_started", "t": 0, "format": 7}\n', "format 7"),
    (b'{"event": "run_started", "t": NaN, "format": 1}\n', ":1: not a journal line: NaN is not a number a journal holds"),
    (b"\xff\xfe\n", ":1: not a journal line"),
    (b'{"event": "run_started", "t": true, "format": 1}\n', ":1: not a journal event"),
    (b'{"event": 5, "t": 0}\n', ":1: not a journal event"),
    # Only a last line without its newline can be one a killed writer left torn.
    (START + b"garbage\n", ":2: not a journal line"),
    (START + b"garbage\n" + START, ":2: not a journal line"),
    (START + _padded(MAX_LINE_BYTES + 1) + START, f":2: a line of more than {MAX_LINE_BYTES} bytes"),
    (_padded(MAX_LINE_BYTES + 1), f":1: a line of more than {MAX_LINE_BYTES} bytes"),
])
def test_content_that_is_no_journal_is_refused_by_name(tmp_path, content, expected):
    path = tmp_path / "journal.jsonl"
    path.write_bytes(content)
    with pytest.raises(JournalError, match=expected) as refused:
        read_journal(path)
    assert str(refused.value).startswith(f"{path}:")


def test_blank_lines_are_skipped_and_a_line_of_the_largest_size_is_read(tmp_path):
    path = tmp_path / "journal.jsonl"
    path.write_bytes(START + b"\n  \n" + _padded(MAX_LINE_BYTES) + b"\n" + START)
    events, warnings = read_journal(path)
    assert [len(e.get("pad", "")) for e in events] == [0, MAX_LINE_BYTES - len(_padded(0)), 0]
    assert warnings == []


@pytest.mark.parametrize("make, expected", [
    (lambda p: None, "no journal here"),
    (lambda p: p.mkdir(), "not a regular file"),
])
def test_a_missing_or_odd_path_is_refused_by_name(tmp_path, make, expected):
    path = tmp_path / "journal.jsonl"
    make(path)
    with pytest.raises(JournalError, match=expected):
        read_journal(path)



class _FailingStream:
    """An open journal whose reads fail, as a disk that goes away does."""

    def __init__(self, failure):
        self.failure = failure

    def readline(self, *_args):
        raise self.failure

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


@pytest.mark.parametrize("failure, reason", [
    (OSError(5, "Input/output error"), "Input/output error"), (OSError("the disk went away"), "the disk went away"),
])
def test_a_journal_whose_reads_fail_is_refused_with_the_reason(tmp_path, monkeypatch, failure, reason):
    path = _journal(tmp_path)
    monkeypatch.setattr(journal_module, "open", lambda *_args: _FailingStream(failure), raising=False)
    with pytest.raises(JournalError) as refused:
        read_journal(path)
    assert str(refused.value) == f"{path}: cannot read the journal: {reason}"


@pytest.mark.parametrize("failure, reason", [
    (PermissionError(13, "Permission denied"), "Permission denied"),
    (OSError("the disk went away"), "the disk went away"),
])
def test_a_journal_that_cannot_be_read_is_refused_with_the_reason(tmp_path, monkeypatch, failure, reason):
    path = _journal(tmp_path)

    def unreadable(*_args):
        raise failure

    # Root reads any file whatever its mode, so the failure is made where the file is opened.
    monkeypatch.setattr(journal_module, "open", unreadable, raising=False)
    with pytest.raises(JournalError) as refused:
        read_journal(path)
    assert str(refused.value) == f"{path}: cannot read the journal: {reason}"


def test_follow_hands_on_lines_as_they_are_completed_and_ends_with_the_run(tmp_path):
    path = _journal(tmp_path)
    stop = threading.Event()
    followed = follow(path, stop, poll_seconds=0.01)
    assert next(followed)["event"] == "run_started"
    with open(path, "ab") as out:
        out.write(b'{"event": "action_started", "t": 0.5')
        out.flush()
        got = []
        reader = threading.Thread(target=lambda: got.extend(followed))
        reader.start()
        reader.join(0.2)
        assert reader.is_alive() and got == []
        out.write(b'}\n{"event": "run_ended", "t": 0.6, "exit_code": 0}\n')
    reader.join(5)
    stop.set()
    assert [e["event"] for e in got] == ["action_started", "run_ended"]


def test_a_write_that_fails_raises_or_is_reported_once_while_listeners_go_on(tmp_path):
    with Journal("/dev/full") as journal:  # every write: no space left on device
        with pytest.raises(OSError):
            journal.write("run_started", format=1)
    failures, heard = [], []
    with Journal("/dev/full", on_error=failures.append) as journal:
        journal.add_listener(heard.append)
        journal.write("run_started", format=1)
        journal.write("action_started", module="XAxis", index=1)
    assert len(failures) == 1 and failures[0].errno == 28 and journal.error is failures[0]
    assert [e["event"] for e in heard] == ["run_started", "action_started"]


def _ticks(*seconds):
    """A clock that reads the given times in turn: the first when the journal opens."""
    return iter(seconds).__next__


@pytest.mark.parametrize("fields, line", [
    # Times are seconds since the journal opened, to the microsecond.
    ({}, b'{"event": "action_started", "t": 0.123457}'),
    # Text goes to the file as UTF-8, not as escapes; a value JSON has no form for is written as its text.
    ({"text": "Grüße"}, '{"event": "action_started", "t": 0.123457, "text": "Grüße"}'.encode()),
    ({"script": Path("cells/a.vemo")}, b'{"event": "action_started", "t": 0.123457, "script": "cells/a.vemo"}'),
])
def test_each_event_is_one_utf8_json_line_timed_from_the_opening(tmp_path, fields, line):
    path = tmp_path / "journal.jsonl"
    with Journal(path, clock=_ticks(100.0, 100.1234567)) as journal:
        written = journal.write("action_started", **fields)
    assert path.read_bytes() == line + b"\n"
    assert (list(written), written["t"]) == (list(json.loads(line)), 0.123457)


def test_a_value_the_reader_would_refuse_is_refused_before_anything_is_written(tmp_path):
    path = tmp_path / "journal.jsonl"
    heard = []
    with Journal(path, clock=_ticks(5.0, 5.5, 6.0)) as journal:
        journal.add_listener(heard.append)
        with pytest.raises(ValueError):
            journal.write("action_ended", module="XAxis", index=1, seconds=float("nan"))
        journal.write("action_ended", module="XAxis", index=1, seconds=1.0)
    assert path.read_bytes() == b'{"event": "action_ended", "t": 1.0, "module": "XAxis", "index": 1, "seconds": 1.0}\n'
    assert [entry["t"] for entry in heard] == [1.0]


def test_a_journal_opened_again_appends_and_is_no_program(tmp_path):
    path = tmp_path / "journal.jsonl"
    path.write_bytes(b'{"event": "run_started", "t": 0, "format": 1}\n')
    with Journal(path, clock=_ticks(0.0, 2.0)) as journal:
        journal.write("run_ended", exit_code=0)
    assert path.read_bytes().splitlines() == [b'{"event": "run_started", "t": 0, "format": 1}',
                                              b'{"event": "run_ended", "t": 2.0, "exit_code": 0}']
    fresh = tmp_path / "fresh.jsonl"
    Journal(fresh).close()
    assert fresh.stat().st_mode & 0o111 == 0  # created without execute permission, whatever the umask


def _open_descriptors():
    return set(os.listdir("/proc/self/fd"))


def test_closing_releases_the_file_once_and_closing_again_is_harmless(tmp_path):
    before = _open_descriptors()
    journal = Journal(tmp_path / "journal.jsonl")
    assert len(_open_descriptors() - before) == 1
    journal.close()
    journal.close()
    assert _open_descriptors() - before == set()


def _follow_all(path, timeout=5):
    """What follow hands on until it ends by itself; fails if it has not ended within `timeout`."""
    got, failed = [], []
    stop = threading.Event()

    def read():
        try:
            got.extend(follow(path, stop, poll_seconds=0.01))
        except JournalError as error:
            failed.append(str(error))

    reader = threading.Thread(target=read)
    reader.start()
    reader.join(timeout)
    ended = not reader.is_alive()
    stop.set()
    reader.join(timeout)
    assert ended, "follow did not end by itself"
    return [e["event"] for e in got], failed


@pytest.mark.parametrize("content, events, error", [
    # The run's end ends the reading; what follows it is not handed on.
    (START + b"\n" + b'{"event": "run_ended", "t": 1}\n' + b'{"event": "action_started", "t": 2}\n',
     ["run_started", "run_ended"], None),
    # Faults are named by their line, blank lines counted.
    (START + b"\n" + b"garbage\n", ["run_started"], ":3: not a journal line"),
    (b'{"event": "action_started", "t": 0}\n', [], ":1: a journal begins with run_started"),
    (START + b"a" * (MAX_LINE_BYTES + 1), ["run_started"], f":2: a line of more than {MAX_LINE_BYTES} bytes"),
])
def test_follow_stops_at_the_end_of_the_run_or_at_a_fault_named_by_its_line(tmp_path, content, events, error):
    path = tmp_path / "journal.jsonl"
    path.write_bytes(content)
    got, failed = _follow_all(path)
    assert got == events
    assert [message.startswith(f"{path}{error}") for message in failed] == ([] if error is None else [True])
