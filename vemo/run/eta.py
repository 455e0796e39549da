"""How far a run has got and how long it has left: the plan's estimate (the critical path `vemo check` finds,
at the run's speed) corrected by the pace the run has kept so far."""

from __future__ import annotations

# The observed pace (seconds taken per second planned) is believed at most this far either way: a first
# action that took long because the handler was homing must not make the rest look ten times longer.
MIN_PACE, MAX_PACE = 0.2, 5.0


def progress(settled: int, total: int) -> float:
    """The share of the planned actions that finished or were skipped, 0 to 1 (1 for a run of none)."""
    return 1.0 if total <= 0 else min(max(settled / total, 0.0), 1.0)


def remaining_seconds(estimate: float | None, done: float, active: float, ended: bool = False) -> float | None:
    """Seconds the run has left. `estimate` is the plan's duration (None when some action has no estimate),
    `done` the share finished (0 to 1), `active` the seconds the run has executed so far, its holds left out.

    The plan's time for what is left is scaled by the pace the run has kept; the pace counts for as much
    as the share already done, so an early guess leans on the plan and a late one on what was seen.
    Without a plan, what is left is extrapolated from the pace alone once anything is done."""
    if ended or done >= 1.0:
        return 0.0
    if estimate is None:
        return None if done <= 0 else active * (1.0 - done) / done
    if done <= 0:
        return max(estimate - active, estimate * MIN_PACE)
    pace = min(max(active / (estimate * done), MIN_PACE), MAX_PACE) if estimate > 0 else 1.0
    return estimate * (1.0 - done) * ((1.0 - done) + done * pace)


def iteration_remaining(period: float | None, active: float, ended: bool = False) -> float | None:
    """Seconds left of a loop's iteration that has run `active` seconds (its holds left out), when an iteration
    takes `period` (the last one's, or the plan's before one has ended; None if unknown). What a loop without
    end has left is told per iteration: its run has no end to count down to."""
    if ended:
        return 0.0
    return None if period is None else max(period - active, 0.0)
