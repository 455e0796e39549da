"""`vemo check` on careless and hostile scripts: bounded work, located messages in the tool's words, JSON in
every outcome, and text from the script printed with its control characters escaped."""

import json
import os

import pytest

from frontend_support import EXAMPLES, run_vemo, runtime_has

pytestmark = pytest.mark.skipif(not runtime_has("_vemoaction", "_vemomodule", "compiler"),
                                reason="needs the runtime's compiler extension module")

CELL = EXAMPLES / "cell.yaml"
DOUBLING = "b0 = { move @XAxis to pick }\n" + "".join(f"b{i} = {{ b{i - 1} b{i - 1} }}\n" for i in range(1, 41))


def check(tmp_path, text, *options):
    script = tmp_path / "s.vemo"
    script.write_text(text)
    return run_vemo("check", script, "--cell", CELL, *options)


@pytest.mark.parametrize("text, place, message", [
    ("main = loop 2147483648 times { move @XAxis to pick }", "1:13",
     "a loop of 2147483648 rounds is more than the limit of 1000000000; write 'loop forever'"),
    (f"main = loop {2**70} times {{ move @XAxis to pick }}", "1:13", f"a loop of {2**70} rounds is more than"),
    (f"main = loop {'9' * 5000} times {{ move @XAxis to pick }}", "1:13", f"a loop of {'9' * 5000} rounds is more"),
    (f"main = loop -{'9' * 5000} times {{ move @XAxis to pick }}", "1:13", "a loop runs 0 or more times, not -999"),
    ("main = " + "loop 3 times " * 13 + "{ move @XAxis to pick }", "1:8",
     "this loop of 3 rounds makes 1594323 actions, more than the limit of 1000000"),
    ("main = loop 1000 times loop 1000001 times { move @XAxis to pick }", "1:29",
     "a loop of 1000001 rounds is more than the limit of 1000000 actions"),
    (DOUBLING + "main = { b40 }", "20:1", "the script up to this declaration makes 1048575 actions"),
    ("main = loop -5 times { move @XAxis to pick }", "1:13", "a loop runs 0 or more times, not -5"),
    ("main = async a: { move @XAxis to pick } and a: { move @ZAxis to up }", "1:45",
     "the label 'a' is already used at line 1, column 14"),
    ("main = " + "loop 1 times " * 100 + "{ move @XAxis to pick }", "1:424", "nested too deep (more than 32 levels)"),
    *((f"main = {{ call @XAxis.{name}() }}", "1:10", f"XAxis has no operation {name!r} (it has: dwell, home)")
      for name in ("__init__", "run", "setup")),
    ("main = { call @XAxis.dwell() }", "1:10", "XAxis.dwell takes (milliseconds, reason=''), not no arguments"),
    ('main = { call @XAxis.dwell(1, "a", 3) }', "1:10", "XAxis.dwell takes (milliseconds, reason=''), not 3 arguments"),
    ("x = loop 0 times { move @XAxis to pick }\nmain = { x }", "2:10", "'x' makes no actions (a loop of 0 rounds)"),
    (f"main = {{ call @XAxis.dwell({2**70}) }}", "1:10",
     f"dwell takes a whole number of milliseconds from 0 to 2147483647, got {2**70}"),
])
def test_scripts_that_would_fail_late_or_without_bound_are_refused_at_their_place(tmp_path, text, place, message):
    result = check(tmp_path, text)
    assert result.returncode == 1
    first = result.stderr.splitlines()[0]
    assert first.startswith(f"{tmp_path / 's.vemo'}:{place}: {message}"), result.stderr
    assert "Traceback" not in result.stderr


def test_the_action_limit_can_be_set(tmp_path):
    text = "main = loop 2 times { move @XAxis to pick  move @XAxis to place  move @XAxis to park  move @XAxis to pick  move @XAxis to place }"
    assert check(tmp_path, text, "--max-actions", "10").returncode == 0
    refused = check(tmp_path, text, "--max-actions", "9")
    assert refused.returncode == 1 and "more than the limit of 9" in refused.stderr


@pytest.mark.parametrize("text", [
    "main = loop 0 times { move @XAxis to pick }",
    "cycle = async { move @XAxis to pick } and { move @ZAxis to up }\nmain = loop 0 times { cycle }",
])
def test_loop_zero_times_is_a_clean_check_with_nothing_to_run(tmp_path, text):
    result = check(tmp_path, text)
    assert (result.returncode, result.stdout.strip()) == (0, "main runs no actions"), result.stderr


