"""Readers of a damaged or hostile journal: `vemo report` names the line at fault and leaves every output as
it was; the timeline stays small whatever the span; report never writes over what the run read."""

import hashlib
import io
import json
import os
import re
import threading

import pytest

from runsupport import run_vemo
from vemo.run.journal import JournalError, MAX_NESTING, follow, read_journal
from vemo.run.outputs import write_outputs
from vemo.run.timeline import MAX_TICKS, ActionRecord, render_chart

START = {"event": "run_started", "t": 0, "format": 1, "script": "job.vemo", "cell": "cell.yaml",
         "handler_settings": "handler.yaml", "modules": [{"name": "XAxis", "actions": 1}]}
PLANNED = {"event": "action_planned", "t": 0, "module": "XAxis", "index": 1, "text": "move @XAxis to pick",
           "location": "job.vemo:1:8", "kind": "Move", "lane": None, "waits": [], "after": None}
ACTION = {"module": "XAxis", "index": 1, "text": "move @XAxis to pick", "location": "job.vemo:1:8"}


def _line(event, **fields):
    return json.dumps({"event": event, "t": 0.5, **ACTION, **fields}).encode()


# Third lines that no journal writer makes, each with what the refusal says about it.
HOSTILE = {
    "nested 100,000 deep": (b'{"event": "x", "t": 1, "deep": ' + b"[" * 100_000 + b"]" * 100_000 + b"}",
                            f"nested more than {MAX_NESTING} deep"),
    "t of 400 digits": (_line("action_started").replace(b'"t": 0.5', b'"t": ' + b"9" * 400), '"t" must be'),
    "t = 1e309": (_line("action_started").replace(b'"t": 0.5', b'"t": 1e309'), '"t" must be'),
    "t = 1e300": (_line("action_started").replace(b'"t": 0.5', b'"t": 1e300'), '"t" must be'),
    "t = 6e8": (_line("action_started").replace(b'"t": 0.5', b'"t": 6e8'), '"t" must be'),
    "t before the start": (_line("action_started").replace(b'"t": 0.5', b'"t": -3'), '"t" must be'),
    "outcome as a list": (_line("action_ended", outcome=["error"]), '"outcome" must be one of'),
    "unknown outcome": (_line("action_ended", outcome="exploded"), '"outcome" must be one of'),
    "index as text": (_line("action_started").replace(b'"index": 1', b'"index": "1"'), '"index" must be'),
    "waits of junk": (_line("action_planned", kind="Move", waits=["junk"]), '"waits" must be'),
    "exit code of 1000": (json.dumps({"event": "run_ended", "t": 1, "exit_code": 1000,
                                      "outcome": "finished"}).encode(), '"exit_code" must be'),
}


def _write_journal(folder, third=None):
    folder.mkdir(exist_ok=True)
    lines = [json.dumps(START).encode(), json.dumps(PLANNED).encode()] + ([third] if third is not None else [])
    (folder / "journal.jsonl").write_bytes(b"\n".join(lines) + b"\n")
    return folder


@pytest.mark.parametrize("name", HOSTILE)
def test_a_hostile_line_is_refused_naming_its_file_and_line(tmp_path, name):
    line, message = HOSTILE[name]
    run_dir = _write_journal(tmp_path / "run", line)
    with pytest.raises(JournalError, match=re.escape(f"journal.jsonl:3: ") + ".*" + re.escape(message)):
        read_journal(run_dir / "journal.jsonl")


@pytest.mark.parametrize("content, where", [
    (b"\n" + json.dumps(PLANNED).encode() + b"\n", ":2: a journal begins with run_started"),
    (HOSTILE["t = 1e300"][0] + b"\n", ":1: action_started event"),
])
def test_the_follower_checks_the_first_event_and_every_line_as_the_file_reader_does(tmp_path, content, where):
    path = tmp_path / "journal.jsonl"
    path.write_bytes(content)
    stop = threading.Event()
    deadline = threading.Timer(10, stop.set)  # a follower that takes the file ends here instead of waiting on
    deadline.start()
    try:
        with pytest.raises(JournalError, match=re.escape(where)):
            list(follow(path, stop, poll_seconds=0.01))
    finally:
        deadline.cancel()


