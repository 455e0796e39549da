"""Test double of the host module `actions`: action kinds that record what ran, in order."""

import time

from _vemoaction import VemoAction
from _vemoprimitives import VemoState

gates = {}
"""Named threading.Event objects that gated actions wait for (settings are deep-copied, events cannot be)."""

journal = []
"""(module name, kind, target) of every executed action, in execution order across all threads."""


def module_name(module):
    return getattr(module, "name", type(module).__name__)


class RecordingAction(VemoAction):
    """Executes by appending itself to `journal`.

    Settings the tests use: `fail` (raise instead of finishing), `duration` (seconds to sleep first),
    `gate` (the name of a threading.Event in `gates` to wait for, with a timeout, before finishing).
    """

    target_key = None

    def setup(self, **configs):
        self.target = configs.get(self.target_key)
        self.fail = configs.get("fail", False)
        self.duration = configs.get("duration", 0)
        self.gate = configs.get("gate")

    def execute(self):
        self.state = VemoState.Executing
        if self.duration:
            time.sleep(self.duration)
        if self.gate is not None and not gates[self.gate].wait(10):
            raise TimeoutError("gate never opened")
        if self.fail:
            self.state = VemoState.Error
            raise RuntimeError(f"{type(self).__name__} {self.target} failed")
        journal.append((module_name(self.module), type(self).__name__, self.target))
        self.state = VemoState.Finished
        self.finish_signal.set()


class IOAction(RecordingAction):
    target_key = "io_id"


class Move(RecordingAction):
    target_key = "position"


class MoveTray(RecordingAction):
    target_key = "position_seq"


class FastAction(VemoAction):
    """An action whose execute does only what every action must do: used by the benchmarks."""

    def setup(self, **configs):
        pass

    def execute(self):
        self.state = VemoState.Finished
        self.finish_signal.set()


def reset_journal():
    journal.clear()
    gates.clear()
