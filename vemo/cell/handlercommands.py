"""The commands an action may send to the handler, as a protocol: the run's driver implements it, and so do
the language server's hover and the tests' fakes, which note what an action would send."""

from __future__ import annotations

from typing import Any, Protocol, Sequence, runtime_checkable

# Position tolerance of the end-of-move check, in user units (the handler client's own default).
POSITION_TOLERANCE = 0.07


def coordinates(spec: Any, place: Any) -> list[tuple[int, float]]:
    """A named place of a module as (handler axis id, target in user units) pairs."""
    values = place if isinstance(place, tuple) else (place,)
    return list(zip(spec.drives, values))


@runtime_checkable
class HandlerCommands(Protocol):
    """What an action's `drive(commands)` may ask of the handler. Each call returns once the handler
    reports the command complete, and raises when it does not complete. A class that names this one as
    its base and lacks a command raises NotImplementedError for it, rather than send nothing quietly."""

    def move_axes(self, targets: Sequence[tuple[int, float]], speed: float = -1, acceleration: float = -1,
                  what: str = "") -> None:
        """Moves the axes to their targets together (user units); -1 leaves the drive's own profile."""
        raise NotImplementedError

    def home_axes(self, axes: Sequence[int], what: str = "") -> None:
        """Homes the axes together."""
        raise NotImplementedError

    def set_output(self, kinra_id: int, pin: int, value: int, what: str = "") -> None:
        """Sets one output of an IO module."""
        raise NotImplementedError

    def dwell(self, seconds: float) -> None:
        """Holds still for `seconds` of run time."""
        raise NotImplementedError

    def wait_input(self, kinra_id: int, pin: int, level: bool, limit: float | None, late: str) -> None:
        """Returns once input `pin` of IO module `kinra_id` is at `level`; past `limit` seconds of run time
        (None: no limit) fails with the text `late`."""
        raise NotImplementedError
