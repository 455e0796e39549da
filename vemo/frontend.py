"""Compiles a script with the runtime's compiler into per-module plans, with every action's script location."""

from __future__ import annotations

import contextlib
import dataclasses
import gc
import inspect
import io
import types
from typing import Any, Callable

from vemo.parser import Script, SourceLocation, TreeWalker, parse
from vemo.scriptbounds import MAX_ACTIONS, check_tree

# What a bare assertion failure of a rule means in the script's terms.
_ASSERTIONS = {
    "block": "the actions of a block and of the blocks chained to it with 'then' must all belong to one "
             "module; combine modules with async",
    "asyncblock": "a branch of this async block still holds something that is not an action after resolution",
    "competeblock": "a competitor still holds something that is not an action after resolution",
    "action": 'no block is declared as "main"',
}


def explain(rule: str, error: BaseException) -> str:
    """A compile failure as the script's author reads it."""
    if isinstance(error, AssertionError) and not str(error):
        return _ASSERTIONS.get(rule, f"{rule}: check failed")
    if type(error) is ValueError:
        return str(error)
    return f"{rule}: {type(error).__name__}: {error}"


def _located_semantics_class(compiler: types.ModuleType) -> type:
    """A VemoSemantics that tags what it builds with script locations and checks names early."""
    from _vemoaction import VemoAction
    from _vemomodule import VemoModule
    from _vemoprimitives import VemoId

    from vemo.actions import HostAction

    class LocatedSemantics(compiler.VemoSemantics):
        def __init__(self) -> None:
            super().__init__()
            self.origins: dict[int, tuple[Any, SourceLocation]] = {}
            self.declarations: dict[str, SourceLocation] = {}
            self.script: Any = None
            self.action_counts: dict[str, int] = {}

        def record(self, rule: str, result: Any, location: SourceLocation) -> None:
            if rule == "declaration":
                self.declarations[str(result.id)] = location
            if isinstance(result, (VemoId, VemoAction)):
                self.origins[id(result)] = (result, location)
            if isinstance(result, HostAction) and result.origin is None:
                # Copies are rebuilt from the settings, so the location travels with them.
                result.params["origin"] = str(location)
                result.origin = str(location)

        def origin(self, item: Any) -> SourceLocation | None:
            entry = self.origins.get(id(item))
            return entry[1] if entry is not None and entry[0] is item else None

        def module(self, ast: str) -> Any:
            try:
                kind = super().module(ast)
            except Exception:
                raise ValueError(f"unknown module {ast!r}: the cell has no module "
                                 f"{ast.replace('@', '')!r}") from None
            if not (isinstance(kind, type) and issubclass(kind, VemoModule)):
                raise ValueError(f"{ast!r} names {kind!r}, which is not a module kind")
            return kind

        def block(self, ast: Any) -> Any:
            primary = ast.primary if isinstance(ast.primary, list) else [ast.primary]
            for element in primary:
                if isinstance(element, VemoId) and element.id not in self.global_zone:
                    location = self.origin(element) or ast.location
                    raise self.script.error(location, f"{element.id!r} is not a block declared before this point")
                if isinstance(element, VemoId) and self.action_counts.get(element.id) == 0:
                    location = self.origin(element) or ast.location
                    raise self.script.error(location, f"{element.id!r} makes no actions (a loop of 0 rounds), so "
                                                      f"it cannot stand in a block")
            self._check_whole_block_references(ast, primary)
            return super().block(ast)

        def _check_whole_block_references(self, ast: Any, primary: list) -> None:
            """An async or compete block used by name replaces the whole block it is written in, so
            anything beside it would be dropped without a word, and the blocks chained after it must be
            of the same kind, module by module or competitor by competitor."""
            whole = [self.global_zone[e.id] for e in primary
                     if isinstance(e, VemoId) and (self.global_zone[e.id].isAsync or self.global_zone[e.id].isCompete)]
            others = ast.get("others")
            if not whole:
                if others is not None and (others.isAsync or others.isCompete):
                    raise ValueError("a block of one module cannot be followed with 'then' by an async or "
                                     "compete block")
                return
            declared = whole[0]
            kind = "an async" if declared.isAsync else "a compete"
            if len(primary) > 1:
                raise ValueError(f"{kind} block used by name must stand alone in its block: "
                                 f"the other elements would be dropped")
            if others is None:
                return
            if declared.isAsync != bool(others.isAsync) or declared.isCompete != bool(others.isCompete):
                raise ValueError(f"{kind} block can only be followed with 'then' by a block of the same kind")
            if declared.isAsync:
                missing = [name for name in declared.async_block_map if name not in others.async_block_map]
                if missing:
                    raise ValueError(f"the async block after 'then' has no branch for {', '.join(missing)}; "
                                     f"every module of the first must go on in the next")
            elif len(others.compete_blocks) < len(declared.compete_blocks):
                raise ValueError("the compete block after 'then' has fewer competitors than the first")

        def external(self, ast: Any) -> Any:
            kind, name = ast.mod, ast.ident.id
            if name.startswith("_") or not callable(getattr(kind, name, None)):
                raise ValueError(f"{getattr(kind, 'name', kind)} has no operation {name!r} "
                                 f"(it has: {', '.join(operations(kind)) or 'none'})")
            _check_arguments(getattr(kind, "name", kind), name, getattr(kind, name), ast)
            return super().external(ast)

        def _single_module_branches(self, ast: Any, left: str, right: str, construct: str) -> None:
            if not ast.get(right):
                return
            for branch in [ast.get(left), *ast.get(right)]:
                if branch.isAsync or branch.isCompete:
                    raise ValueError(f"a branch of {construct} must run on one module; an async or compete "
                                     f"block cannot be one of its branches")

        def asyncblock(self, ast: Any) -> Any:
            self._single_module_branches(ast, "asyncleft", "asyncright", "async")
            result = super().asyncblock(ast)
            if ast.get("asyncright") and len(result.async_block_map) < len(result.async_blocks):
                names = [block.module_name for block in result.async_blocks]
                twice = sorted({name for name in names if names.count(name) > 1})
                raise ValueError(f"more than one branch runs on {', '.join(map(str, twice))}; an async block "
                                 f"keeps one branch per module, so chain them with 'then' or use compete")
            return result

        def competeblock(self, ast: Any) -> Any:
            self._single_module_branches(ast, "competeleft", "competeright", "compete")
            return super().competeblock(ast)

        def loop(self, ast: Any) -> Any:
            body = ast.iterateBlock
            if body.isCompete:
                raise ValueError("a compete block cannot be repeated; repeat inside its competitors instead")
            if ast.cnt == 0:
                # Nothing to repeat, whatever the body; the compiler would keep one round of an async body.
                return compiler.StandardBlock()
            if not body.isAsync:
                for action in body.evaluate():
                    waits = [d.id for d in action.dependency if isinstance(d, VemoId)]
                    if waits:
                        raise ValueError(f"the loop body waits for {', '.join(map(repr, waits))}, which is not "
                                         f"met inside it; declare the body as an async block and loop over "
                                         f"its name")
            return super().loop(ast)

        def action(self, ast: Any) -> Any:
            result = super().action(ast)
            if result is None:
                raise AssertionError
            return result

    return LocatedSemantics


