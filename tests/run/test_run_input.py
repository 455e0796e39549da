"""`vemo run` on careless input: refused before anything starts, with the tool's words and exit codes; what it
prints from the script escaped."""

import pytest

from runsupport import EXAMPLES, HANDLER_SETTINGS, run_vemo


def _job(tmp_path, script, settings=None):
    cell = (EXAMPLES / "cell.yaml").read_text().replace("handler/cell.yaml", str(settings or HANDLER_SETTINGS))
    (tmp_path / "cell.yaml").write_text(cell)
    (tmp_path / "job.vemo").write_text(script)
    return tmp_path / "job.vemo"


@pytest.mark.parametrize("option, value, message", [
    ("--speed", "1e12", "argument --speed: expected a factor from 0.000001 to 1000000000, got '1e12'"),
    ("--speed", "nan", "argument --speed: expected a factor from 0.000001 to 1000000000, got 'nan'"),
    ("--sim-address", "127.0.0.300", "argument --sim-address: expected an IPv4 address such as 127.0.0.1"),
    ("--max-actions", "-3", "argument --max-actions: expected a whole number of at least 1, got '-3'"),
])
def test_option_values_out_of_range_are_refused_with_exit_2(option, value, message):
    result = run_vemo("run", EXAMPLES / "pick_place.vemo", option, value, timeout=30)
    assert result.returncode == 2 and message in result.stderr, result.stderr


def test_a_script_with_nothing_to_run_is_a_clean_run(tmp_path):
    result = run_vemo("run", _job(tmp_path, "main = loop 0 times { move @XAxis to pick }"), timeout=30)
    assert result.returncode == 0, result.stderr
    assert "the script has no actions to run" in result.stdout


def test_a_syntax_error_is_located_before_the_cell_is_looked_for(tmp_path):
    (tmp_path / "job.vemo").write_text("main = { move @XAxis pick }")
    result = run_vemo("run", tmp_path / "job.vemo", timeout=30)
    assert result.returncode == 1
    assert f"{tmp_path / 'job.vemo'}:1:22: unexpected 'pick'" in result.stderr, result.stderr


def test_handler_settings_the_client_cannot_start_with_are_refused_before_the_simulator(tmp_path):
    text = HANDLER_SETTINGS.read_text()
    (tmp_path / "h.yaml").write_text(text[:text.index("  IOModule:")] + text[text.index("  TrayHandler:"):])
    result = run_vemo("run", _job(tmp_path, "main = { move @XAxis to pick }", tmp_path / "h.yaml"), timeout=30)
    assert result.returncode == 1
    assert "xan_handler has no IOModule section with a Modules list" in result.stderr
    assert "embedded simulator" not in result.stdout and "Traceback" not in result.stderr


def test_progress_lines_show_control_characters_of_the_script_escaped(tmp_path, address):
    script = _job(tmp_path, 'main = { call @XAxis.dwell(10, "\x1b]0;HACKED\x07\x1b[2J") }')
    result = run_vemo("run", script, "--sim-address", address, "--plain", timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert '\\x1b]0;HACKED\\x07\\x1b[2J' in result.stdout
    assert "\x1b" not in result.stdout + result.stderr and "\x07" not in result.stdout
