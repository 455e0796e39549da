"""The registry of module kinds is the one list of them: the cell reader, the host's module classes, the
handler check, the docs and the editor follow it, and a kind added to it alone is read, built and checked."""

import ast
import json
import re

import pytest

from frontend_support import ROOT, run_python, runtime_has
from vemo.cell.model import DRIVES, IO, MODULE_KINDS, CellError, ModuleKind, parse_cell

DOC = (ROOT / "docs" / "language.md").read_text()
TABLE_HEAD = "| kind | what it is | settings | operations | at the handler |"



def _jets(where, entry):
    return {"points": dict(entry.get("jets") or {})}


# A kind that exists only in these tests: an ejector whose `jets` are IO points, with an operation `settle`
# that makes the reference host's dwell.
EJECTOR = ModuleKind("ejector", frozenset({"jets"}), _jets, drives=IO, handler_check="pins",
                     summary="a bank of air jets that blow parts off a belt", operations=(("settle", "Dwell"),))
EJECTOR_CELL = "modules:\n  Eject: {kind: ejector, handler_id: 7, jets: {left: 1, right: 9}}\n"


def _ticked(cell):
    return set(re.findall(r"`([^`]+)`", cell))


def _documented_kinds():
    rows = DOC[DOC.index(TABLE_HEAD):].split("\n\n")[0].splitlines()[2:]
    found = {}
    for row in rows:
        name, summary, settings, operations, _ = [cell.strip() for cell in row.strip("|").split("|")]
        found[name.strip("`")] = (summary, _ticked(settings), _ticked(operations))
    return found


def test_the_docs_list_exactly_the_registered_kinds_with_their_settings_and_operations():
    assert _documented_kinds() == {
        kind.name: (kind.summary, set(kind.keys), {f"{name}()" for name, _ in kind.operations})
        for kind in MODULE_KINDS.values()}
    names = list(MODULE_KINDS)
    listed = re.search(r"kind: \w+ +# (.+)", DOC).group(1)
    assert listed == ", ".join(names[:-1]) + " or " + names[-1]


@pytest.mark.parametrize("kind", ["laser", "[axis]", "{a: 1}", "null", "3"])
def test_an_unknown_kind_is_refused_naming_every_registered_kind(monkeypatch, kind):
    monkeypatch.setitem(MODULE_KINDS, "ejector", EJECTOR)
    with pytest.raises(CellError) as caught:
        parse_cell(f"modules: {{X: {{kind: {kind}, handler_id: 1}}}}", "c.yaml")
    assert f"kind must be one of {', '.join([*_documented_kinds(), 'ejector'])}, got " in str(caught.value)


def test_every_kind_drives_what_the_handler_settings_know_and_names_a_handler_check():
    from vemo.cell.handlersettings import HANDLER_CHECKS, read_handler_modules

    found = read_handler_modules(ROOT / "examples" / "handler" / "cell.yaml")
    assert {module.kind for module in found.values()} == set(DRIVES)
    assert {kind.drives for kind in MODULE_KINDS.values()} <= set(DRIVES)
    assert {kind.handler_check for kind in MODULE_KINDS.values()} == set(HANDLER_CHECKS)


def test_a_kind_added_to_the_registry_is_read_and_checked_against_the_handler(monkeypatch):
    from vemo.cell.handlersettings import HandlerModule, check_cell

    monkeypatch.setitem(MODULE_KINDS, "ejector", EJECTOR)
    cell = parse_cell(EJECTOR_CELL, "c.yaml")
    assert cell.module("Eject").kind == "ejector" and cell.module("Eject").points == {"left": 1, "right": 9}
    with pytest.raises(CellError, match="unknown settings for a ejector module: positions"):
        parse_cell(EJECTOR_CELL.replace("}}", "}, positions: {a: 1}}"), "c.yaml")
    errors, _ = check_cell(cell, {7: HandlerModule(7, IO, output_bits=8)}, "h.yaml")
    assert errors == ["Eject: IO point right is pin 9, but handler module 7 has 8 outputs (pins 0 to 7)"]
    errors, _ = check_cell(cell, {7: HandlerModule(7, "motor")}, "h.yaml")
    assert errors == ["Eject: handler id 7 is a motor in h.yaml, but the cell makes it an ejector module"]


@pytest.mark.skipif(not runtime_has("_vemoaction", "_vemomodule", "compiler"),
                    reason="needs the runtime's extension modules")