def operations(kind: type) -> list[str]:
    """The operations `call @Module.name(...)` can name on a module kind: its own public methods."""
    from _vemomodule import VemoModule

    base = set(dir(VemoModule)) | {"setup", "run"}
    return sorted(n for n in dir(kind) if not n.startswith("_") and n not in base and callable(getattr(kind, n)))


def _check_arguments(module: str, name: str, operation: Any, ast: Any) -> None:
    """Refuses a call whose arguments the operation cannot take, in the script's terms."""
    try:
        signature = inspect.signature(operation)
    except (TypeError, ValueError):
        return  # an operation of an extension type: it reports its own argument errors
    right = ast.get("argRight")
    arguments = ([] if ast.get("argLeft") is None else [ast.argLeft]) + (
        right if isinstance(right, list) else [] if right is None else [right])
    try:
        signature.bind(None, *arguments)
    except TypeError:
        parameters = [p.replace(annotation=inspect.Parameter.empty)
                      for p in list(signature.parameters.values())[1:]]
        shown = ", ".join(str(p) for p in parameters)
        given = {0: "no arguments", 1: "1 argument"}.get(len(arguments), f"{len(arguments)} arguments")
        raise ValueError(f"{module}.{name} takes ({shown}), not {given}") from None


@dataclasses.dataclass
class ModulePlan:
    """What one module runs: its kind and its action list (sequence mode) or lane map (lane mode)."""

    name: str
    kind: type
    sequence: list | dict

    @property
    def lanes(self) -> dict[Any, list]:
        return self.sequence if isinstance(self.sequence, dict) else {None: self.sequence}

    def actions(self) -> list:
        return [action for lane in self.lanes.values() for action in lane]


