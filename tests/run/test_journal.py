"""The run journal on its own: what the writer puts on disk, and what the reader accepts or refuses."""

import json
import threading

import pytest

from vemo.run.journal import Journal, JournalError, follow, read_journal


def _journal(tmp_path, *events):
    path = tmp_path / "journal.jsonl"
    with Journal(path) as journal:
        journal.write("run_started", format=1, script="s.vemo")
        for event in events:
            journal.write(event, module="XAxis", index=1)
    return path


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
    (b'{"event": "run_started", "t": NaN, "format": 1}\n', ":1: not a journal line"),
    (b"\xff\xfe\n", ":1: not a journal line"),
])
def test_content_that_is_no_journal_is_refused_by_name(tmp_path, content, expected):
    path = tmp_path / "journal.jsonl"
    path.write_bytes(content)
    with pytest.raises(JournalError, match=expected):
        read_journal(path)


@pytest.mark.parametrize("make, expected", [
    (lambda p: None, "no journal here"),
    (lambda p: p.mkdir(), "not a regular file"),
])
def test_a_missing_or_odd_path_is_refused_by_name(tmp_path, make, expected):
    path = tmp_path / "journal.jsonl"
    make(path)
    with pytest.raises(JournalError, match=expected):
        read_journal(path)


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
