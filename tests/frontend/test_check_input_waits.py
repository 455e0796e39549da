"""`vemo check` of input waits: located errors, the listing with limits, the estimate's expected times."""

import json

import pytest

from frontend_support import EXAMPLES, run_vemo, runtime_has

pytestmark = pytest.mark.skipif(not runtime_has("_vemoaction", "_vemomodule", "compiler"),
                                reason="needs the runtime's compiler extension module")

CELL = EXAMPLES / "sensing_cell.yaml"


def check(tmp_path, text, *options):
    (tmp_path / "s.vemo").write_text(text)
    return run_vemo("check", tmp_path / "s.vemo", "--cell", CELL, *options)


@pytest.mark.parametrize("text, column, message", [
    ("main = { wait @Nope part_present on }", 15, "unknown module '@Nope': the cell has no module 'Nope'"),
    ("main = { wait @Feeder part_gone on }", 23, "Feeder has no input 'part_gone' (inputs: part_present)"),
    ("main = { wait @Gripper vacuum on }", 24, "Gripper: vacuum is an output (an IO point that scripts set), "
                                               "not an input; inputs: vacuum_ok"),
    ("main = { wait @XAxis part_present on }", 22, "XAxis has no input 'part_present' (inputs: none)"),
    ("main = { wait @Feeder part_present on within 0 s }", 10, "a time limit is from 1 ms to 2147483 s, got 0 s"),
    ("main = { wait @Feeder part_present on within 2147484 s }", 10, "a time limit is from 1 ms"),
    ("main = { wait @Feeder part_present maybe }", 36, "unexpected 'maybe'"),
    ("main = { wait @Feeder part_present on within 2 sec }", 48, "unexpected 'sec'"),
    ("main = { wait @Feeder part_present on within }", 46, "unexpected '}'"),
    ("main = { wait Feeder part_present on }", 15, "unexpected 'Feeder'"),
    ("within = { wait @Feeder part_present on }", 1, "'within' is a keyword and cannot be used as a name"),
])
def test_faulty_input_waits_are_located_errors(tmp_path, text, column, message):
    result = check(tmp_path, text)
    assert result.returncode == 1, result.stdout + result.stderr
    assert f"s.vemo:1:{column}: {message}" in result.stderr, result.stderr


def test_the_listing_names_each_input_wait_with_its_limit_and_the_estimate_counts_its_expected_time(tmp_path):
    script = ("main = async part: { wait @Feeder part_present on }\n"
              "  and wait part { set @Gripper vacuum on  wait @Gripper vacuum_ok on within 500 ms }\n")
    data = json.loads(check(tmp_path, script, "--json").stdout)
    assert data["ok"] is True and data["diagnostics"] == []
    assert sorted((w["module"], w["input"], w["level"], w["limit_seconds"], w["expected_seconds"], w["actions"])
                  for w in data["input_waits"]) == [("Feeder", "part_present", "on", None, 0.5, ["Feeder#1"]),
                                              ("Gripper", "vacuum_ok", "on", 0.5, 0.03, ["Gripper#2"])]
    # part (0.5) -> vacuum on (0.02) -> vacuum_ok (0.03); no wait cycle through the inputs.
    assert data["estimate"]["seconds"] == pytest.approx(0.55)
    assert data["estimate"]["critical_path"] == ["Feeder#1", "Gripper#1", "Gripper#2"]
    text = check(tmp_path, script).stdout
    assert "Gripper#2  waiting for Gripper.vacuum_ok on within 500 ms" in text
    assert "the estimate counts each as the expected time of its input in the cell, 0 s where the cell gives none" in text


def test_an_input_without_an_expected_time_counts_as_zero(tmp_path):
    (tmp_path / "cell.yaml").write_text(CELL.read_text().replace("{pin: 0, expected: 0.5}", "0"))
    (tmp_path / "s.vemo").write_text("main = { wait @Feeder part_present on within 3 s }")
    data = json.loads(run_vemo("check", tmp_path / "s.vemo", "--cell", tmp_path / "cell.yaml", "--json").stdout)
    assert data["input_waits"][0]["expected_seconds"] == 0.0 and data["input_waits"][0]["limit_seconds"] == 3.0
    assert data["estimate"]["seconds"] == 0.0
