"""The samples and option lists of docs/running.md against what the commands really print and write."""

import json
import re
import subprocess
import sys
import threading

import pytest

from runsupport import EXAMPLES, ROOT, child_env, run_vemo, start_vemo, started, stop_process, wait_for_journal
from vemo.cli import _parser
from vemo.run.controlsocket import send
from vemo.run.events import OUTCOMES
from vemo.run.outputs import RECORD_OUTCOMES, UNFINISHED

RUNNING = (ROOT / "docs" / "running.md").read_text()


def _section(title):
    """The text of docs/running.md from the paragraph or heading that starts with `title` to the next heading."""
    start = RUNNING.index(title)
    following = RUNNING.find("\n#", start + len(title))
    return RUNNING[start:following if following != -1 else None]


def _json_sample(section):
    return json.loads(re.search(r"```json\n(.*?)```", section, re.S).group(1))


def _table_keys(section):
    """The first-column names of a two-column table: "| `a`, `b` | ..." gives a and b."""
    keys = []
    for line in section.splitlines():
        if line.startswith("| `"):
            keys += re.findall(r"`([^`]+)`", line.split("|")[1])
    return keys


def test_the_record_keys_and_outcomes_are_those_a_record_file_has(tmp_path):
    section = _section("**The record**")
    run_dir = tmp_path / "run"
    run_dir.mkdir()
    lines = [{"event": "run_started", "t": 0, "format": 1, "script": "job.vemo", "cell": "cell.yaml",
              "modules": [{"name": "XAxis", "actions": 1}]},
             {"event": "action_planned", "t": 0, "module": "XAxis", "index": 1, "text": "move @XAxis to pick",
              "location": "job.vemo:1:8", "kind": "Move", "lane": None, "waits": [], "after": None}]
    (run_dir / "journal.jsonl").write_text("".join(json.dumps(line) + "\n" for line in lines))
    result = run_vemo("report", run_dir, "--record", "record.json", timeout=60)
    assert result.returncode == 0, result.stderr
    record, = json.loads((tmp_path / "record.json").read_text())
    assert sorted(_table_keys(section)) == sorted(record)
    outcomes = next(line for line in section.splitlines() if line.startswith("| `outcome`"))
    assert set(re.findall(r"`([^`]+)`", outcomes.split("|")[2])) == set(RECORD_OUTCOMES.values()) | {UNFINISHED}


def _shape(sample, real, where="status"):
    """Differences of keys between the doc's sample and the real answer, object by object; the entries of
    `modules` and `interlocks` are compared by the shape of their values."""
    if not isinstance(sample, dict) or not isinstance(real, dict):
        return [] if type(sample) is type(real) or sample is None or real is None else [f"{where}: a value"]
    if where.endswith(("modules", "interlocks")):
        return [problem for value in real.values() for problem in _shape(next(iter(sample.values())), value,
                                                                           where + "[...]")]
    problems = [f"{where}: {key} not in the doc" for key in sorted(set(real) - set(sample))]
    problems += [f"{where}: {key} not in the answer" for key in sorted(set(sample) - set(real))]
    return problems + [p for key in set(sample) & set(real) for p in _shape(sample[key], real[key], f"{where}.{key}")]


def test_ctl_status_of_a_paused_run_has_the_keys_of_the_doc_sample(address, tmp_path):
    sample = _json_sample(_section("`vemo ctl DIR status` prints"))
    run_dir = tmp_path / "run"
    process = start_vemo("run", EXAMPLES / "pick_place.vemo", "--cell", EXAMPLES / "door_cell.yaml",
                         "--sim-address", address, "--run-dir", run_dir)
    try:
        wait_for_journal(run_dir, lambda events: len(started(events)) >= 1)
        assert run_vemo("ctl", run_dir, "pause", timeout=30).returncode == 0
        result = run_vemo("ctl", run_dir, "status", timeout=30)
        assert result.returncode == 0, result.stderr
        status = json.loads(result.stdout)
        assert status["pause"] is not None and status["interlocks"] and status["modules"]
        assert _shape(sample, status) == []
        send(run_dir, "stop")
        process.communicate(timeout=60)
    finally:
        stop_process(process)


