"""Puts the host modules `actions` and `modules` in place, then loads the runtime's extension modules."""

from __future__ import annotations

import importlib
import importlib.util
import sys
import types
from pathlib import Path

from vemo.cell.model import Cell

# Names that the runtime's own modules bring into the compiler's namespace after the host's `modules`;
# a cell module of the same name would be shadowed by them.
RUNTIME_NAMES = frozenset({
    "VemoState", "VemoId", "Event", "VemoAction", "VemoModule", "VemoBlock", "StandardBlock",
    "RunExceptBlock", "AsyncBlock", "CompeteBlock", "VemoPriorityQueue", "VemoPriority",
})


class HostError(RuntimeError):
    """The host modules cannot be put in place (not found, or another host is already loaded)."""


def load_module(reference: str, as_name: str) -> types.ModuleType:
    """A module given as a file path (loaded under `as_name`) or as an importable dotted name."""
    path = Path(reference)
    if reference.endswith(".py") or path.is_dir() or path.exists():
        target = path / "__init__.py" if path.is_dir() else path
        if not target.is_file():
            raise HostError(f"{reference}: no such host module file")
        spec = importlib.util.spec_from_file_location(
            as_name, target, submodule_search_locations=[str(path)] if path.is_dir() else None)
        module = importlib.util.module_from_spec(spec)
        sys.modules[as_name] = module
        try:
            spec.loader.exec_module(module)
        except Exception as error:
            del sys.modules[as_name]
            raise HostError(f"{reference}: cannot load the host module: {type(error).__name__}: {error}") from error
        except BaseException:
            del sys.modules[as_name]
            raise
        return module
    try:
        module = importlib.import_module(reference)
    except ImportError as error:
        raise HostError(f"cannot import host module {reference!r}: {error}") from None
    sys.modules[as_name] = module
    return module


def install(cell: Cell | None = None, actions: str | None = None, modules: str | None = None) -> types.ModuleType:
    """Makes the host modules importable as `actions` and `modules` and returns the loaded `compiler`.

    `actions`/`modules` name the user's own host modules (file path or dotted name); by default the
    reference actions and a `modules` package built from `cell` are used. The runtime reads both once,
    when `_vemomodule` and `compiler` load, so a process keeps the host it first installed.
    """
    if modules is None and cell is None:
        raise HostError("a cell description or a host `modules` package is needed")
    if "compiler" in sys.modules:
        if actions is None and modules is None and getattr(sys.modules.get("modules"), "_cell", None) == cell:
            return sys.modules["compiler"]
        raise HostError("the compiler is already loaded with another host in this process; "
                        "start a new process to use another host")
    if actions is None:
        import vemo.cell.actions
        sys.modules["actions"] = vemo.cell.actions
    else:
        load_module(actions, "actions")
    if modules is None:
        from vemo.cell.kinds import modules_package
        sys.modules["modules"] = modules_package(cell)
    else:
        load_module(modules, "modules")
    return importlib.import_module("compiler")
