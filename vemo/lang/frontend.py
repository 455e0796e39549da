"""Compiles a script with the runtime's compiler into per-module plans, with every action's script location."""

from __future__ import annotations

import contextlib
import dataclasses
import functools
import gc
import inspect
import io
import types
from typing import Any, Callable, Iterable, Iterator

from vemo.lang.parser import Node, Script, SourceLocation, TreeWalker, parse
from vemo.lang.scriptbounds import MAX_ACTIONS, built_rounds, check_tree, expanded_loops

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
            self.expanded: dict[SourceLocation, int | None] = {}  # the expanded loops by location
            self.loop_origins: list[SourceLocation] = []  # what an action's `loop` setting numbers

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
            if ast.location in self.expanded:
                return self._expanded_loop(ast, self.expanded[ast.location])
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

        def _expanded_loop(self, ast: Any, count: int | None) -> Any:
            """Builds the first rounds and the last of a long loop (the first two of a loop without end) and
            marks each action with its loop and round; the run makes the others from the second."""
            rounds = built_rounds(count)
            result = self.loop(Node("loop", SourceLocation("", 0, 0), {**ast, "cnt": rounds}))
            self.loop_origins.append(ast.location)
            number = len(self.loop_origins)
            lists = [block.evaluate() for block in result.async_block_map.values()] if result.isAsync \
                else [result.evaluate()]
            for actions in lists:
                size = len(actions) // rounds
                for position, action in enumerate(actions):
                    if not isinstance(action, HostAction):
                        raise ValueError(f"a loop of {count if count is not None else 'endless'} rounds repeats "
                                         f"only the cell's actions, not {type(action).__name__}")
                    tag = [number, position // size + 1]
                    action.params["loop"] = tag
                    action.loop = tag
            return result

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


@dataclasses.dataclass(eq=False)
class ExpandedLoop:
    """One use of an expanded loop in the plans: the rounds built of it on each of its modules (the first,
    the second, and the last unless it has no end), which stand in that module's list from `start` on.
    Round k of the whole loop, 2 < k < count, is a copy of the second round whose waits on the second
    round name round k and whose waits on the first name round k - 1 (see vemo.run.feed)."""

    number: int  # 1, 2, ... in plan order
    origin: SourceLocation
    count: int | None  # None: the loop has no end
    start: dict[str, int]  # per module: where its first round starts in the module's list (0-based)
    rounds: dict[str, list[list]]  # per module: the actions of each round built

    def size(self, module: str) -> int:
        """The actions of one round on `module`."""
        return len(self.rounds[module][0])

    def total(self, module: str) -> int | None:
        """The actions the whole loop runs on `module`; None without end."""
        return None if self.count is None else self.count * self.size(module)


@dataclasses.dataclass
class CompiledScript:
    """A compiled script: the main block, one plan per module, where each action was written, the except
    blocks that cover actions of the plans, and the expanded loops whose rounds the plans hold in part."""

    main: Any
    plans: list[ModulePlan]
    semantics: Any
    diagnostics: list[str]
    recoveries: list[Recovery] = dataclasses.field(default_factory=list)
    loops: list[ExpandedLoop] = dataclasses.field(default_factory=list)

    def total(self, plan: ModulePlan) -> int | None:
        """The actions a module runs when the run goes to its end; None when it ends in a loop without end."""
        count = len(plan.actions())
        for loop in self.loops:
            if plan.name in loop.rounds:
                if loop.count is None:
                    return None
                count += loop.total(plan.name) - sum(map(len, loop.rounds[plan.name]))
        return count

    def origin(self, item: Any) -> str | None:
        location = self.semantics.origin(item)
        if location is not None:
            return str(location)
        return getattr(item, "origin", None)

    def recovery_of(self, action: Any) -> Recovery | None:
        """The except block of the innermost `try` around an action of the plans, if any."""
        number = getattr(action, "recovery", None)
        return next((r for r in self.recoveries if r.number == number), None) if number is not None else None


def numbered(plans: list, loops: Iterable[ExpandedLoop] = ()) -> Iterator[tuple[str, Any, int, Any, tuple | None]]:
    """(module, lane, index, action, (loop, round) or None) for every action the plans hold, each with its
    index in its module's whole list: the rounds of an expanded loop that the run makes as it goes count,
    though the plans do not hold them."""
    loops = list(loops)
    for plan in plans:
        uses = {loop.start[plan.name]: loop for loop in loops if plan.name in loop.start}
        index = 0  # counted on across a module's lanes
        for lane, actions in plan.lanes.items():
            position = 0
            while position < len(actions):
                loop = uses.get(position) if lane is None else None
                if loop is None:
                    index += 1
                    yield plan.name, lane, index, actions[position], None
                    position += 1
                    continue
                size, built = loop.size(plan.name), loop.rounds[plan.name]
                for r, part in enumerate(built):
                    k = loop.count if loop.count is not None and r == len(built) - 1 else r + 1
                    for j, action in enumerate(part):
                        yield plan.name, lane, index + (k - 1) * size + j + 1, action, (loop.number, k)
                position += sum(map(len, built))
                index += loop.total(plan.name) or 0


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
    expanded: dict[int, int | None] = dataclasses.field(default_factory=dict)  # expanded loops by position


def parse_script(text: str, filename: str, max_actions: int = MAX_ACTIONS,
                 parser: Callable[[Script], Any] = parse, expand: bool = True) -> ParsedScript:
    """Parses a script and checks it before anything is built (loop counts, labels, the number of actions);
    a ScriptError names the place of the first problem. Needs no cell. An editor passes a `parser` that
    reuses the trees of what an edit left alone; it gives the trees and errors `parse` gives. With
    `expand` false every loop is built in full (no loop without end then)."""
    script = Script(text, filename)
    with collector_paused():
        tree = parser(script)
        expanded, errors = expanded_loops(tree, script)
        if not expand:
            errors = [script.error(pos, "a loop without end can only run as it goes")
                      for pos, count in expanded.items() if count is None]
            expanded = {}
        found, counts = check_tree(tree, script, max_actions, expanded)
        errors = sorted([*errors, *found], key=lambda e: (e.location.line, e.location.column))
    if errors:
        raise errors[0]
    return ParsedScript(script, tree, counts, expanded)


def compile_script(text: str | ParsedScript, filename: str, compiler: types.ModuleType,
                   max_actions: int = MAX_ACTIONS) -> CompiledScript:
    """Parses (unless given a ParsedScript) and compiles a script; a ScriptError names the place of the
    first problem."""
    parsed = text if isinstance(text, ParsedScript) else parse_script(text, filename, max_actions)
    semantics = _located_semantics_class(compiler)()
    semantics.script = parsed.script
    semantics.action_counts = parsed.action_counts
    semantics.expanded = {parsed.script.location(pos): count for pos, count in parsed.expanded.items()}
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
        loops = _loops_in(semantics, plans)
    diagnostics = [line for line in captured.getvalue().splitlines() if line.strip()]
    return CompiledScript(main, plans, semantics, diagnostics, recoveries, loops)


def _loops_in(semantics: Any, plans: list[ModulePlan]) -> list[ExpandedLoop]:
    """Finds the uses of expanded loops in the plans: on each module, a run of actions marked with one loop
    whose rounds do not go back (a loop used twice in a row starts again at its first round). The n-th use
    of a loop on one module is its n-th use on every module it runs on."""
    loops: list[ExpandedLoop] = []
    by_use: dict[tuple[int, int], ExpandedLoop] = {}
    for plan in plans:
        if isinstance(plan.sequence, dict):
            continue  # lanes hold no expanded loop: the loops inside a compete block are built in full
        uses: dict[int, int] = {}
        current: tuple[int, int] | None = None  # (loop, use) of the run being read
        last_round = 0
        for position, action in enumerate(plan.sequence):
            tag = getattr(action, "loop", None)
            if tag is None:
                current = None
                continue
            number, round_ = tag
            if current is None or current[0] != number or round_ < last_round:
                uses[number] = uses.get(number, 0) + 1
                current = (number, uses[number])
                loop = by_use.get(current)
                if loop is None:
                    count = semantics.expanded[semantics.loop_origins[number - 1]]
                    loop = by_use[current] = ExpandedLoop(len(loops) + 1, semantics.loop_origins[number - 1], count,
                                                          {}, {})
                    loops.append(loop)
                loop.start[plan.name] = position
                loop.rounds[plan.name] = [[] for _ in range(built_rounds(loop.count))]
            last_round = round_
            by_use[current].rounds[plan.name][round_ - 1].append(action)
    for loop in loops:
        _check_expanded(semantics, plans, loop)
    return loops


def _check_expanded(semantics: Any, plans: list[ModulePlan], loop: ExpandedLoop) -> None:
    """Refuses what an expanded loop cannot run as: rounds of unequal size, and waits from outside the loop
    on its rounds that the run makes as it goes (the second's, and any of a loop without end). A loop
    without end must be the last thing on its modules."""
    error = functools.partial(semantics.script.error, loop.origin)
    made_actions = [a for rounds in loop.rounds.values() for part in (rounds if loop.count is None else rounds[1:2])
                    for a in part]
    made = {id(a) for a in made_actions}
    made_signals = {id(a.finish_signal) for a in made_actions}
    inside = {id(a) for rounds in loop.rounds.values() for part in rounds for a in part}
    for name, rounds in loop.rounds.items():
        if len({len(part) for part in rounds}) != 1:
            raise error("the rounds of this loop differ in length on " + name + ": it cannot be repeated as "
                        "the run goes")
    for plan in plans:
        if isinstance(plan.sequence, dict):
            continue
        for position, action in enumerate(plan.sequence):
            if id(action) in inside:
                continue
            if loop.count is None and plan.name in loop.start and position > loop.start[plan.name]:
                raise error(f"nothing can follow a loop without end on {plan.name}, but "
                            f"{semantics.origin(action) or getattr(action, 'origin', None) or 'an action'} does")
            waits = [d for d in action.dependency if id(d) in made]
            if waits or (action.script_dep is not None and id(action.script_dep) in made_signals):
                where = getattr(action, "origin", None) or "an action"
                what = "a loop without end" if loop.count is None else "its middle rounds"
                raise error(f"{where} waits on {what}, which the run makes as it goes: wait on a block after "
                            f"the loop or on the whole loop instead")


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
