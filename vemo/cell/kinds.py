"""The reference host's module classes, one base per registered module kind, and the host package `modules`
built from a cell description."""

from __future__ import annotations

import inspect
import types
from typing import Any

from _vemomodule import VemoModule

import vemo.cell.actions
from vemo.cell.actions import Dwell
from vemo.cell.model import Cell, ModuleKind, ModuleSpec, module_kind


class CellModule(VemoModule):
    """A module of the cell: runs its queued actions in order on its own thread."""

    name = "CellModule"
    configs: dict[str, Any] = {}
    spec: ModuleSpec | None = None
    run_context: Any = None  # set by `vemo run` for the run's duration; its actions then drive the cell

    def setup(self, **configs: Any) -> None:
        self.configs_given = configs

    def run(self) -> None:
        self.execute_sequence()

    def dwell(self, milliseconds: int, reason: str = "") -> Dwell:
        """`call @M.dwell(ms)` or `call @M.dwell(ms, "why")`: the module holds still for `ms` milliseconds."""
        return Dwell(type(self), milliseconds=milliseconds, reason=reason, **type(self).configs)


def _operation(name: str, action: type) -> Any:
    """The method `call @M.name(...)` calls: it makes `action` with the arguments as its settings, which
    it takes as its `configure` does (less the module-level settings), so a wrong call is refused in the
    script's terms before anything runs."""
    own = [p for p in inspect.signature(action.configure).parameters.values()
           if p.kind not in (inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD)]
    signature = inspect.Signature(own)

    def operation(self: CellModule, *args: Any, **kwargs: Any) -> Any:
        bound = signature.bind(self, *args, **kwargs)
        bound.apply_defaults()
        settings = dict(list(bound.arguments.items())[1:])
        return action(type(self), **settings, **type(self).configs)

    operation.__name__ = operation.__qualname__ = name
    operation.__signature__ = signature  # type: ignore[attr-defined]
    operation.__doc__ = f"`call @M.{name}()`: {action.__doc__}"
    return operation


def kind_base(kind: ModuleKind) -> type[CellModule]:
    """The base class of a kind's modules: a cell module with the kind's operations, made once per kind."""
    base = _BASES.get(kind)
    if base is None:
        for name, action in kind.operations:
            if hasattr(CellModule, name) or not isinstance(getattr(vemo.cell.actions, action, None), type):
                raise ValueError(f"module kind {kind.name}: operation {name} must be a new name making an action "
                                 f"class of vemo.cell.actions, not {action!r}")
        operations = {name: _operation(name, getattr(vemo.cell.actions, action)) for name, action in kind.operations}
        base = _BASES[kind] = type(f"{kind.name.capitalize()}Module", (CellModule,),
                                   {"__doc__": kind.summary.capitalize() + ".", "__module__": __name__,
                                    **operations})
    return base


_BASES: dict[ModuleKind, type[CellModule]] = {}


def module_class(spec: ModuleSpec) -> type[CellModule]:
    """A module kind for one cell entry; its actions carry the entry's handler id."""
    return type(spec.name, (kind_base(module_kind(spec)),), {
        "name": spec.name,
        "spec": spec,
        "configs": {"handler_id": spec.handler_id},
        "__module__": "modules",
        "__doc__": f"{spec.kind} module {spec.name} of the cell (handler id {spec.handler_id}).",
    })


def modules_package(cell: Cell) -> types.ModuleType:
    """The host package `modules` for a cell: one module kind per entry, exported under its name."""
    package = types.ModuleType("modules", f"Module kinds of the cell {cell.name}.")
    kinds = [module_class(spec) for spec in cell.modules]
    for kind in kinds:
        setattr(package, kind.__name__, kind)
    package.__all__ = [kind.__name__ for kind in kinds]
    package._cell = cell
    return package
