"""Every example of docs/language.md compiled as the page says it does: scripts that compile, the errors the
text names, the `vemo check` listing and its `--json` sample, and the host files of `--modules`."""

import json
import re
import subprocess
import sys
import textwrap

import pytest

from frontend_support import ENDLESS_NOT_COMPILED, EXAMPLES, ROOT, child_env

DOC = (ROOT / "docs" / "language.md").read_text()
CELL = EXAMPLES / "cell.yaml"


def _blocks():
    """(language, text) of each fenced block of the page, indented ones dedented."""
    return [(language, textwrap.dedent(body)) for indent, language, body
            in re.findall(r"^( *)```(\w*)\n(.*?)^\1```", DOC, re.M | re.S)]


def _block(first_line):
    return next(text for _, text in _blocks() if text.splitlines()[0].strip() == first_line)


def _check(tmp_path, script, *options):
    """`vemo check --json` of a script against the examples' cell: (exit code, listing)."""
    path = tmp_path / "job.vemo"
    path.write_text(script)
    result = subprocess.run([sys.executable, "-m", "vemo", "check", "job.vemo", "--json", *map(str, options)],
                            capture_output=True, text=True, timeout=60, env=child_env(), cwd=tmp_path)
    return result.returncode, json.loads(result.stdout)


def _texts(listing, module):
    return [action["text"] for m in listing["modules"] if m["name"] == module for action in m["actions"]]


SHUTTLE = "shuttle = { move @XAxis to pick  move @XAxis to place }\n"
FOREVER = "main = loop forever { cycle }        # cycle is a declared async block"

# How each script example of the page is compiled (the block itself, or the block in the context the page
# gives it) and what the page says of it beyond compiling clean.
SCRIPTS = {
    "approach = { move @XAxis to park  move @XAxis to pick }": (lambda b: b, None),
    "{ move @XAxis to pick  move @XAxis to place }": (lambda b: f"main = {b}", None),
    "shuttle = { move @XAxis to pick  move @XAxis to place }": (
        lambda b: b, lambda l: _texts(l, "XAxis") == [f"move @XAxis to {p}" for p in
                                                        ("pick", "place", "pick", "place", "park")]),
    # Waits between modules: the links are branches of one async block.
    "x_pick: { move @XAxis to pick }": (lambda b: "main = async " + " and ".join(b.splitlines()), None),
    "x_pick: { move @XAxis to pick } then x_place: wait z_lift { move @XAxis to place }": (
        lambda b: f"main = async {b.strip()} and z_lift: {{ move @ZAxis to up }}", None),
    "cycle = async": (lambda b: b + "main = { cycle }\n", None),
    "unload = { transfer @Loader tray 1 along unload  transfer @Loader tray 2 along unload }": (
        # The competitor written first is listed last: Loader[2].
        lambda b: b, lambda l: [a["label"] for a in l["modules"][0]["actions"]
                                if a["text"].endswith("tray 1 along unload")] == ["Loader[2]#1"]),
    "warmup = loop 5 times { shuttle }": (lambda b: SHUTTLE + _block("cycle = async") + b, None),
    FOREVER: (lambda b: _block("cycle = async") + b, None),
    "main = try {": (lambda b: SHUTTLE + "warmup = loop 5 times { shuttle }\n" + b, None),
    "pick = try { move @XAxis to pick } except { move @XAxis to park }          # E1": (
        lambda b: b, lambda l: [a["except"] for a in l["modules"][0]["actions"]] == ["E1", "E2", "E1"]),
    "main = try { move @XAxis to pick  move @XAxis to place } except { set @Gripper vacuum off }": (
        lambda b: b, lambda l: [m["name"] for block in l["except_blocks"] for m in block["modules"]] == ["Gripper"]),
    "cycle = async x: { move @XAxis to pick } and wait x { move @ZAxis to down }": (lambda b: b, None),
    "main = async try { move @XAxis to pick } except { move @XAxis to park }": (
        lambda b: b, lambda l: {a["label"]: a["except"] for m in l["modules"] for a in m["actions"]}
        == {"XAxis#1": "E1", "ZAxis#1": None}),
}
# Blocks that are no script, each checked by its own test below (or, for the grammar, by the parser's).
NOT_SCRIPTS = {"vemo check examples/pick_place.vemo", "module XAxis (axis, handler id 1): 2 actions in sequence",
               "declaration  =  name \"=\" statement", "cell: demo", "# my_actions.py", "# my_modules.py", "{",
               "input waits (", "part: { wait @Feeder part_present on }"}