def test_every_option_of_run_and_sim_is_in_the_docs_usage():
    usage = RUNNING[RUNNING.index("```\nvemo run SCRIPT"):]
    usage = usage[:usage.index("```", 4)]
    commands = _parser()._subparsers._group_actions[0].choices
    for name in ("run", "report", "console", "sim"):
        options = {o for action in commands[name]._actions for o in action.option_strings
                   if o.startswith("--") and o not in ("--help", "--from-run")}
        line = " ".join(re.findall(rf"^vemo {name} .*(?:\n {{6,}}.*)*", usage, re.M))
        assert options == set(re.findall(r"--[a-z-]+", line)), name
    table = {o for o in re.findall(r"^\| `(--[a-z-]+)", RUNNING, re.M)}
    run_options = {o for action in commands["run"]._actions for o in action.option_strings if o.startswith("--")}
    assert run_options - {"--help"} <= table


def test_vemo_sim_refuses_a_cell_and_handler_settings_together():
    result = run_vemo("sim", "--cell", EXAMPLES / "cell.yaml", "--handler-settings", EXAMPLES / "handler" / "cell.yaml",
                      timeout=30)
    assert result.returncode == 2 and "not allowed with argument --cell" in result.stderr


@pytest.mark.parametrize("sample", re.findall(r"`(console of [^`]+)`", RUNNING))
def test_the_line_vemo_console_prints_is_the_one_the_doc_shows(tmp_path, sample):
    run_dir = tmp_path / "run"
    run_dir.mkdir()
    (run_dir / "journal.jsonl").write_text(json.dumps({"event": "run_started", "t": 0, "format": 1}) + "\n")
    pattern = re.escape(sample).replace(re.escape("runs/20261209-101500-pick_place"), re.escape(str(run_dir)))
    pattern = pattern.replace("PORT", r"\d+").replace(re.escape("Jr0m..."), r"[\w-]{32,}")
    process = subprocess.Popen([sys.executable, "-m", "vemo", "console", str(run_dir)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, env=child_env())
    try:
        lines = []
        reader = threading.Thread(target=lambda: lines.extend(process.stdout.readline() for _ in range(2)),
                                  daemon=True)
        reader.start()
        reader.join(30)
        first, second = (line.rstrip("\n") for line in lines) if len(lines) == 2 else ("", "")
    finally:
        process.terminate()
        process.communicate(timeout=10)
    assert re.fullmatch(pattern, first), (pattern, first)
    assert f"`{second}`" in RUNNING


def test_every_option_of_every_command_is_documented_with_its_command():
    """Each option shows up beside its command (`vemo check ... --verbose`), or, for `vemo run`, in the option
    table of docs/running.md."""
    docs = "\n".join(p.read_text() for p in [ROOT / "README.md", *(ROOT / "docs").glob("*.md")])
    table = set(re.findall(r"^\| `(--[a-z-]+)", RUNNING[:RUNNING.index("Exit codes:")], re.M))
    missing = []
    for name, parser in _parser()._subparsers._group_actions[0].choices.items():
        for action in parser._actions:
            for option in action.option_strings:
                if not option.startswith("--") or option == "--help" or action.help == "==SUPPRESS==":
                    continue
                if not re.search(rf"vemo {name}\b[^\n]*{re.escape(option)}\b", docs) \
                        and not (name == "run" and option in table):
                    missing.append(f"vemo {name} {option}")
    assert missing == []


@pytest.mark.parametrize("event", OUTCOMES)
def test_the_outcomes_the_journal_table_lists_are_those_its_readers_accept(event):
    row = next(line for line in RUNNING.splitlines() if line.startswith(f"| `{event}` |"))
    listed = re.search(r"`outcome` \(([^)]*)\)", row).group(1)
    assert re.findall(r"`([a-z_]+)`", listed) == list(OUTCOMES[event])
    if event == "action_ended":
        assert list(RECORD_OUTCOMES) == list(OUTCOMES[event])  # each has its spelling in the record