def test_a_kind_added_to_the_registry_gets_a_module_class_its_operations_and_editor_texts(tmp_path):
    (tmp_path / "cell.yaml").write_text(EJECTOR_CELL)
    result = run_python(f"""
import dataclasses, json, sys
sys.path.insert(0, {str(ROOT / "tests" / "frontend")!r})
from test_module_kinds import EJECTOR
from vemo.cell.model import MODULE_KINDS
MODULE_KINDS["ejector"] = EJECTOR
from vemo.lsp.checker import Checker
from vemo.lsp.completion import candidates
checker = Checker({str(tmp_path / "cell.yaml")!r})
good = checker.check("file:///a.vemo", "a.vemo", "main = {{ set @Eject left on  call @Eject.settle(20) }}")
bad = checker.check("file:///b.vemo", "b.vemo", "main = {{ call @Eject.settle() }}")
kind = sys.modules["modules"].Eject
from vemo.cell.model import parse_cell
from vemo.cell.kinds import modules_package
refused = []
for operation in [("run", "Dwell"), ("blow", "Blow")]:  # the module's own loop; no such action class
    MODULE_KINDS["ejector"] = dataclasses.replace(MODULE_KINDS["ejector"], operations=(operation,))
    try:
        modules_package(parse_cell({EJECTOR_CELL!r}))
    except ValueError as error:
        refused.append(str(error))
print(json.dumps({{
    "base": kind.__mro__[1].__name__, "problem": checker.cell_problem,
    "good": [d["message"] for d in good["diagnostics"]], "bad": [d["message"] for d in bad["diagnostics"]],
    "module": [c.detail for c in candidates("@", 1, checker.modules())],
    "operations": [c.label for c in candidates("call @Eject.", 12, checker.modules())],
    "run": sorted(name for name in sys.modules if name.startswith("vemo.run")), "refused": refused,
}}))
""")
    assert result.returncode == 0, result.stderr
    got = json.loads(result.stdout.splitlines()[-1])
    assert got == {"base": "EjectorModule", "problem": None, "good": [],
                   "bad": ["Eject.settle takes (milliseconds, reason=''), not no arguments"],
                   "module": ["ejector module: a bank of air jets that blow parts off a belt"],
                   "operations": ["dwell", "settle"], "run": [], "refused": [
                       "module kind ejector: operation run must be a new name making an action class of "
                       "vemo.cell.actions, not 'Dwell'",
                       "module kind ejector: operation blow must be a new name making an action class of "
                       "vemo.cell.actions, not 'Blow'"]}


@pytest.mark.skipif(not runtime_has("_vemoaction"), reason="needs the _vemoaction extension module")
def test_every_operation_of_a_kind_makes_an_action_of_the_reference_host():
    import vemo.cell.actions

    for kind in MODULE_KINDS.values():
        for name, action in kind.operations:
            assert issubclass(getattr(vemo.cell.actions, action), vemo.cell.actions.HostAction), (kind.name, name)



def _kind_lists_and_tests(tree):
    """Places in a module's code that spell out kinds: a collection literal naming two or more, or a
    comparison of a `.kind` with a kind's name."""
    names = set(MODULE_KINDS)

    def spelled(nodes):
        return {n.value for n in nodes if isinstance(n, ast.Constant) and n.value in names}

    for node in ast.walk(tree):
        items = node.keys if isinstance(node, ast.Dict) else getattr(node, "elts", None)
        if isinstance(node, (ast.Tuple, ast.List, ast.Set, ast.Dict)) and len(spelled(items)) >= 2:
            yield node.lineno, "a list of kinds"
        elif isinstance(node, ast.Compare) and any(isinstance(o, ast.Attribute) and o.attr == "kind"
                                                   for o in [node.left, *node.comparators]) and spelled(ast.walk(node)):
            yield node.lineno, "a test of a kind by name"


def test_no_module_but_the_cell_model_lists_kinds_or_tests_one_by_name():
    found = [f"{path.relative_to(ROOT)}:{line}: {what}" for path in sorted((ROOT / "vemo").rglob("*.py"))
             if path.name != "cell.py" for line, what in _kind_lists_and_tests(ast.parse(path.read_text()))]
    assert found == []
    assert list(_kind_lists_and_tests(ast.parse('KIND_BASES = {"axis": A, "io": B}\nif spec.kind == "io": pass')))
