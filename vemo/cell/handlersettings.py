"""The handler settings file as `vemo run` reads it (the KinraIDs it drives, as the handler client classifies
them) and the check of a cell against it before anything runs."""

from __future__ import annotations

import dataclasses
from pathlib import Path
from typing import Any, Callable

from vemo.cell.model import IO, MOTOR, Cell, ModuleSpec, module_kind
from vemo.cell.handlercommands import coordinates
from vemo.util.inputfile import MAX_YAML_BYTES, read_input
from vemo.util.yamlfile import load_yaml


@dataclasses.dataclass(frozen=True)
class HandlerModule:
    """What the handler settings file says about one KinraID."""

    kinra_id: int
    kind: str  # MOTOR or IO
    output_bits: int = 0
    input_bits: int = 0
    limits: tuple[float | None, float | None] = (None, None)  # simulator travel limits (Sim/Min, Sim/Max)
    missing: tuple[str, ...] = ()  # settings the handler client needs to drive this module and does not find


_MOTOR_FACTORS = ("DistanceFactor", "SpeedFactor", "AccelerationFactor")
_IO_ENTRY_NUMBERS = ("Slot", "InputBytes", "OutputBytes")


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _motor_missing(node: dict, in_akribis: bool) -> tuple[str, ...]:
    params = node.get("Params")
    missing = [f"Params/{name}" for name in _MOTOR_FACTORS
               if not isinstance(params, dict) or not _is_number(params.get(name)) or params.get(name) == 0]
    if not in_akribis and not _is_number(node.get("SlaveNo")):
        missing.append("SlaveNo")
    return tuple(missing)


def _io_section(section: dict, path: str | Path) -> dict:
    """The IOModule section, which the handler client reads when it starts, whatever modules a cell uses."""
    io = section.get("IOModule")
    if not isinstance(io, dict) or not isinstance(io.get("Modules"), list):
        raise ValueError(f"{path}: xan_handler has no IOModule section with a Modules list; the handler client "
                         f"needs one (it may be an empty list: IOModule: {{SlaveNo: 0, Modules: []}})")
    for number, entry in enumerate(io["Modules"], 1):
        lacking = [name for name in _IO_ENTRY_NUMBERS if not isinstance(entry, dict) or not _is_number(entry.get(name))]
        if lacking:
            raise ValueError(f"{path}: IOModule module {number} has no numeric {', '.join(lacking)}")
    return io


def read_handler_modules(path: str | Path) -> dict[int, HandlerModule]:
    """Every map with a KinraID in the file's `xan_handler` section, classified the way the client does:
    below a key `IOModule` an IO module, otherwise a motor."""
    data = load_yaml(read_input(path, "handler settings file", MAX_YAML_BYTES), str(path))
    found: dict[int, HandlerModule] = {}

    section = data.get("xan_handler") if isinstance(data, dict) else None
    if not isinstance(section, dict):
        raise ValueError(f"{path}: no xan_handler section")
    io_slave = _io_section(section, path).get("SlaveNo")

    def visit(node: Any, in_io: bool, in_akribis: bool) -> None:
        if isinstance(node, dict):
            kinra_id = node.get("KinraID")
            if isinstance(kinra_id, int) and not isinstance(kinra_id, bool):
                sim = node.get("Sim") if isinstance(node.get("Sim"), dict) else {}
                if in_io:
                    bytes_out, bytes_in = node.get("OutputBytes", 0), node.get("InputBytes", 0)
                    found[kinra_id] = HandlerModule(kinra_id, IO, 8 * bytes_out if isinstance(bytes_out, int) else 0,
                                                    8 * bytes_in if isinstance(bytes_in, int) else 0,
                                                    missing=() if _is_number(io_slave) else ("IOModule/SlaveNo",))
                else:
                    found[kinra_id] = HandlerModule(kinra_id, MOTOR, limits=(_limit(sim.get("Min")),
                                                                               _limit(sim.get("Max"))),
                                                    missing=_motor_missing(node, in_akribis))
            for key, value in node.items():
                visit(value, in_io or key == "IOModule", in_akribis or key == "Akribis")
        elif isinstance(node, list):
            for item in node:
                visit(item, in_io, in_akribis)

    visit(section, False, False)
    return found