def _written(path, data, size=None):
    path.write_bytes(data)
    if size is not None:
        os.truncate(path, size)
    return path


@pytest.mark.parametrize("make, message", [
    (lambda tmp: "/dev/zero", "the script is not a regular file"),
    (lambda tmp: tmp, "the script is not a regular file"),
    (lambda tmp: _written(tmp / "big.vemo", b"", 9 << 20), "the script is larger than 8 MiB"),
    (lambda tmp: _written(tmp / "latin.vemo", b"main = {\n caf\xe9 }"), ":2: the script is not UTF-8 text"),
])
def test_script_files_that_are_not_small_regular_text_files_are_refused(tmp_path, make, message):
    result = run_vemo("check", make(tmp_path), "--cell", CELL, timeout=30)
    assert result.returncode == 1 and message in result.stderr, result.stderr


def test_syntax_error_is_located_even_without_a_cell(tmp_path):
    (tmp_path / "s.vemo").write_text("main = {\n  move @XAxis pick\n}\n")
    result = run_vemo("check", tmp_path / "s.vemo")
    assert result.returncode == 1
    assert result.stderr.startswith(f"{tmp_path / 's.vemo'}:2:15: unexpected 'pick'"), result.stderr


def test_excerpt_of_a_syntax_error_on_a_long_line_is_cut_around_the_column(tmp_path):
    result = check(tmp_path, "main = {" + " move @XAxis to pick" * 50_000 + " move @XAxis pick }")
    assert result.returncode == 1
    _, excerpt, caret, _ = result.stderr.splitlines()
    assert len(excerpt) < 120 and excerpt.rstrip().endswith("move @XAxis pick }")
    assert excerpt[caret.index("^"):].startswith("pick")


def test_control_characters_from_the_script_are_escaped_in_the_listing_and_in_errors(tmp_path):
    listing = check(tmp_path, 'main = { call @XAxis.dwell(300, "\x1b]0;HACKED\x07\x1b[2J\u202e") }')
    assert listing.returncode == 0
    assert '"\\x1b]0;HACKED\\x07\\x1b[2J\\u202e"' in listing.stdout
    error = check(tmp_path, "main = { move @XAxis to pick \x1b[2J }")
    assert error.returncode == 1 and "\\x1b" in error.stderr
    for output in (listing.stdout, listing.stderr, error.stdout, error.stderr):
        assert "\x1b" not in output and "\x07" not in output and "\u202e" not in output


LISTING_KEYS = {"format", "version", "ok", "script", "diagnostics", "modules", "loops", "endless", "estimate",
                "unknown_durations", "except_blocks", "input_waits"}


@pytest.mark.parametrize("options, code, message", [
    (["examples/pick_place.vemo"], 0, None),
    (["{broken}", "--cell", "/nonexistent.yaml"], 1, "unexpected end of script"),
    (["{script}", "--cell", "/nonexistent.yaml"], 1, "cannot read the cell description"),
    (["{script}", "--cell", str(CELL), "--actions", "{bad}"], 1, "cannot load the host module: SyntaxError"),
    (["{script}", "--max-actions", "0"], 2, "--max-actions: expected a whole number of at least 1"),
    (["/dev/zero"], 1, "the script is not a regular file"),
])
def test_json_listing_has_one_versioned_shape_in_every_outcome(tmp_path, options, code, message):
    (tmp_path / "s.vemo").write_text("main = { move @XAxis to pick }")
    (tmp_path / "broken.vemo").write_text("main = {")
    (tmp_path / "bad.py").write_text("x = (")
    arguments = [o.format(script=tmp_path / "s.vemo", broken=tmp_path / "broken.vemo", bad=tmp_path / "bad.py")
                 for o in options]
    result = run_vemo("check", "--json", *arguments)
    listing = json.loads(result.stdout)
    assert result.returncode == code and set(listing) == LISTING_KEYS
    assert (listing["format"], listing["version"], listing["ok"]) == ("vemo-check", 3, code == 0)
    if message is None:
        assert listing["diagnostics"] == [] and listing["modules"]
    else:
        (diagnostic,) = listing["diagnostics"]
        assert diagnostic["severity"] == "error" and message in diagnostic["message"]
    assert "object at 0x" not in result.stdout