@pytest.mark.parametrize("name", ["nested 100,000 deep", "t of 400 digits", "outcome as a list", "t = 1e309",
                                  "t = 1e300"])
def test_report_on_a_hostile_journal_exits_1_naming_the_line_and_leaves_the_outputs_as_they_were(tmp_path, name):
    run_dir = _write_journal(tmp_path / "run", HOSTILE[name][0])
    earlier = tmp_path / "timeline.html"
    earlier.write_text("an earlier timeline\n")
    result = run_vemo("report", run_dir, "--timeline", earlier, "--record", tmp_path / "record.json", timeout=60)
    assert result.returncode == 1, result.stdout + result.stderr
    assert f"{run_dir / 'journal.jsonl'}:3: " in result.stderr and "Traceback" not in result.stderr, result.stderr
    assert earlier.read_text() == "an earlier timeline\n" and not (tmp_path / "record.json").exists()


def _record(start, end):
    return ActionRecord(1, "XAxis", "Move", "to pick", start=start, end=end, outcome="finished")


@pytest.mark.parametrize("span", [0.004, 0.5, 7.0, 6000.0, 86_400.0 * 30, 366 * 86_400.0])
def test_the_chart_has_at_most_max_ticks_gridlines_and_a_size_that_does_not_follow_the_span(span):
    chart = render_chart([_record(0.0, span / 2), _record(span / 2, span)])
    ticks = re.findall(r'fill="#666">([^<]*) s</text>', chart)
    assert 1 <= len(ticks) <= MAX_TICKS + 1 and float(ticks[-1]) <= span * (1 + 1e-9)
    assert len(chart) < 8000


@pytest.mark.parametrize("failure", ["the drawing fails", "the rename fails"])
def test_an_output_that_cannot_be_written_whole_leaves_the_file_as_it_was(tmp_path, monkeypatch, failure):
    target = tmp_path / "timeline.html"
    target.write_text("an earlier timeline\n")
    out, errors = io.StringIO(), io.StringIO()
    if failure == "the drawing fails":
        records = [_record(0.0, float("inf"))]  # no reader passes such a time; a fault of the drawing code
        with pytest.raises(OverflowError):
            write_outputs(records, {"timeline": str(target)}, "run", out, errors)
    else:
        def refuse(*args):
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(os, "replace", refuse)
        assert not write_outputs([_record(0.0, 1.0)], {"timeline": str(target)}, "run", out, errors)
        assert "cannot write" in errors.getvalue()
    assert target.read_text() == "an earlier timeline\n"
    assert [p.name for p in tmp_path.iterdir()] == ["timeline.html"]  # no temporary file left beside it


@pytest.mark.parametrize("option, named", [
    ("--timeline", "job.vemo"), ("--trace", "cell.yaml"), ("--record", "handler.yaml"),
    ("--timeline", "elsewhere/job.vemo"),  # the script seen from another folder: found by its digest
])
def test_report_refuses_an_output_that_is_an_input_of_the_run(tmp_path, option, named):
    inputs = {"job.vemo": "main = { move @XAxis to pick }\n", "cell.yaml": "modules: {}\n",
              "handler.yaml": "modules: []\n"}
    for name, text in inputs.items():
        (tmp_path / name).write_text(text)
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "elsewhere" / "job.vemo").write_text(inputs["job.vemo"])
    digests = {name: hashlib.sha256(text.encode()).hexdigest() for name, text in inputs.items()}
    run_dir = tmp_path / "run"
    run_dir.mkdir()
    (run_dir / "journal.jsonl").write_text(json.dumps({**START, "digests": digests}) + "\n"
                                           + json.dumps(PLANNED) + "\n")
    before = (tmp_path / named).read_bytes()
    result = run_vemo("report", run_dir, option, named, timeout=60)
    assert result.returncode == 2 and "input of the run" in result.stderr, result.stdout + result.stderr
    assert (tmp_path / named).read_bytes() == before
