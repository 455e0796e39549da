"""Cell description files: the modules of a workcell, their kinds, handler ids, named places and motion,
and the interlocks that hold the cell while an input is not at its safe level. The module kinds a cell
may name are one registry, `MODULE_KINDS`, that the cell reader, the host's module classes, the handler
check, the run and the editor all read."""

from __future__ import annotations

import dataclasses
import keyword
import math
import re
from pathlib import Path
from typing import Any, Callable

from vemo.util.inputfile import MAX_YAML_BYTES, InputFileError, read_input
from vemo.util.yamlfile import YamlError, load_yaml

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")


class CellError(ValueError):
    """A cell description that cannot be used, with the file and the entry at fault."""


@dataclasses.dataclass(frozen=True)
class Motion:
    """Trapezoidal motion profile of an axis: cruise speed and acceleration (units per s, per s²)."""

    speed: float
    acceleration: float

    def duration(self, distance: float) -> float:
        """Seconds to travel `distance` from standstill to standstill."""
        distance = abs(distance)
        if distance == 0:
            return 0.0
        ramp = self.speed * self.speed / self.acceleration  # distance spent accelerating and braking
        if distance >= ramp:
            return distance / self.speed + self.speed / self.acceleration
        return 2.0 * (distance / self.acceleration) ** 0.5

    def travel(self, start: Any, goal: Any) -> float:
        """Seconds from `start` to `goal`: numbers, or tuples of one per axis moving together."""
        if isinstance(goal, tuple):
            return max(self.duration(b - a) for a, b in zip(start, goal))
        return self.duration(goal - start)


@dataclasses.dataclass(frozen=True)
class ModuleSpec:
    """One module of the cell as its description gives it."""

    name: str
    kind: str
    handler_id: int
    positions: dict[str, float] = dataclasses.field(default_factory=dict)
    home: float = 0.0
    points: dict[str, int] = dataclasses.field(default_factory=dict)
    inputs: dict[str, int] = dataclasses.field(default_factory=dict)
    # Seconds an input wait is expected to take, per input (`expected:`); an estimate counts a wait so.
    input_expected: dict[str, float] = dataclasses.field(default_factory=dict)
    switch_time: float | None = None
    trays: int = 0
    sequences: dict[str, tuple[str, ...]] = dataclasses.field(default_factory=dict)
    motion: Motion | None = None
    axes: tuple[int, ...] = ()

    @property
    def drives(self) -> tuple[int, ...]:
        """The handler ids of the axes this module moves: a tray handler's own axes, else its handler id."""
        return self.axes or (self.handler_id,)


@dataclasses.dataclass(frozen=True)
class Interlock:
    """An input that must stay at its safe level for the cell to move: a door switch, a light curtain."""

    name: str
    module: str
    input: str
    safe: bool
    auto_resume: bool = False  # the run goes on by itself once the input is safe again


@dataclasses.dataclass(frozen=True)
class Cell:
    """A whole cell description: its name, its modules in file order and its interlocks."""

    name: str
    modules: tuple[ModuleSpec, ...]
    source: str = "<cell>"
    handler_settings: str | None = None  # the handler settings file the cell runs against, if named
    interlocks: tuple[Interlock, ...] = ()

    def module(self, name: str) -> ModuleSpec:
        for spec in self.modules:
            if spec.name == name:
                return spec
        raise KeyError(name)


