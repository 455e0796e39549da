"""Waits of `vemo run` for an input of the cell to reach a level: `wait @Module input on|off [within N s]`.

How the input is read: an input condition wakes the wait, log requests settle the level at the edges.

- A log request (the module's input image) first: an input already at the level ends the wait at once and
  leaves nothing queued in the handler.
- Otherwise an input condition (kind `KINRA_ID_INPUT_CONDITION`, digital, pin, level) is queued, and the
  wait ends when the handler publishes it. The handler settles a condition the moment the input changes,
  so the latency is one publication, with no traffic while the input stays where it is, however long.
- A condition does not live forever: the handler fails it after its own time-out (60 s on the simulator),
  and a client wait without a time-out ends after 5 s without publications once one came. So the wait
  re-arms in rounds of ROUND_SECONDS, each started by a log request (which catches a change that came
  while no condition was queued) and a fresh condition with an identifier of its own; a condition that
  the handler failed for its age ends its round early.
- The client's wait is cut into slices of SLICE_SECONDS, so a stop of the run and an immediate pause are
  seen within one slice. An immediate pause suspends the wait and its time limit; on resume a new round
  starts with a fresh reading. A condition left queued by a pause, a stop or a time limit finishes in the
  handler by itself (when the input comes, or at the handler's time-out); nothing waits for it.
"""

from __future__ import annotations

import time
from typing import Any

from vemo.run.drive import ActionFailed, RunStopped
from vemo.run.interlocks import input_level

# A condition is re-armed at least this often: well inside the simulator's condition time-out (60 s) and
# any sensible handler's, so that a long wait does not rest on a condition the handler is about to drop.
ROUND_SECONDS = 20.0
# Each client wait lasts at most this long, so that a stop or an immediate pause is noticed this soon.
SLICE_SECONDS = 0.1
# A condition that fails sooner than this after it was sent was refused or cannot hold: the wait fails
# instead of re-arming, so that a handler that fails every condition at once does not get a busy loop.
REFUSAL_SECONDS = 0.5
INPUT_DATA = "KINRA_ID_INPUT_DATA"


def read_level(client: Any, kinra_id: int, pin: int) -> bool | None:
    """The input's level by a log request; None when the handler gives no input image."""
    try:
        return input_level(client.io_monitor(kinra_id, INPUT_DATA), pin)
    except Exception:  # a reply that is no handler's: unknown, and the condition decides
        return None


def wait_for_input(context: Any, kinra_id: int, pin: int, level: bool, limit: float | None,
                   late: str, serial: Any) -> None:
    """Returns once input `pin` of IO module `kinra_id` is at `level`. `limit` is in seconds of run time
    (the run's time factor shortens it like a dwell); past it, ActionFailed with the text `late`.
    `serial` numbers the awaited identifiers (see RunContext._drive). Raises RunStopped on a stop."""
    client, control = context.client, context.control
    left = None if limit is None else limit / context.time_factor
    while True:
        if context.stopping.is_set():
            raise RunStopped()
        if control.paused_now() and not control.wait_resumed():
            raise RunStopped()
        if read_level(client, kinra_id, pin) == level:
            return
        condition = context._built(client.generate_condition(
            kinra_id, condition_type_name="KINRA_ID_INPUT_CONDITION", arg_list=["DIGITAL", pin, int(level)]), "")
        condition.cmd_id = f"{condition.cmd_id}.{next(serial)}."
        requests = [condition]
        sent = time.monotonic()
        round_end = sent + ROUND_SECONDS
        while True:
            now = time.monotonic()
            slice_ = min(SLICE_SECONDS, max(round_end - now, 0.0), SLICE_SECONDS if left is None else max(left, 0.0))
            result = client.receive_dequeue_action(requests, condition.cmd_id, [condition.cmd_id], timeout=slice_)
            requests = []
            if left is not None:
                left -= time.monotonic() - now
            if result == 1 and not isinstance(result, bool):
                return
            if isinstance(result, int):
                if result == 0 and time.monotonic() - sent >= REFUSAL_SECONDS and not context.stopping.is_set():
                    break  # the handler dropped the condition for its age: a new round
                context._check(result, "the input condition")
            if context.stopping.is_set():
                raise RunStopped()
            if left is not None and left <= 0:
                if read_level(client, kinra_id, pin) == level:
                    return  # came as the limit passed: the publication is still on its way
                raise ActionFailed(late)
            if control.paused_now() or time.monotonic() >= round_end:
                break