def test_every_block_of_the_page_is_checked_here():
    firsts = [text.splitlines()[0].strip() for _, text in _blocks()]
    unchecked = [f for f in firsts if f not in SCRIPTS and not any(f.startswith(n) for n in NOT_SCRIPTS)]
    gone = [k for k in [*SCRIPTS, *NOT_SCRIPTS] if not any(f == k or f.startswith(k) for f in firsts)]
    assert (unchecked, gone) == ([], [])


@pytest.mark.parametrize("command", _block(next(t.splitlines()[0].strip() for _, t in _blocks()
                                                 if t.startswith("vemo check"))).splitlines())
def test_the_commands_of_the_page_succeed(command):
    words = command.split("#")[0].split()
    result = subprocess.run([sys.executable, "-m", "vemo", *words[1:]], capture_output=True, text=True, timeout=60,
                            env=child_env(), cwd=ROOT)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("first_line", [pytest.param(f, marks=ENDLESS_NOT_COMPILED) if f == FOREVER else f
                                        for f in SCRIPTS])
def test_each_script_example_compiles_and_does_what_the_page_says(tmp_path, first_line):
    make, claim = SCRIPTS[first_line]
    code, listing = _check(tmp_path, make(_block(first_line)), "--cell", CELL)
    assert code == 0 and listing["ok"], listing["diagnostics"]
    assert claim is None or claim(listing), listing


def test_the_input_wait_example_compiles_on_the_sensing_cell_and_its_listing_is_the_real_one(tmp_path):
    part, grip = _block("part: { wait @Feeder part_present on }").splitlines()
    script = f"main = async {part} and z_down: {{ move @ZAxis to down }} and {grip}\n"
    code, listing = _check(tmp_path, script, "--cell", EXAMPLES / "sensing_cell.yaml")
    assert code == 0 and listing["ok"], listing["diagnostics"]
    assert _texts(listing, "Feeder") == ["waiting for Feeder.part_present on"]
    sample = _block(next(t.splitlines()[0].strip() for _, t in _blocks() if t.startswith("input waits (")))
    real = subprocess.run([sys.executable, "-m", "vemo", "check", "examples/pick_sense.vemo", "--cell",
                           "examples/sensing_cell.yaml"], capture_output=True,
                          text=True, timeout=60, env=child_env(), cwd=ROOT).stdout
    assert sample.strip() in real


# Scripts the page says are refused: the page's words for it, and what `vemo check` reports.
REFUSED = [
    ("main = { x }\nx = { move @XAxis to pick }\n", "that is not declared yet is an error",
     "'x' is not a block declared before this point"),
    ("main = loop -1 times { move @XAxis to pick }\n", "A negative count is an error", None),
    ("x = { move @XAxis to pick }\n", "A script without `main` does not compile", None),
    ("main = async { move @XAxis to pick } and { move @XAxis to park }\n",
     "Two branches on the same module are an error", "more than one branch runs on XAxis"),
    ("main = try p: { move @XAxis to park } then wait p { move @XAxis to pick } except { move @XAxis to park }\n",
     "a label written in place after `try` or `except` cannot be waited on",
     "wait on 'p' names no block that XAxis#2 can see"),
    ("main = try { move @XAxis to pick } except p: { move @XAxis to park } then wait p { move @XAxis to pick }\n",
     "(`wait on 'p' names no block that E1.XAxis#2", "wait on 'p' names no block that E1.XAxis#2 can see"),
    ("main = " + "loop 1 times { " * 33 + "move @XAxis to pick" + " }" * 33 + "\n", "Loops nest at most 32 deep",
     "nested too deep"),
    # A counted loop may be followed: this is refused for the loop without end only.
    pytest.param(SHUTTLE + "shift = loop forever { shuttle }\nmain = { shift } then { move @XAxis to park }\n",
                 "Nothing may follow a loop without end on its modules", None, marks=ENDLESS_NOT_COMPILED),
]