def _shown(value: Any) -> str:
    """A value as a message quotes it: its repr, cut short."""
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _number(where: str, value: Any, *, positive: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise CellError(f"{where}: expected a number, got {_shown(value)}")
    if not math.isfinite(value):
        raise CellError(f"{where}: expected a finite number, got {value!r}")
    if positive and not value > 0:
        raise CellError(f"{where}: must be greater than 0, got {value!r}")
    return float(value)


def _place(where: str, value: Any, width: int) -> float | tuple[float, ...]:
    """A position: a number for one axis, a list of one number per axis for a module with several."""
    if width == 1:
        return _number(where, value)
    if not isinstance(value, list) or len(value) != width:
        raise CellError(f"{where}: expected a list of {width} numbers, one per axis, got {_shown(value)}")
    return tuple(_number(where, v) for v in value)


def _integer(where: str, value: Any, *, minimum: int = 0) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < minimum:
        raise CellError(f"{where}: expected a whole number of at least {minimum}, got {_shown(value)}")
    return value


def _mapping(where: str, value: Any) -> dict:
    if value is None:
        return {}
    if not isinstance(value, dict):
        raise CellError(f"{where}: expected a mapping, got {type(value).__name__}")
    for key in value:
        if not isinstance(key, str) or not _NAME.match(key):
            raise CellError(f"{where}: {_shown(key)} is not a valid name (letters, digits, '_')")
    return value


def _input(where: str, value: Any) -> tuple[int, float | None]:
    """An input entry: its pin, or a mapping {pin, expected} with the seconds a wait on it is expected to take."""
    if not isinstance(value, dict):
        return _integer(where, value), None
    unknown = set(value) - {"pin", "expected"}
    if unknown or "pin" not in value:
        raise CellError(f"{where}: expected a pin number or a mapping with pin and expected (seconds)")
    expected = _number(f"{where}: expected", value["expected"]) if "expected" in value else None
    if expected is not None and expected < 0:
        raise CellError(f"{where}: expected must not be negative")
    return _integer(f"{where}: pin", value["pin"]), expected


# What a module kind drives at the handler, in the handler settings' own words: its axes are motors
# (`handler_id`, or a tray handler's `axes`), or its handler id is an IO module.
MOTOR = "motor"
IO = "io"
DRIVES = (MOTOR, IO)


@dataclasses.dataclass(frozen=True, eq=False)
class ModuleKind:
    """One kind of module a cell file may name: the settings its entry takes and how they are read, what it
    drives at the handler and the check of its entry against the handler settings that `vemo run` makes,
    the operations `call @M.name(...)` its modules offer, and the line the editor and the host's classes
    describe it by."""

    name: str  # the entry's `kind:`
    keys: frozenset[str]  # settings the entry takes besides kind and handler_id
    read: Callable[[str, dict], dict[str, Any]]  # (where, entry) -> the ModuleSpec fields of those settings
    drives: str  # one of DRIVES: what its handler ids must be in the handler settings
    handler_check: str  # the check of vemo.cell.handlersettings.HANDLER_CHECKS its entry gets
    summary: str
    operations: tuple[tuple[str, str], ...] = ()  # (operation, action class of `vemo.cell.actions` it makes)


def _places(where: str, entry: dict) -> dict[str, Any]:
    """Named positions, home and motion of a module that moves, on its `axes` when it lists several."""
    fields: dict[str, Any] = {}
    width = 1
    if "axes" in entry:
        axes = entry["axes"]
        if not isinstance(axes, list) or not axes:
            raise CellError(f"{where}: axes must be a non-empty list of handler ids")
        fields["axes"] = tuple(_integer(f"{where}: axes", axis) for axis in axes)
        if len(set(fields["axes"])) < len(axes):
            raise CellError(f"{where}: axes names one handler id twice")
        width = len(axes)
    positions = _mapping(f"{where}: positions", entry.get("positions"))
    fields["positions"] = {k: _place(f"{where}: position {k}", v, width) for k, v in positions.items()}
    fields["home"] = _place(f"{where}: home", entry.get("home", 0.0 if width == 1 else [0.0] * width), width)
    motion = entry.get("motion")
    if motion is not None:
        motion = _mapping(f"{where}: motion", motion)
        if set(motion) != {"speed", "acceleration"}:
            raise CellError(f"{where}: motion needs exactly speed and acceleration")
        fields["motion"] = Motion(_number(f"{where}: motion speed", motion["speed"], positive=True),
                                  _number(f"{where}: motion acceleration", motion["acceleration"],
                                          positive=True))
    return fields


def _io_unit(where: str, entry: dict) -> dict[str, Any]:
    """IO points, inputs (with their expected wait times) and switch time of an IO unit."""
    fields: dict[str, Any] = {}
    points = _mapping(f"{where}: points", entry.get("points"))
    fields["points"] = {k: _integer(f"{where}: point {k}", v) for k, v in points.items()}
    inputs = _mapping(f"{where}: inputs", entry.get("inputs"))
    fields["inputs"], fields["input_expected"] = {}, {}
    for k, v in inputs.items():
        fields["inputs"][k], expected = _input(f"{where}: input {k}", v)
        if expected is not None:
            fields["input_expected"][k] = expected
    if "switch_time" in entry:
        fields["switch_time"] = _number(f"{where}: switch_time", entry["switch_time"])
        if fields["switch_time"] < 0:
            raise CellError(f"{where}: switch_time must not be negative")
    return fields


def _tray_handler(where: str, entry: dict) -> dict[str, Any]:
    """A tray handler's places and motion, the trays it holds and its named sequences of positions."""
    fields = _places(where, entry)
    fields["trays"] = _integer(f"{where}: trays", entry.get("trays", 1), minimum=1)
    sequences = _mapping(f"{where}: sequences", entry.get("sequences"))
    checked = {}
    for seq_name, steps in sequences.items():
        if not isinstance(steps, list) or not steps:
            raise CellError(f"{where}: sequence {seq_name} must be a non-empty list of positions")
        for step in steps:
            if step not in fields["positions"]:
                raise CellError(f"{where}: sequence {seq_name} names unknown position {step!r}")
        checked[seq_name] = tuple(steps)
    fields["sequences"] = checked
    return fields


_PLACES = frozenset({"positions", "home", "motion"})

# The module kinds, in the order messages and docs list them. A new kind is one entry here (with its
# reader, and ModuleSpec fields when it brings settings of its own), its action classes in vemo/cell/actions.py,
# and, unless an existing one fits, its handler check where the run reads the handler settings.
MODULE_KINDS: dict[str, ModuleKind] = {kind.name: kind for kind in (
    ModuleKind("axis", _PLACES, _places, drives=MOTOR, handler_check="travel",
               summary="a motion axis with named positions", operations=(("home", "Home"),)),
    ModuleKind("io", frozenset({"points", "inputs", "switch_time"}), _io_unit, drives=IO, handler_check="pins",
               summary="an IO unit with named IO points and inputs"),
    ModuleKind("tray", _PLACES | {"trays", "sequences", "axes"}, _tray_handler, drives=MOTOR,
               handler_check="travel", summary="a tray handler that moves trays through named position sequences",
               operations=(("home", "Home"),)),
)}


def module_kind(spec: ModuleSpec) -> ModuleKind:
    """The registered kind of a module of a cell."""
    return MODULE_KINDS[spec.kind]


def _module(source: str, name: Any, entry: Any, reserved: frozenset[str]) -> ModuleSpec:
    where = f"{source}: module {_shown(name)}"
    if not isinstance(name, str) or not _NAME.match(name) or keyword.iskeyword(name):
        raise CellError(f"{where}: a module name must be a name (letters, digits, '_')")
    if name in reserved:
        raise CellError(f"{where}: the name is taken by the runtime; choose another")
    if not isinstance(entry, dict):
        raise CellError(f"{where}: expected a mapping of settings")
    kind = MODULE_KINDS.get(entry.get("kind")) if isinstance(entry.get("kind"), str) else None
    if kind is None:
        raise CellError(f"{where}: kind must be one of {', '.join(MODULE_KINDS)}, got {_shown(entry.get('kind'))}")
    unknown = set(entry) - kind.keys - {"kind", "handler_id"}
    if unknown:
        raise CellError(f"{where}: unknown settings for a {kind.name} module: "
                        f"{', '.join(sorted(map(str, unknown)))}")
    if "handler_id" not in entry:
        raise CellError(f"{where}: handler_id is missing")
    handler_id = _integer(f"{where}: handler_id", entry["handler_id"])
    return ModuleSpec(name=name, kind=kind.name, handler_id=handler_id, **kind.read(where, entry))


def parse_cell(text: str, source: str = "<cell>", reserved: frozenset[str] = frozenset()) -> Cell:
    """A cell from the text of its description. `reserved` holds names the runtime already uses."""
    try:
        data = load_yaml(text, source, unique_keys=True)
    except YamlError as error:
        raise CellError(str(error)) from None
    if not isinstance(data, dict) or not isinstance(data.get("modules"), dict) or not data["modules"]:
        raise CellError(f"{source}: expected a mapping with a non-empty 'modules' mapping")
    unknown = set(data) - {"cell", "modules", "handler_settings", "interlocks"}
    if unknown:
        raise CellError(f"{source}: unknown top-level entries: {', '.join(sorted(map(str, unknown)))}")
    modules = tuple(_module(source, name, entry, reserved) for name, entry in data["modules"].items())
    ids: dict[int, str] = {}
    for spec in modules:
        for handler_id in dict.fromkeys((spec.handler_id, *spec.axes)):
            if handler_id in ids:
                raise CellError(f"{source}: modules {ids[handler_id]} and {spec.name} share handler_id "
                                f"{handler_id}")
            ids[handler_id] = spec.name
    settings = data.get("handler_settings")
    if settings is not None:
        if not isinstance(settings, str) or not settings:
            raise CellError(f"{source}: handler_settings must be a file path")
        # Relative to the cell file, so a cell and its handler settings travel together.
        settings = str(Path(source).parent / settings) if source != "<cell>" else settings
    interlocks = tuple(_interlock(source, name, entry, modules)
                       for name, entry in _mapping(f"{source}: interlocks", data.get("interlocks")).items())
    return Cell(str(data.get("cell", Path(source).stem)), modules, source, settings, interlocks)


# YAML reads on/off as booleans; a quoted "on"/"off" is meant the same.
_LEVELS = {True: True, False: False, "on": True, "off": False}


def _interlock(source: str, name: str, entry: Any, modules: tuple[ModuleSpec, ...]) -> Interlock:
    where = f"{source}: interlock {name}"
    if not isinstance(entry, dict):
        raise CellError(f"{where}: expected a mapping with module, input and safe")
    unknown = set(entry) - {"module", "input", "safe", "resume"}
    if unknown:
        raise CellError(f"{where}: unknown settings: {', '.join(sorted(map(str, unknown)))}")
    missing = [key for key in ("module", "input", "safe") if key not in entry]
    if missing:
        raise CellError(f"{where}: {', '.join(missing)} missing")
    spec = next((m for m in modules if m.name == entry["module"]), None)
    if spec is None or module_kind(spec).drives != IO:
        raise CellError(f"{where}: module must name an io module of the cell, got {entry['module']!r}")
    if entry["input"] not in spec.inputs:
        raise CellError(f"{where}: {spec.name} has no input {entry['input']!r} (name it under inputs:)")
    safe = entry["safe"]
    if isinstance(safe, str):
        safe = safe.lower()
    if not isinstance(safe, (bool, str)) or safe not in _LEVELS:
        raise CellError(f"{where}: safe must be on or off, got {entry['safe']!r}")
    resume = entry.get("resume", "operator")
    if resume not in ("auto", "operator"):
        raise CellError(f"{where}: resume must be auto or operator, got {resume!r}")
    return Interlock(name, spec.name, entry["input"], _LEVELS[safe], resume == "auto")


def load_cell(path: str | Path, reserved: frozenset[str] = frozenset()) -> Cell:
    try:
        text = read_input(path, "cell description", MAX_YAML_BYTES)
    except InputFileError as error:
        raise CellError(str(error)) from None
    return parse_cell(text, str(path), reserved)
