"""The reference host's module kinds, and the host package `modules` built from a cell description."""

from __future__ import annotations

import types
from typing import Any

from _vemomodule import VemoModule

from vemo.actions import Dwell, Home
from vemo.cell import Cell, ModuleSpec


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


class AxisModule(CellModule):
    """A motion axis with named positions."""

    def home(self) -> Home:
        """`call @M.home()`: the axis homes and ends at its home position."""
        return Home(type(self), **type(self).configs)


class IOModule(CellModule):
    """An IO unit with named IO points."""


class TrayModule(CellModule):
    """A tray handler that moves trays through named position sequences."""

    def home(self) -> Home:
        """`call @M.home()`: the handler homes and ends at its home position."""
        return Home(type(self), **type(self).configs)


KIND_BASES = {"axis": AxisModule, "io": IOModule, "tray": TrayModule}


def module_kind(spec: ModuleSpec) -> type[CellModule]:
    """A module kind for one cell entry; its actions carry the entry's handler id."""
    return type(spec.name, (KIND_BASES[spec.kind],), {
        "name": spec.name,
        "spec": spec,
        "configs": {"handler_id": spec.handler_id},
        "__module__": "modules",
        "__doc__": f"{spec.kind} module {spec.name} of the cell (handler id {spec.handler_id}).",
    })


def modules_package(cell: Cell) -> types.ModuleType:
    """The host package `modules` for a cell: one module kind per entry, exported under its name."""
    package = types.ModuleType("modules", f"Module kinds of the cell {cell.name}.")
    kinds = [module_kind(spec) for spec in cell.modules]
    for kind in kinds:
        setattr(package, kind.__name__, kind)
    package.__all__ = [kind.__name__ for kind in kinds]
    package._cell = cell
    return package