def _limit(value: Any) -> float | None:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def _output_and_input_pins(spec: ModuleSpec, handler: dict[int, HandlerModule], usable: set[int],
                           errors: list[str], warnings: list[str]) -> None:
    """An IO unit's points and inputs must be pins its handler module has."""
    entry = handler.get(spec.handler_id)
    if entry is None or spec.handler_id not in usable:
        return
    if spec.points and not entry.output_bits:
        errors.append(f"{spec.name}: handler module {entry.kinra_id} has no outputs to switch")
    else:
        for point, pin in spec.points.items():
            if pin >= entry.output_bits:
                errors.append(f"{spec.name}: IO point {point} is pin {pin}, but handler module {entry.kinra_id} "
                              f"has {entry.output_bits} outputs (pins 0 to {entry.output_bits - 1})")
    for point, pin in spec.inputs.items():
        if pin >= entry.input_bits:
            errors.append(f"{spec.name}: input {point} is pin {pin}, but handler module {entry.kinra_id} "
                          f"has {entry.input_bits} inputs" + (f" (pins 0 to {entry.input_bits - 1})"
                                                              if entry.input_bits else ""))


def _travel(spec: ModuleSpec, handler: dict[int, HandlerModule], usable: set[int],
            errors: list[str], warnings: list[str]) -> None:
    """A moving module's named places should lie within its motors' simulated travel."""
    for name, place in [("home", spec.home), *spec.positions.items()]:
        for kinra_id, value in coordinates(spec, place):
            entry = handler.get(kinra_id)
            if entry is None or entry.kind != MOTOR:
                continue
            minimum, maximum = entry.limits
            if (minimum is not None and value < minimum) or (maximum is not None and value > maximum):
                travel = f"{'' if minimum is None else f'{minimum:g}'} to {'' if maximum is None else f'{maximum:g}'}"
                warnings.append(f"{spec.name}: position {name} puts handler axis {kinra_id} at {value:g}, outside "
                                f"its travel {travel.strip()}; a move there fails on the simulator")


# The checks a module kind may name for its entry (vemo.cell.model.ModuleKind.handler_check), made once its
# handler ids have been found to be of the kind it drives with the settings the client needs:
# (module, handler modules, the ids that passed, errors, warnings).
HANDLER_CHECKS: dict[str, Callable[[ModuleSpec, dict[int, HandlerModule], set[int], list[str], list[str]], None]] = {
    "travel": _travel,
    "pins": _output_and_input_pins,
}


def check_cell(cell: Cell, handler: dict[int, HandlerModule], where: str) -> tuple[list[str], list[str]]:
    """(errors, warnings) of running `cell` against the handler modules read from `where`. Errors make a
    run impossible (unknown ids, wrong kinds, missing outputs); warnings name positions outside the
    simulator's travel limits, where a move fails."""
    errors: list[str] = []
    warnings: list[str] = []
    for spec in cell.modules:
        kind = module_kind(spec)
        drives = kind.drives
        usable: set[int] = set()
        for kinra_id in spec.drives:
            entry = handler.get(kinra_id)
            if entry is None:
                errors.append(f"{spec.name}: handler id {kinra_id} is no KinraID of {where}")
                continue
            if entry.kind != drives:
                errors.append(f"{spec.name}: handler id {kinra_id} is {'an IO module' if entry.kind == IO else 'a motor'}"
                              f" in {where}, but the cell makes it {'an' if drives == IO else 'a'} {spec.kind} module")
                continue
            if entry.missing:
                errors.append(f"{spec.name}: handler module {kinra_id} has no {', '.join(entry.missing)} in {where}; "
                              f"the handler client needs them to drive it")
                continue
            usable.add(kinra_id)
        HANDLER_CHECKS[kind.handler_check](spec, handler, usable, errors, warnings)
    return errors, warnings
