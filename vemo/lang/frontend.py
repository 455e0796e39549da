"""Compiles a script with the runtime's compiler into per-module plans, with every action's script location."""

from __future__ import annotations

import contextlib
import dataclasses
import functools
import gc
import inspect
import io
import types
from typing import Any, Callable

from vemo.lang.parser import Script, SourceLocation, TreeWalker, parse
from vemo.lang.scriptbounds import MAX_ACTIONS, check_tree

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


def block_actions(block: Any) -> list:
    """Every action of a block: all branches of an async block, all competitors of a compete block. A
    compete block is read competitor by competitor: evaluating it whole turns it into its lane map."""
    if block.isAsync:
        parts = list(block.async_block_map.values())
    elif block.isCompete:
        parts = list(block.compete_blocks)
    else:
        parts = [block]
    return [action for part in parts for action in part.evaluate()]


def _located_semantics_class(compiler: types.ModuleType) -> type:
    """A VemoSemantics that tags what it builds with script locations and checks names early, and marks
    each action with the except block of the innermost `try` around it."""
    from _vemoaction import VemoAction
    from _vemomodule import VemoModule
    from _vemoprimitives import VemoId

    from vemo.cell.actions import HostAction, WaitInput

    class LocatedSemantics(compiler.VemoSemantics):
        def __init__(self) -> None:
            super().__init__()
            self.origins: dict[int, tuple[Any, SourceLocation]] = {}
            self.declarations: dict[str, SourceLocation] = {}
            self.recoveries: list[Recovery] = []
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
            try:
                return super().block(ast)
            except (ValueError, AssertionError):
                raise
            except Exception as error:
                # An async or compete block used by name is resolved again here, and the compiler stops
                # at a wait that names no label it can see without saying which: point at that wait.
                if "not exist" in str(error):
                    self._raise_unmet_wait(primary)
                raise

        def _raise_unmet_wait(self, primary: list) -> None:
            for element in primary:
                declared = self.global_zone.get(element.id) if isinstance(element, VemoId) else None
                if declared is None or not (declared.isAsync or declared.isCompete):
                    continue
                for action in block_actions(declared):
                    for dependency in action.dependency:
                        where = self.origin(dependency) if isinstance(dependency, VemoId) else None
                        if where is not None:
                            module = getattr(action.module, "name", action.module)
                            raise self.script.error(where, f"wait on {dependency.id!r} names no block that this "
                                                           f"{module} action can see (a named block of its chain "
                                                           f"or of another branch of the same async or compete "
                                                           f"block)")

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
            if not is_operation(kind, name):
                raise ValueError(f"{getattr(kind, 'name', kind)} has no operation {name!r} "
                                 f"(it has: {', '.join(operations(kind)) or 'none'})")
            _check_arguments(getattr(kind, "name", kind), name, getattr(kind, name), ast)
            return super().external(ast)

        def sense(self, ast: Any) -> Any:
            """`wait @Module input on|off [within N ms|s]`: an action of that module, built by the host."""
            kind, name = ast.mod, ast.ident.id
            try:
                return WaitInput(kind, input_id=name, level=ast.level, within=ast.get("limit"),
                                 unit=ast.get("unit") or "s", **getattr(kind, "configs", {}))
            except ValueError as error:
                # Pointed at the word at fault: the input's name, or the time limit.
                wrong_input = name not in getattr(getattr(kind, "spec", None), "inputs", {name: 0})
                location = self.origin(ast.ident) if wrong_input else self.origin(ast.get("limit"))
                raise self.script.error(location or ast.location, str(error)) from None

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

        def actionclause(self, ast: Any) -> Any:
            """Rules run inner blocks first, so the actions of a nested `try` (a declared block used inside
            this one) are marked already: an action keeps the except block of its innermost `try`. The
            mark is a setting, so the copies that uses by name and loops make later carry it along."""
            result = super().actionclause(ast)
            if "exception" in ast:
                recovery = Recovery(len(self.recoveries) + 1, ast.location, ast.exception)
                self.recoveries.append(recovery)
                for action in block_actions(ast.primary):
                    if isinstance(action, HostAction) and action.recovery is None:
                        action.params["recovery"] = recovery.number
                        action.recovery = recovery.number
            return result

        def action(self, ast: Any) -> Any:
            result = super().action(ast)
            if result is None:
                raise AssertionError
            return result

    return LocatedSemantics


@functools.cache
def _module_base_names() -> frozenset[str]:
    from _vemomodule import VemoModule

    return frozenset(dir(VemoModule)) | {"setup", "run"}


def is_operation(kind: type, name: str) -> bool:
    """Whether `call @Module.name(...)` can name `name` on a module kind: one of its own public methods."""
    return not name.startswith("_") and name not in _module_base_names() and callable(getattr(kind, name, None))


def operations(kind: type) -> list[str]:
    """The operations `call @Module.name(...)` can name on a module kind."""
    return sorted(name for name in dir(kind) if is_operation(kind, name))


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


@dataclasses.dataclass(eq=False)
class Recovery:
    """The except block of one `try`: what the cell does when an action inside the try fails and the run
    ends because of it. `number` is what the covered actions carry as their `recovery` setting; `name`
    (E1, E2, ...) numbers the except blocks the program can run, in script order."""

    number: int
    origin: SourceLocation  # where the `try` is written
    block: Any
    name: str = ""
    plans: list[ModulePlan] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class CompiledScript:
    """A compiled script: the main block, one plan per module, where each action was written, and the
    except blocks that cover actions of the plans."""

    main: Any
    plans: list[ModulePlan]
    semantics: Any
    diagnostics: list[str]
    recoveries: list[Recovery] = dataclasses.field(default_factory=list)

    def origin(self, item: Any) -> str | None:
        location = self.semantics.origin(item)
        if location is not None:
            return str(location)
        return getattr(item, "origin", None)

    def recovery_of(self, action: Any) -> Recovery | None:
        """The except block of the innermost `try` around an action of the plans, if any."""
        number = getattr(action, "recovery", None)
        return next((r for r in self.recoveries if r.number == number), None) if number is not None else None


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
        recoveries = _recoveries(semantics, plans)
    diagnostics = [line for line in captured.getvalue().splitlines() if line.strip()]
    return CompiledScript(main, plans, semantics, diagnostics, recoveries)


def _recoveries(semantics: Any, plans: list[ModulePlan]) -> list[Recovery]:
    """The except blocks that cover actions of the plans, named E1, E2, ... in script order, each with its
    own plans: an except block runs like a program of its own."""
    covering = {getattr(action, "recovery", None) for plan in plans for action in plan.actions()}
    used = [recovery for recovery in semantics.recoveries if recovery.number in covering]
    for index, recovery in enumerate(used, 1):
        recovery.name = f"E{index}"
        try:
            recovery.plans = plan_modules(recovery.block)
        except Exception as error:
            raise semantics.script.error(recovery.origin, f"the except block cannot be evaluated: "
                                                          f"{type(error).__name__}: {error}") from error
    return used