@pytest.mark.parametrize("script, claim, message", REFUSED)
def test_what_the_page_says_is_refused_is_refused_with_its_words(tmp_path, script, claim, message):
    assert claim in " ".join(DOC.split())
    code, listing = _check(tmp_path, script, "--cell", CELL)
    assert code == 1 and not listing["ok"]
    assert message is None or any(message in d["message"] for d in listing["diagnostics"]), listing["diagnostics"]


def test_the_check_listing_of_the_page_is_what_vemo_check_prints(tmp_path):
    script = _block("main = try { move @XAxis to pick  move @XAxis to place } except { set @Gripper vacuum off }")
    (tmp_path / "job.vemo").write_text(script)
    result = subprocess.run([sys.executable, "-m", "vemo", "check", "job.vemo", "--cell", CELL], capture_output=True,
                            text=True, timeout=60, env=child_env(), cwd=tmp_path)
    shown = _block("module XAxis (axis, handler id 1): 2 actions in sequence").splitlines()
    assert result.stdout.splitlines()[:len(shown)] == shown


def test_the_json_sample_is_the_real_listing_shortened_as_the_page_says():
    result = subprocess.run([sys.executable, "-m", "vemo", "check", "examples/pick_place.vemo", "--json"],
                            capture_output=True, text=True, timeout=60, env=child_env(), cwd=ROOT)
    real = json.loads(result.stdout)
    first = real["modules"][0]
    real["modules"] = [{**first, "actions": first["actions"][:1]}]
    real["estimate"]["critical_path"] = real["estimate"]["critical_path"][:1] + ["..."]
    assert json.loads(next(text for language, text in _blocks() if language == "json")) == real


@pytest.mark.parametrize("script, estimated", [
    ("main = async { move @XAxis to pick } and wait nowhere { move @ZAxis to down }\n", True),  # an unmet wait
    ("main = async a: wait b { move @XAxis to pick } and b: wait a { move @ZAxis to down }\n", False),  # a cycle
    ("main = { call @XAxis.dwell(10) }\n", True),
])
def test_the_estimate_is_null_exactly_where_the_page_says(tmp_path, script, estimated):
    _, listing = _check(tmp_path, script, "--cell", CELL)
    assert (listing["estimate"] is not None) == estimated, listing


def test_the_host_files_of_the_page_compile_a_script_of_their_own_modules(tmp_path):
    for name in ("my_actions.py", "my_modules.py"):
        (tmp_path / name).write_text(_block(f"# {name}"))
    script = re.search(r"A pair that compiles `([^`]+)`", DOC.replace("\n", " ")).group(1)
    code, listing = _check(tmp_path, script + "\n", "--modules", "my_modules.py", "--actions", "my_actions.py")
    assert code == 0 and listing["ok"], listing["diagnostics"]
    assert sorted(m["name"] for m in listing["modules"]) == ["Arm", "Valve"]
    assert [a["kind"] for m in listing["modules"] for a in m["actions"] if m["name"] == "Arm"] == ["Move", "Move"]


def test_the_cell_of_the_page_is_a_valid_cell_description(tmp_path):
    from vemo.cell.model import load_cell

    (tmp_path / "cell.yaml").write_text(_block("cell: demo"))
    cell = load_cell(tmp_path / "cell.yaml")
    assert [m.name for m in cell.modules] == ["XAxis", "Gripper", "Loader"]


def test_the_page_lists_the_keywords_and_the_word_that_is_one_after_loop_only():
    from vemo.lang.grammar import ENDLESS, KEYWORDS

    text = " ".join(DOC.split())
    assert set(re.search(r"cannot be used as names: `([^`]+)`", text).group(1).split()) == set(KEYWORDS)
    assert f"`{ENDLESS}` is no keyword" in text and f'"loop" (N "times" | "{ENDLESS}")' in text