@dataclasses.dataclass
class CompiledScript:
    """A compiled script: the main block, one plan per module, and where each action was written."""

    main: Any
    plans: list[ModulePlan]
    semantics: Any
    diagnostics: list[str]
    exception_actions: list = dataclasses.field(default_factory=list)

    def origin(self, item: Any) -> str | None:
        location = self.semantics.origin(item)
        if location is not None:
            return str(location)
        return getattr(item, "origin", None)


def _kind_of(sequence: list | dict) -> type | None:
    lists = sequence.values() if isinstance(sequence, dict) else [sequence]
    for actions in lists:
        for action in actions:
            return action.module
    return None


def plan_modules(main: Any) -> list[ModulePlan]:
    """Evaluates the main block into one plan per module, the way the host hands them to modules."""
    if main.isAsync:
        parts = [(name, block.evaluate()) for name, block in main.async_block_map.items()]
    else:
        parts = [(main.module_name, main.evaluate())]
    plans = []
    for name, sequence in parts:
        kind = _kind_of(sequence)
        if kind is not None:
            plans.append(ModulePlan(str(getattr(kind, "name", name)), kind, sequence))
    return plans


@contextlib.contextmanager
def collector_paused() -> Any:
    """Parsing, compiling and analysing make many long-lived objects and next to no cyclic garbage; the
    cyclic collector's full collections walk every live object, which made large scripts compile slower
    per action the larger they were. It runs again as usual afterwards."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


@dataclasses.dataclass(frozen=True)
class ParsedScript:
    """A script's text and its parse tree, checked for what would make compiling it unbounded."""

    script: Script
    tree: Any
    action_counts: dict[str, int]  # actions each declared block makes


def parse_script(text: str, filename: str, max_actions: int = MAX_ACTIONS,
                 parser: Callable[[Script], Any] = parse) -> ParsedScript:
    """Parses a script and checks it before anything is built (loop counts, labels, the number of actions);
    a ScriptError names the place of the first problem. Needs no cell. An editor passes a `parser` that
    reuses the trees of what an edit left alone; it gives the trees and errors `parse` gives."""
    script = Script(text, filename)
    with collector_paused():
        tree = parser(script)
        errors, counts = check_tree(tree, script, max_actions)
    if errors:
        raise errors[0]
    return ParsedScript(script, tree, counts)


def compile_script(text: str | ParsedScript, filename: str, compiler: types.ModuleType,
                   max_actions: int = MAX_ACTIONS) -> CompiledScript:
    """Parses (unless given a ParsedScript) and compiles a script; a ScriptError names the place of the
    first problem."""
    parsed = text if isinstance(text, ParsedScript) else parse_script(text, filename, max_actions)
    semantics = _located_semantics_class(compiler)()
    semantics.script = parsed.script
    semantics.action_counts = parsed.action_counts
    walker = TreeWalker(semantics.script, semantics, on_result=semantics.record, explain=explain)
    tree = parsed.tree
    captured = io.StringIO()
    with contextlib.redirect_stdout(captured), collector_paused():
        main = walker.walk(tree)
        try:
            plans = plan_modules(main)
        except Exception as error:
            location = semantics.declarations.get("main", semantics.script.location(0))
            raise semantics.script.error(location, f"main cannot be evaluated: {type(error).__name__}: "
                                                   f"{error}") from error
    diagnostics = [line for line in captured.getvalue().splitlines() if line.strip()]
    exception = getattr(main, "exception_block", None)
    exception_actions = exception.evaluate() if hasattr(exception, "evaluate") else []
    return CompiledScript(main, plans, semantics, diagnostics, exception_actions)
